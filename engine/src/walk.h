#pragma once
// Internal: the one folder walk behind GetFolderSize, ListFolderFiles and
// the folder splitter, so that sizing and splitting always see the same files.
#include <cstdint>
#include <string>
#include <vector>

#include "file_io.h"

namespace partwise {

struct WalkEntry {
    std::string path;
    int64_t size = 0;
    FileIdentity identity;
};

// Appends the files below folder, depth first, each folder's entries in byte
// order of their names. Returns 0, or -1 (last error set) when folder or one
// of its sub-folders could not be listed; the rest is walked either way.
int WalkFolder(const std::string& folder, bool recurse, std::vector<WalkEntry>& out);

}  // namespace partwise
