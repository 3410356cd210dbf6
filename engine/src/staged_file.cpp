#include "staged_file.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "fail.h"

namespace partwise {
namespace {
constexpr std::size_t kBlock = 64 * 1024;
}

StagedFile::~StagedFile() { Discard(); }

void StagedFile::Discard() {
    if (temporary_.empty()) return;
    fd_ = UniqueFd();
    ::unlink(temporary_.c_str());
    temporary_.clear();
    held_.clear();
}

int StagedFile::Open(const std::string& path) {
    path_ = path;
    fd_ = CreateFresh(path + ".tmp");
    if (!fd_.valid()) return Fail("cannot create", path + ".tmp", errno);
    temporary_ = path + ".tmp";
    return 0;
}

int StagedFile::Append(std::string_view bytes) {
    held_ += bytes;
    return held_.size() >= kBlock ? Flush() : 0;
}

int StagedFile::Flush() {
    if (WriteAll(fd_.get(), held_.data(), held_.size()) != 0) return Fail("cannot write", temporary_, errno);
    held_.clear();
    return 0;
}

int StagedFile::Commit() {
    if (Flush() != 0) return -1;
    if (fd_.Close() != 0) return Fail("cannot write", temporary_, errno);
    if (::rename(temporary_.c_str(), path_.c_str()) != 0) return Fail("cannot rename into place", path_, errno);
    temporary_.clear();
    return 0;
}

}  // namespace partwise
