#pragma once
// Runs one join on its own thread. The tab fills the two paths before
// start() and neither side touches them while the thread runs.
#include "EngineJobThread.h"
#include "partwise/checksums.h"
#include "partwise/limits.h"

class MergeDoingThread : public EngineJobThread {
public:
    MergeDoingThread();

    char chunkFolderPath[partwise::kMaxPathBytes + 1];
    char outputFolderPath[partwise::kMaxPathBytes + 1];
    // Join as if the set had no checksum file (the user's answer to a damaged one).
    bool ignoreChecksums = false;
    // The user agreed to replace the output that was there.
    bool replaceExisting = false;
    // What the last join checked of the chunks; read after finished().
    partwise::ChunkSetCheck check;

protected:
    void run() override;
};
