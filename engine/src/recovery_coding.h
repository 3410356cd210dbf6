#pragma once
// Internal: recovery files written from a group's chunks and lost chunks
// rebuilt from the group's survivors, a stripe at a time so that memory stays
// bounded at any chunk size and count.
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "checksum_file.h"
#include "durable.h"
#include "partwise/recovery.h"
#include "posix_file.h"

namespace partwise {

// A set's recovery code: what decoding needs, from the descriptor and the
// recovery files' names and size.
struct RecoverySet {
    int folderFd = -1;
    std::string folder;
    std::string stem;
    int64_t chunkSize = 0;
    int64_t totalSize = 0;
    RecoveryLayout layout;
    // How a split puts its files on the disk: the recovery files go as its
    // chunks go, one by one where the file system needs it.
    Durability durability{false};
    bool flushEachFile = false;
    // Chunk i's length: the chunk size, less for the last one.
    int64_t ChunkLength(int32_t chunk) const;
    std::string PathOf(const std::string& name) const { return folder + "/" + name; }
};

// One shard of a code: length bytes of fd from base on, zeros past them as
// far as the code is concerned. An input read from elsewhere is written to
// copyFd at the same offsets as it passes.
struct Shard {
    Shard(int shardFd, std::string shardPath, int64_t shardLength)
        : fd(shardFd), path(std::move(shardPath)), length(shardLength) {}
    int fd = -1;
    std::string path;
    int64_t length = 0;
    int64_t base = 0;
    int copyFd = -1;
    std::string copyPath;
};

// What a pass learned of its inputs: each one's hash and first bytes (up to
// kFingerprintHead).
struct ShardSums {
    std::vector<ChunkHasher> hashes;
    std::vector<std::string> heads;
};

// Where each group's data shards come from. Without open, the chunks in the
// folder, read back. open fills in the shards of a group, which stay open
// until done receives what the pass learned of them, once the group's
// recovery files are written. Each returns 0, or -1 with the last error.
struct GroupInputs {
    std::function<int(int32_t group, std::vector<Shard>& in)> open;
    std::function<int(int32_t group, const ShardSums& sums)> done;
};

// Writes the recovery files of every group from its inputs, then
// "<stem>.rec" and "<stem>.rec.xxh128". created receives every name made,
// for a clean-up. Returns 0, or -1 with the last error.
int WriteRecoveryFiles(const RecoverySet& set, std::vector<std::string>& created, const GroupInputs& inputs = {});

// A split with recovery files makes chunks larger than this many bytes in
// one pass with them (kInHandLimit); smaller ones go through memory whole and
// are read back for the code.
int64_t StripedChunkMinimum();
// Tests: takes small sets through the one pass as well; below 0, the default.
void SetStripedChunkMinimumForTesting(int64_t bytes);

// Looks for the recovery files of stem in the folder of a set of chunkCount
// chunks and totalSize bytes. Returns 1 with set filled in (its chunk size is
// the recovery files' size, checked against the descriptor), 0 when there are
// none, -1 with the last error when they cannot be used: names of several
// codes, sizes that disagree or fit no chunk size of the set.
int FindRecoverySet(int folderFd, const std::string& folder, const std::string& stem, int32_t chunkCount,
                    int64_t totalSize, RecoverySet& set);

// The recovery files' lines from "<stem>.rec.xxh128", by name; empty when
// the file is missing or unusable (the files are then checked by the
// rebuilt chunks' own lines alone).
std::vector<std::pair<std::string, Digest128>> ReadRecoveryChecksums(const RecoverySet& set);

// A fresh file for a rebuilt chunk, invalid with the last error set.
using RebuildTarget = std::function<UniqueFd(int32_t chunk)>;

// Rebuilds the chunks in lost (which it may extend with survivors found to
// differ from their checksum line) into files from target, each checked
// against its line in sums before it counts. rebuilt receives, per chunk,
// its file and how many recovery files it took. Returns 0, or -1 with the
// last error: a group lost more than it has recovery files for (naming the
// chunks and how many files they need), or a read or write failed.
struct RebuiltFile {
    RebuiltChunk chunk;
    UniqueFd fd;
};
int RebuildChunks(const RecoverySet& set, const ChecksumTable& sums, std::vector<int32_t> lost,
                  const RebuildTarget& target, std::vector<RebuiltFile>& rebuilt);

// For a join: rebuilds the chunks of the set in chunkFolder that are lost
// (missing, of another size or fingerprint, without a usable checksum line,
// or among known) into unnamed files in scratchFolder. Returns 1 with what
// was rebuilt (perhaps nothing), 0 when the set has no recovery files (or
// none that can be used), -1 with the last error.
int RebuildLostChunks(const std::string& chunkFolder, const std::string& scratchFolder,
                      const std::vector<int32_t>& known, std::vector<RebuiltFile>& rebuilt);

// An unnamed file in the folder for a rebuilt chunk, gone when closed: a
// join never writes into the set, which may be read-only.
UniqueFd CreateScratchFile(int folderFd, const std::string& folder);

}  // namespace partwise
