#pragma once
// Made for sticks, discs and e-mail: chunk sizes that fit common media, the
// largest file a file system takes, and the shell script a single-file set
// can carry for recipients without Partwise. No shared state.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace partwise {

struct ChunkSizePreset {
    const char* name;  // as typed: "fat32", "cd", ...
    int64_t bytes;     // the exact chunk size
    const char* purpose;
};

// The presets in the order they are offered.
std::span<const ChunkSizePreset> ChunkSizePresets();
// The preset called name, in any case; nullptr when there is none.
const ChunkSizePreset* FindChunkSizePreset(std::string_view name);

// The largest file a file system of statfs type fsType holds: 4 GiB - 1 byte
// for FAT (vfat); -1 for every other type, taken as unlimited.
int64_t LargestFileOn(int64_t fsType);

// "join-<stem>.sh" in chunkFolder, the stem taken from sourceName.
std::string JoinScriptFileFor(const std::string& chunkFolder, const std::string& sourceName);

}  // namespace partwise
