#pragma once
// Internal: the one folder walk behind GetFolderSize, ListFolderFiles and
// the folder splitter, so that sizing and splitting always see the same files.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "file_identity.h"
#include "partwise/fsutil.h"

namespace partwise {

struct WalkEntry {
    std::string path;
    int64_t size = 0;
    FileIdentity identity;
    bool folder = false;  // only from a walker that yields folders
};

// Walks the files below a folder one at a time: depth first, each folder's
// entries in byte order of their names, hidden files included. A link counts
// as the regular file it points to; a link to a folder is not entered, so the
// walk cannot loop; FIFOs, sockets, devices and dangling links are passed
// over (and told to OnPassedOver). Each folder on the current path holds at most batchSize of its names
// at a time, the smallest not yet walked; a larger folder is listed again for
// each further batch. So a tree of any size, and a folder of any size, walks
// in bounded memory.
class FolderWalker {
public:
    static constexpr std::size_t kBatchSize = 32768;
    // Without measure, a plain file is not stat'ed: it comes with size -1
    // and no identity (links are still followed to tell what they lead to).
    FolderWalker(const std::string& folder, bool recurse, bool measure = true, std::size_t batchSize = kBatchSize);
    // The next file, or folder when folders are yielded; false at the end.
    bool Next(WalkEntry& entry);
    // From now on each sub-folder comes as an entry of its own when the walk
    // enters it, before what it holds (the walked folder itself does not).
    void YieldFolders() { folders_ = true; }
    // Called with each entry the walk passes over.
    void OnPassedOver(std::function<void(const std::string&, PassedOverKind)> notice) {
        passedOver_ = std::move(notice);
    }
    // True once a folder could not be listed or an entry could not be read
    // (the last error names it); the rest is walked either way.
    bool failed() const { return failed_; }

private:
    // A batch of one folder's entries in byte order of their names, each its
    // dirent type byte followed by its name.
    struct Level {
        std::string path;
        std::vector<std::string> batch;
        std::size_t next = 0;
        bool last = false;  // no names follow this batch
    };
    void Enter(const std::string& path);
    // Enters a sub-folder; true when entry is to be yielded for it.
    bool EnterFolder(std::string path, WalkEntry& entry);
    void PassOver(const std::string& path, PassedOverKind kind) {
        if (passedOver_) passedOver_(path, kind);
    }
    // Lists level's folder for the names after its batch's last.
    void Fill(Level& level);

    std::vector<Level> stack_;
    bool recurse_;
    bool measure_;
    std::size_t batchSize_;
    bool failed_ = false;
    bool folders_ = false;
    std::function<void(const std::string&, PassedOverKind)> passedOver_;
};

// Calls visit with the name of every entry of folder, of any kind, but "."
// and "..", in the folder's own order. Returns 0, or -1 (last error set)
// when the folder cannot be listed.
int ListFolderNames(const std::string& folder, const std::function<void(std::string_view)>& visit);

// The whole walk as a list. Returns 0, or -1 (last error set) when folder or
// one of its sub-folders could not be listed.
int WalkFolder(const std::string& folder, bool recurse, std::vector<WalkEntry>& out);

}  // namespace partwise
