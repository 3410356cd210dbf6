#include "partwise/chunk_names.h"

#include <algorithm>

#include "partwise/fsutil.h"
#include "partwise/limits.h"
#include "paths.h"

namespace partwise {

std::string ChunkFileName(const std::string& stem, int32_t index) {
    return stem + "_" + std::to_string(index) + ".spt";
}

std::string ChunkFilePath(const std::string& chunkFolder, const std::string& stem, int32_t index) {
    return chunkFolder + "/" + ChunkFileName(stem, index);
}

int64_t ChunkNumberOfName(std::string_view name, std::string_view stem) {
    constexpr std::string_view kSuffix = ".spt";
    if (name.size() <= stem.size() + 1 + kSuffix.size() || !name.starts_with(stem) || name[stem.size()] != '_' ||
        !name.ends_with(kSuffix))
        return -1;
    const std::string_view digits = name.substr(stem.size() + 1, name.size() - stem.size() - 1 - kSuffix.size());
    if (digits.size() > 10 || (digits.size() > 1 && digits[0] == '0')) return -1;
    int64_t n = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return -1;
        n = n * 10 + (c - '0');
    }
    return n <= kMaxChunkCount ? n : -1;
}

int64_t ChunkCountFor(int64_t totalSize, int64_t chunkSize) {
    if (chunkSize <= 0 || totalSize < 0) return -1;
    int64_t count = totalSize / chunkSize + (totalSize % chunkSize != 0 ? 1 : 0);
    return count > kMaxChunkCount ? -1 : count;
}

int64_t ChunkSizeForCount(int64_t totalSize, int64_t count) {
    if (totalSize <= 0 || count <= 0) return kMinChunkSizeForCount;
    return std::max(totalSize / count + (totalSize % count != 0 ? 1 : 0), kMinChunkSizeForCount);
}

ChunkSetNames DeriveChunkSetNames(const std::string& sourcePath, const std::string& outputFolder) {
    ChunkSetNames names;
    names.sourceName = GetLastPathComponent(WithoutTrailingSlashes(sourcePath));
    names.stem = names.sourceName;
    StripExtension(names.stem);
    names.chunkFolder = outputFolder + "/" + names.stem + "_spt";
    return names;
}

}  // namespace partwise
