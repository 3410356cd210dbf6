#pragma once
// Internal: a join giving back what the metadata file beside the chunks
// records: permission bits and modification times, and the folders that hold
// no file. The file is untrusted, and read in step with the descriptor's file
// records, a line at a time: its entries must name exactly the descriptor's
// files, in the descriptor's order, with folders between them.
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "meta_file.h"

namespace partwise {

class MetaRestore {
public:
    // Refuses (last error set) a folder path the join must not write to, as
    // it refuses a file record's path.
    using CheckFolder = std::function<int(const std::string& relative)>;
    // Creates root/relative and every folder on the way ("" for root): 0, or
    // -1 with the last error.
    using CreateFolder = std::function<int(const std::string& relative)>;
    // Opens root/relative, never through a link: a descriptor the caller
    // keeps, or -1 with the last error.
    using OpenFolder = std::function<int(const std::string& relative)>;

    // Opens <stem>.meta of chunkFolder for a join into root. 0 also when there
    // is none: nothing is then restored. -1 with the last error.
    int Open(const std::string& chunkFolder, const std::string& stem, const std::string& root, CheckFolder checkFolder);
    // How the folders are reached, before the writing pass.
    void SetFolderAccess(CreateFolder create, OpenFolder open) {
        createFolder_ = std::move(create);
        openFolder_ = std::move(open);
    }
    bool present() const { return present_; }

    // A single-file set: its one entry, "F ." and nothing else.
    int CheckSingleFile();
    // A folder set, before anything is written: the folders listed before the
    // next file, then that file's own entry, which must name relative.
    int CheckFile(const std::string& relative);
    // After the last file: folders only.
    int CheckEnd();

    // Writing pass of a folder set, after the checks: reads from the start again.
    void Rewind();
    // Creates the folders listed before the next file, and takes its entry.
    int BeforeFile(const std::string& relative);
    // Gives the file taken last (or the single file) its mode and time
    // through its open descriptor, after its last write.
    int ApplyToFile(int fd, const std::string& path) const;
    // Creates the folders listed after the last file, then gives every folder
    // its mode and time, deepest first.
    int Finish();

private:
    // Reads up to the next file entry (or the end when relative is null),
    // checking each folder entry and, when create is set, creating it.
    int Step(const std::string* relative, bool create);
    int Refuse(const std::string& what) const;
    int ApplyToFolder(const MetaEntry& entry) const;

    bool present_ = false;
    std::string root_;
    CheckFolder checkFolder_;
    CreateFolder createFolder_;
    OpenFolder openFolder_;
    MetaFileReader reader_;
    int64_t start_ = 0;  // the first entry
    MetaEntry file_;
    // Where each folder entry starts, in the file's order: a parent before
    // what it holds, so going backwards gives every folder after its contents.
    std::vector<int64_t> folders_;
};

}  // namespace partwise
