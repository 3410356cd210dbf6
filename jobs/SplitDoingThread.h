#pragma once
// Runs one split on its own thread. The tab fills `job` before start() and
// neither side touches it while the thread runs.
#include "EngineJobThread.h"
#include "partwise/splitter.h"

class SplitDoingThread : public EngineJobThread {
public:
    SplitDoingThread();

    partwise::SplitJob job;
    // What the last split passed over; read once it finished.
    partwise::SplitReport report;

protected:
    void run() override;
};
