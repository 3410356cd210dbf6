#pragma once
// Lists a chunk set before a join: its name, its password digest and, for
// every chunk, whether the file on disk still matches its fingerprint. Reads
// only the descriptor and a fingerprint's extent of each chunk.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "partwise/verdicts.h"

namespace partwise {

struct ChunkEntry {
    int32_t chunkIndex = 0;
    int16_t verdict = -1;                        // 0 the chunk matches its fingerprint, -1 not (or missing)
    ChunkReason reason = ChunkReason::kMissing;  // why not, kNone for 0
    std::string recordedFingerprint;
    std::string chunkPath;
    int64_t chunkFileSize = -1;  // -1 when the file is missing or not a regular file
};

// What an inspection found, besides each chunk's entry.
struct ChunkSetSummary {
    std::string sourceName;
    std::string passwordDigest;  // "" when the set has no password
    int64_t totalSize = 0;
    int32_t chunkCount = 0;  // as the descriptor's header counts them
    // The descriptor holds fewer records than its header counts: the set
    // cannot be joined, whatever its chunks say.
    bool cutShort = false;
    int64_t goodChunks = 0;     // there and matching their fingerprint
    int64_t damagedChunks = 0;  // there but not matching, or not a regular file
    int64_t missingChunks = 0;

    bool hasPassword() const { return !passwordDigest.empty(); }
    // Every chunk the header counts is there and matches.
    bool sound() const { return !cutShort && goodChunks == chunkCount && damagedChunks == 0 && missingChunks == 0; }
};

// Called with each chunk's entry as soon as it is checked.
using ChunkVisitor = std::function<void(const ChunkEntry&)>;

// Only the summary's header part, read without opening any chunk. Returns 0,
// or -1 (last error set) when the descriptor cannot be read.
int ReadChunkSetHeader(const std::string& chunkFolder, ChunkSetSummary& summary);

// Returns -1 (last error set) when the descriptor cannot be read; otherwise 0
// with summary filled in and visit (when given) called once per chunk record
// the descriptor holds, in its order. The summary's header part (name,
// digest, total, count, cut short) is filled in before the first call. Holds no record in memory, so a set of
// any number of chunks is inspected in the same memory. Loads the header into
// the process-wide descriptor state, not the records.
int InspectChunkSet(const std::string& chunkFolder, ChunkSetSummary& summary, const ChunkVisitor& visit);
// The set in chunkFolder is read under a shared lock, which a split writing
// it refuses. Returns 1 (last error set, "'<folder>' is being written by
// another split") while a split holds the folder, 0 otherwise.
int ChunkFolderBusy(const std::string& chunkFolder);

// The same, with the source name, the password digest ("" for none) and one
// entry per chunk record appended to entries; outputs untouched on -1. The
// chunk records stay loaded in the descriptor state.
int InspectChunkSet(const std::string& chunkFolder, std::vector<ChunkEntry>& entries, std::string& passwordDigest,
                    std::string& sourceName);

}  // namespace partwise
