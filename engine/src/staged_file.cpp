#include "staged_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "fail.h"
#include "folder_ops.h"

namespace partwise {
namespace {
constexpr std::size_t kBlock = 64 * 1024;
}

StagedFile::~StagedFile() { Discard(); }

void StagedFile::Discard() {
    if (temporary_.empty()) return;
    // Closed first: FUSE keeps an open file that is unlinked as a hidden one.
    fd_ = UniqueFd();
    ::unlinkat(folderFd_, temporary_.c_str(), 0);
    temporary_.clear();
    held_.clear();
}

int StagedFile::Open(int folderFd, const std::string& path) {
    const std::size_t slash = path.rfind('/');
    folderFd_ = folderFd;
    name_ = slash == std::string::npos ? path : path.substr(slash + 1);
    path_ = path;
    return CreateTemporaryAt(folderFd, slash == std::string::npos ? std::string(".") : path.substr(0, slash), fd_,
                             temporary_);
}

int StagedFile::Open(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    ownFolder_ = OpenFolder(folder, true);
    if (!ownFolder_.valid()) return Fail("cannot open the folder", folder, errno);
    return Open(ownFolder_.get(), path);
}

int StagedFile::Append(std::string_view bytes) {
    held_ += bytes;
    return held_.size() >= kBlock ? Flush() : 0;
}

int StagedFile::Flush() {
    if (WriteAll(fd_.get(), held_.data(), held_.size()) != 0) return Fail("cannot write", path_, errno);
    held_.clear();
    return 0;
}

int StagedFile::Commit(const Durability& durability) {
    if (Flush() != 0 || durability.FlushFile(fd_.get(), path_) != 0) return -1;
    // The lock goes with the close: the rename must come first, or a sweep
    // could take the finished file for a dead job's.
    if (::renameat(folderFd_, temporary_.c_str(), folderFd_, name_.c_str()) != 0)
        return Fail("cannot rename into place", path_, errno);
    temporary_.clear();
    return CloseAfterPlacing(fd_, folderFd_, name_, path_);
}

}  // namespace partwise
