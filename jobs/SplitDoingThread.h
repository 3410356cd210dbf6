#pragma once
// Runs one split on its own thread. The tab fills `job` before start() and
// neither side touches it while the thread runs.
#include "EngineJobThread.h"
#include "partwise/splitter.h"

class SplitDoingThread : public EngineJobThread {
public:
    SplitDoingThread();

    partwise::SplitJob job;

protected:
    void run() override;
};
