#pragma once
// Lists a chunk set before a join: its name, its password digest and, for
// every chunk, whether the file on disk still matches its fingerprint. Reads
// only the descriptor and a fingerprint's extent of each chunk.
#include <cstdint>
#include <string>
#include <vector>

namespace partwise {

struct ChunkEntry {
    int32_t chunkIndex = 0;
    int16_t verdict = -1;  // 0 the chunk matches its fingerprint, -1 not (or missing)
    std::string recordedFingerprint;
    std::string chunkPath;
    int64_t chunkFileSize = -1;  // -1 when the file is missing
};

// Returns -1 (last error set, outputs untouched) when the descriptor cannot
// be read; otherwise 0 with the source name, the password digest ("" for
// none) and one entry per chunk record appended to entries.
int InspectChunkSet(const std::string& chunkFolder, std::vector<ChunkEntry>& entries, std::string& passwordDigest,
                    std::string& sourceName);

}  // namespace partwise
