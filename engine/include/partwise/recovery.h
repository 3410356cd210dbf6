#pragma once
// Recovery files: Reed-Solomon parity over GF(2^8) beside a set's chunks, so
// that a set that lost chunks still joins. The chunks, their names and the
// descriptor stay as they are: a reader that knows nothing of recovery files
// joins the set as before.
//
// A set of c chunks with N recovery files a group is dealt round-robin into
// G = ceil(c / (256 - N)) groups, chunk i in group i mod G, since the code
// takes at most 256 shards; any N lost chunks of a group can be rebuilt. Each
// group gets N files "<stem>_r<N>_<group>_<row>.spr" of exactly the chunk
// size, without a header: the descriptor gives the chunk count, the files'
// size the chunk size, and the names the rest. "<stem>.rec" records the same
// for readers of the format; "<stem>.rec.xxh128" holds the recovery files'
// XXH3 lines apart from the chunks', so that `xxhsum -c <stem>.xxh128`
// passes for a set sent without them. Nothing is encrypted or hidden.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "partwise/verdicts.h"

namespace partwise {

inline constexpr int32_t kMaxRecoveryFiles = 64;  // a group's
inline constexpr int32_t kMaxShards = 256;        // data chunks and recovery files of a group

// How many recovery files a group gets: a count, or a percentage of a
// group's data chunks. Both 0: none.
struct RecoveryRequest {
    int32_t count = 0;
    int32_t percent = 0;
};
// "N" (0 to kMaxRecoveryFiles) or "P%" (1 to 100). Returns 0, or -1 with the
// last error.
int ParseRecoveryRequest(std::string_view text, RecoveryRequest& request);
// Files per group for a set of chunkCount chunks: the count, or the smallest
// N that is at least percent of the largest group's data chunks, rounded up;
// never above kMaxRecoveryFiles, 0 for a set without chunks.
int32_t RecoveryFilesPerGroup(const RecoveryRequest& request, int64_t chunkCount);

struct RecoveryLayout {
    int32_t chunkCount = 0;
    int32_t perGroup = 0;  // N
    int32_t groups = 0;    // G
    int32_t GroupOf(int32_t chunk) const { return chunk % groups; }
    // Data chunks in a group: group, group + G, group + 2G, ...
    int32_t DataIn(int32_t group) const { return (chunkCount - group + groups - 1) / groups; }
    int32_t ChunkAt(int32_t group, int32_t position) const { return group + position * groups; }
};
// Returns 0, or -1 with the last error when no layout has these numbers.
int MakeRecoveryLayout(int64_t chunkCount, int32_t perGroup, RecoveryLayout& layout);

struct RecoveryFileId {
    int32_t perGroup = 0;
    int32_t group = 0;
    int32_t row = 0;
};
// "<stem>_r<N>_<group>_<row>.spr"
std::string RecoveryFileName(const std::string& stem, const RecoveryFileId& id);
// True for a name exactly as RecoveryFileName writes it, with N in range and
// row < N; the group is checked against the layout by the reader.
bool ParseRecoveryFileName(std::string_view name, std::string_view stem, RecoveryFileId& id);
// "<stem>.rec" and "<stem>.rec.xxh128"
std::string RecoveryInfoName(const std::string& stem);
std::string RecoveryChecksumName(const std::string& stem);
// A recovery file, "<stem>.rec" or "<stem>.rec.xxh128": what a re-split
// replaces and a clean-up removes with the chunks.
bool IsRecoveryName(std::string_view name, std::string_view stem);

// One recovery file as a full check finds it.
struct RecoveryFileEntry {
    std::string name;
    RecoveryFileId id;
    ChunkVerdict verdict = ChunkVerdict::kMissing;
    ChunkReason reason = ChunkReason::kMissing;
    int64_t size = -1;
};

// What a set's recovery files can do for its lost chunks.
struct RecoveryCheck {
    int32_t perGroup = 0;  // 0: the set has no recovery files
    std::vector<RecoveryFileEntry> files;
    bool repairable = true;
    // "recovery: 2 files, repairable", or "recovery: not repairable: 3 lost
    // in group 0, 2 recovery files"; "" for a set without recovery files.
    std::string summary;
};

// Hashes the recovery files of the set in chunkFolder and judges whether
// they rebuild lostChunks (ascending). Returns 0, or -1 with the last error
// when the descriptor cannot be read or a recovery file that is there cannot
// be read.
int CheckRecoveryFiles(const std::string& chunkFolder, const std::vector<int32_t>& lostChunks, RecoveryCheck& check);

// What a set's recovery files offer, from their names and sizes alone.
struct RecoveryOutline {
    RecoveryLayout layout;  // perGroup 0: the set has no recovery files
    // Per group, its recovery files of the right size.
    std::vector<int32_t> present;
    // Whether lostChunks can be rebuilt, as far as names and sizes tell.
    bool Covers(const std::vector<int32_t>& lostChunks) const;
};
// Returns 0 with outline filled in (perGroup 0 for a set without recovery
// files or without a readable descriptor), or -1 with the last error.
int ReadRecoveryOutline(const std::string& chunkFolder, RecoveryOutline& outline);
// Every recovery file, "<stem>.rec" and "<stem>.rec.xxh128" in chunkFolder,
// as paths: what goes with the chunks when they are deleted.
std::vector<std::string> RecoveryPathsIn(const std::string& chunkFolder, const std::string& stem);

struct RebuiltChunk {
    int32_t chunkIndex = 0;
    int32_t recoveryFilesUsed = 0;
};
// "rebuilt chunk 3 from 1 recovery file"
std::string DescribeRebuilt(const RebuiltChunk& rebuilt);

// Rebuilds every lost chunk of the set in chunkFolder (missing, of the wrong
// size, or differing from its checksum line) and puts it back in place, so
// that the set is whole again. Returns 0 with what was rebuilt (nothing for
// a whole set), or -1 with the last error: the set has no checksum file or
// recovery files, too many chunks of a group are lost (nothing is then
// written), or a read or write failed.
int RepairChunkSet(const std::string& chunkFolder, std::vector<RebuiltChunk>& rebuilt);

}  // namespace partwise
