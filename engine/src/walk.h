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

// Walks the files below a folder one at a time: depth first, each folder's
// entries in byte order of their names, hidden files included. A link counts
// as the regular file it points to; a link to a folder is not entered, so the
// walk cannot loop; FIFOs, sockets, devices and dangling links are passed
// over. Only the names of the folders on the current path are held, so a
// tree of any size walks in little memory.
class FolderWalker {
public:
    // Without measure, a plain file comes without a look of its own: size -1
    // and no identity (links are still followed to tell what they lead to).
    FolderWalker(const std::string& folder, bool recurse, bool measure = true);
    // The next file; false at the end.
    bool Next(WalkEntry& entry);
    // True once a folder could not be listed or an entry could not be read
    // (the last error names it); the rest is walked either way.
    bool failed() const { return failed_; }

private:
    // One folder's entries in one buffer, each its dirent type byte and its
    // NUL-terminated name, and their starts in byte order of the names.
    struct Level {
        std::string path;
        std::string names;
        std::vector<uint32_t> order;  // 4 GiB of names in one folder is beyond any file system
        std::size_t next = 0;
    };
    void Enter(const std::string& path);

    std::vector<Level> stack_;
    bool recurse_;
    bool measure_;
    bool failed_ = false;
};

// The whole walk as a list. Returns 0, or -1 (last error set) when folder or
// one of its sub-folders could not be listed.
int WalkFolder(const std::string& folder, bool recurse, std::vector<WalkEntry>& out);

}  // namespace partwise
