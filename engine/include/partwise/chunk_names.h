#pragma once
// How a chunk set lies on disk: the chunk folder "<output>/<stem>_spt", the
// chunk files "<stem>_<i>.spt" in it, numbered from 0, where the stem is the
// source's name up to its first "."; and how many chunks a size makes. The
// split names its set this way and the join and the inspection find the
// chunks by it. No shared state.
#include <cstdint>
#include <string>
#include <string_view>

namespace partwise {

// The names a split derives from its source path, as the joiner derives them
// back: the source's name, its stem and the chunk folder. Trailing slashes of
// the source path are ignored.
struct ChunkSetNames {
    std::string sourceName;
    std::string stem;
    std::string chunkFolder;
};
ChunkSetNames DeriveChunkSetNames(const std::string& sourcePath, const std::string& outputFolder);

// stem + "_" + index + ".spt"
std::string ChunkFileName(const std::string& stem, int32_t index);
// chunkFolder + "/" + ChunkFileName(stem, index)
std::string ChunkFilePath(const std::string& chunkFolder, const std::string& stem, int32_t index);
// n when name is "<stem>_<n>.spt" exactly as ChunkFilePath writes it, else -1.
int64_t ChunkNumberOfName(std::string_view name, std::string_view stem);

// ceil(totalSize / chunkSize); -1 when chunkSize <= 0 or the count does not fit int32.
int64_t ChunkCountFor(int64_t totalSize, int64_t chunkSize);

// A count never cuts chunks smaller than this: a chunk file per few bytes
// helps nobody, and a small source then makes fewer chunks than asked.
inline constexpr int64_t kMinChunkSizeForCount = 1024;
// The chunk size that cuts totalSize bytes into at most count chunks: the
// quotient rounded up, and at least kMinChunkSizeForCount, also for an empty
// source.
int64_t ChunkSizeForCount(int64_t totalSize, int64_t count);

}  // namespace partwise
