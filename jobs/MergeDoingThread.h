#pragma once
// Runs one join on its own thread. The tab fills the two paths before
// start() and neither side touches them while the thread runs.
#include "EngineJobThread.h"

class MergeDoingThread : public EngineJobThread {
public:
    MergeDoingThread();

    char chunkFolderPath[1024];
    char outputFolderPath[1024];

protected:
    void run() override;
};
