#pragma once
// Internal: a text file beside the chunks, written under a temporary name
// (created afresh and locked, so that a link left there is never written
// through and a sweep knows it for a live job's) and renamed into place only
// once whole, so that no reader sees half of one.
#include <string>
#include <string_view>

#include "durable.h"
#include "posix_file.h"

namespace partwise {

class StagedFile {
public:
    StagedFile() = default;
    // Removes the temporary file unless committed.
    ~StagedFile();
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;

    // Each returns 0, or -1 with the last error naming the file.
    // path's last component in the folder open as folderFd, which must stay
    // open until Commit or Discard; the rest of path is for messages.
    int Open(int folderFd, const std::string& path);
    // The same at path, its folder opened here.
    int Open(const std::string& path);
    int Append(std::string_view bytes);
    // Flushed to the disk before it takes its name, unless durability is off.
    int Commit(const Durability& durability = Durability());
    // Removes the temporary file unless committed.
    void Discard();

private:
    int Flush();

    UniqueFd ownFolder_;
    int folderFd_ = -1;
    std::string name_;
    std::string path_;
    std::string temporary_;
    UniqueFd fd_;
    std::string held_;
};

}  // namespace partwise
