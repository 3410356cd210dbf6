#pragma once
// Checks every byte of a listed chunk set in the background, in chunk order,
// and hands the verdicts to the tab in batches, about every 100 ms: a set of
// any number of chunks costs the window a few updates a second. It yields to
// every other engine action: stop() ends it within a block of a chunk.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "EngineJobThread.h"
#include "partwise/checksums.h"

class FullCheckThread : public EngineJobThread {
public:
    // Verdicts of consecutive records, the first being the set's record firstRecord.
    struct Batch {
        int32_t firstRecord = 0;
        std::vector<int32_t> chunkIndexes;
        std::vector<partwise::ChunkVerdict> verdicts;
        std::vector<partwise::ChunkReason> reasons;
    };
    using TakeBatch = std::function<void(const Batch&)>;
    // result 0 when every chunk was checked, check saying what was found;
    // -1 with the engine's reason when the check could not go on.
    using TakeEnd = std::function<void(int result, const partwise::ChunkSetCheck& check, const QString& reason)>;

    // Starts the check of the set in chunkFolder; stops a running one first.
    void startCheck(std::string chunkFolder, TakeBatch takeBatch, TakeEnd takeEnd);
    // Asks a running check to stop and waits until its thread has ended;
    // returns at once when none runs. The cancel request is taken back
    // before it returns, so it never reaches the job started next.
    void stop();

protected:
    void run() override;

private:
    std::string folder;
    TakeBatch onBatch;
    TakeEnd onEnd;
};
