#pragma once
// Every byte of a chunk set checked: the split writes "<stem>.xxh128" beside
// the chunks, one XXH3-128 line per chunk as `xxhsum -H2` writes it, and the
// join and the full check hash every chunk against it. A set without one
// (made elsewhere, or by an older Partwise) is checked by its fingerprints
// alone: each chunk's size and first KiB. A set's file has a line for every
// chunk: one that lacks a usable line for a chunk is damaged, and checks
// nothing of that chunk.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "partwise/recovery.h"
#include "partwise/verdicts.h"

namespace partwise {

// What a join or a full check learned of a set's chunks.
struct ChunkSetCheck {
    // The set's checksum file, "" when it has none.
    std::string checksumFile;
    int32_t chunkCount = 0;
    // Chunks read whole that matched their checksum.
    int32_t matched = 0;
    // Chunks checked by their fingerprint only: the set has no checksum
    // file, or the join was told to pass it over.
    int32_t partlyChecked = 0;
    // The chunk a join refused in its check before writing (missing, not a
    // file, of another size or fingerprint, or without a usable checksum
    // line); -1 when it refused none. A join that failed there wrote nothing.
    int32_t refusedChunk = -1;
    // The join refused because of the checksum file itself: it is damaged
    // (refusedChunk has no usable line in it), or it cannot be read at all.
    // JoinOptions::ignoreChecksums passes the file over.
    bool checksumFault = false;
    // The chunk whose bytes differed from its checksum while the join copied
    // it; -1 when none did.
    int32_t damagedChunk = -1;
    // The lost chunks the join rebuilt from the set's recovery files.
    std::vector<RebuiltChunk> rebuilt;
    // True when every chunk of the set was read whole and matched.
    bool everyChunkMatched() const { return matched == chunkCount; }
};

// chunkFolder + "/" + the stem of sourceName + ".xxh128"
std::string ChecksumFileFor(const std::string& chunkFolder, const std::string& sourceName);

// False when a source of this name gets no checksum file: its stem holds a
// line break, which the file's line format cannot carry.
bool NameFitsChecksumFile(const std::string& sourceName);

struct FullCheckEntry {
    int32_t chunkIndex = 0;
    ChunkVerdict verdict = ChunkVerdict::kMissing;
    ChunkReason reason = ChunkReason::kMissing;
    int64_t chunkFileSize = -1;  // -1 when missing
    std::string chunkPath;
};

using FullCheckVisitor = std::function<void(const FullCheckEntry&)>;

// Hashes every chunk of the set in chunkFolder and hands visit one entry per
// chunk record, in chunk order, as soon as the chunk is checked; progress
// goes to the ProgressCounters. The chunk records are read a block at a
// time: nothing is held per chunk beyond the checksum file's digests.
// A chunk is ok only when its bytes match its line and its size and first KiB
// its fingerprint, as the join requires; anything under a chunk's name that
// is not a regular file is damaged. Returns 0, or -1 (last error set) when
// the descriptor cannot be read, the checksum file is refused, a chunk that
// is there cannot be read, or a cancel was requested (it is seen within a
// block of a chunk).
int CheckChunkSetFully(const std::string& chunkFolder, ChunkSetCheck& check, const FullCheckVisitor& visit);
// The same, appending every entry to entries.
int CheckChunkSetFully(const std::string& chunkFolder, std::vector<FullCheckEntry>& entries, ChunkSetCheck& check);

}  // namespace partwise
