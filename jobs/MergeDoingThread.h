#pragma once
// Runs one join on its own thread. The tab fills the two paths before
// start() and neither side touches them while the thread runs.
#include "EngineJobThread.h"
#include "partwise/checksums.h"

class MergeDoingThread : public EngineJobThread {
public:
    MergeDoingThread();

    char chunkFolderPath[1024];
    char outputFolderPath[1024];
    // What the last join checked of the chunks; read after finished().
    partwise::ChunkSetCheck check;

protected:
    void run() override;
};
