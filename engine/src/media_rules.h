#pragma once
// Internal: what the split and the join check of the file system they write
// to, and the join script a single-file set can carry.
#include <cstdint>
#include <string>

namespace partwise {

// statfs's f_type of the file system that holds path; 0 when it cannot be
// asked, which the write that follows then reports.
int64_t FileSystemTypeOf(const std::string& path);
// Tests: every later FileSystemTypeOf answers fsType; 0 asks the system again.
void OverrideFileSystemType(int64_t fsType);

// 0 when chunks of largestChunk bytes fit the file system that holds folder;
// -1 otherwise, the last error offering a chunk size that fits.
int CheckChunksFit(const std::string& folder, int64_t largestChunk);
// 0 when the file name of size bytes fits the file system that holds
// folder; -1 (last error set) otherwise.
int CheckJoinedFileFits(const std::string& folder, const std::string& name, int64_t size);

// "join-<stem>.sh"
std::string JoinScriptName(const std::string& stem);
// A POSIX sh script, run in the chunk folder, that checks the chunks of a
// single-file set (their sizes; every byte with xxhsum when it is installed
// and the set has a checksum file) and joins them into sourceName, never
// replacing a file of that name.
std::string JoinScriptText(const std::string& sourceName, const std::string& stem, int64_t chunkCount,
                           int64_t chunkSize, int64_t totalSize, bool hasChecksums);

}  // namespace partwise
