#pragma once
// Splits a file or a folder tree into a chunk set: a chunk folder
// "<output>/<stem>_spt" holding "<stem>_<i>.spt" for i = 0, 1, ... and the
// descriptor. Runs on a worker thread; progress goes to the ProgressCounters.
#include <cstdint>
#include <string>
#include <vector>

namespace partwise {

// Filled by a front end, zero-filled first. Texts are NUL-terminated.
struct SplitJob {
    char sourcePath[1024];
    char outputFolder[1024];
    int64_t totalSize;  // as measured by GetPathSize
    int64_t chunkSize;  // bytes per chunk, > 0
    char password[32];  // "" for no password
};

struct ChunkJob {
    std::string sourcePath;
    std::string chunkPath;
    int32_t chunkIndex = 0;
    int64_t readPosition = 0;
    int64_t length = 0;
};

// Splits job.sourcePath. Returns 0 when the whole chunk set and its descriptor
// were written, -1 (last error set) otherwise: the source is missing or not a
// regular file or folder, the job is refused before anything is written
// (chunk size, count, name or path lengths, output inside the source folder),
// a read or write failed, or the bytes copied differ from job.totalSize.
// Without success no descriptor is left in the chunk folder.
int RunSplit(const SplitJob& job);

// The names a split derives from its source path, as the joiner derives them
// back: the source's name, its stem and the chunk folder. Trailing slashes of
// the source path are ignored.
struct ChunkSetNames {
    std::string sourceName;
    std::string stem;
    std::string chunkFolder;
};
ChunkSetNames DeriveChunkSetNames(const std::string& sourcePath, const std::string& outputFolder);

// chunkFolder + "/" + stem + "_" + index + ".spt"
std::string ChunkFilePath(const std::string& chunkFolder, const std::string& stem, int32_t index);

// ceil(totalSize / chunkSize); -1 when chunkSize <= 0 or the count does not fit int32.
int64_t ChunkCountFor(int64_t totalSize, int64_t chunkSize);

}  // namespace partwise
