#include "read_back_hasher.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "fail.h"
#include "partwise/errors.h"
#include "partwise/progress.h"

namespace partwise {
namespace {
// Small enough for the hash to find the slice still in the CPU's cache, large
// enough for the copy to run at full speed.
constexpr int64_t kSlice = 1 << 20;
constexpr std::size_t kReadBlock = 256 * 1024;
}  // namespace

ReadBackHasher::~ReadBackHasher() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

int ReadBackHasher::Start(int fd, const std::string& path, int64_t base) {
    std::unique_lock lock(mutex_);
    // The thread may still read the previous file after a failed copy.
    done_.wait(lock, [this] { return !working_; });
    fd_ = UniqueFd();
    path_ = path;
    position_ = target_ = 0;
    base_ = base;
    holeEnd_ = dataEnd_ = 0;
    error_.clear();
    hasher_.Reset();
    head_.fill(0);
    if (fd < 0) return 0;
    fd_ = UniqueFd(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
    struct stat st {};
    if (!fd_.valid() || ::fstat(fd_.get(), &st) != 0) return Fail("cannot read", path, errno);
    // Most files have no holes: their map need not be asked for.
    if (HasNoHoles(st)) dataEnd_ = INT64_MAX;
    if (buffer_.empty()) buffer_.resize(kReadBlock);
    if (!thread_.joinable()) thread_ = std::thread(&ReadBackHasher::Run, this);
    return 0;
}

int ReadBackHasher::FailedLocked() {
    if (error_.empty()) return 0;
    SetLastErrorText(error_);
    return -1;
}

int ReadBackHasher::HashUpTo(int64_t position) {
    if (!active()) return 0;
    {
        std::lock_guard lock(mutex_);
        if (FailedLocked() != 0) return -1;
        if (position <= target_) return 0;
        target_ = position;
    }
    wake_.notify_one();
    return 0;
}

int ReadBackHasher::Finish(int64_t position) {
    if (!active()) return 0;
    if (HashUpTo(position) != 0) return -1;
    std::unique_lock lock(mutex_);
    done_.wait(lock, [this] { return !error_.empty() || (!working_ && position_ >= target_); });
    return FailedLocked();
}

void ReadBackHasher::FindRun(int fd, int64_t at) {
    holeEnd_ = dataEnd_ = at;
    const off_t data = ::lseek(fd, static_cast<off_t>(at), SEEK_DATA);
    if (data < 0 && errno == ENXIO) {
        // No data from at on: a hole up to the end of the file.
        struct stat st {};
        if (::fstat(fd, &st) == 0) holeEnd_ = st.st_size;
        return;
    }
    if (data > at) {
        holeEnd_ = data;
        return;
    }
    // At data, or a file system that tells of no holes: data up to the next hole.
    const off_t hole = data == at ? ::lseek(fd, static_cast<off_t>(at), SEEK_HOLE) : -1;
    dataEnd_ = hole > at ? hole : INT64_MAX;
}

int64_t ReadBackHasher::HashBlock(int fd, int64_t at, std::size_t want, int& err) {
    const int64_t offset = base_ + at;
    if (offset >= holeEnd_ && offset >= dataEnd_) FindRun(fd, offset);
    if (offset < holeEnd_) {
        const auto n = static_cast<std::size_t>(std::min<int64_t>(static_cast<int64_t>(want), holeEnd_ - offset));
        if (zeros_.empty()) zeros_.resize(kReadBlock);
        hasher_.Update(zeros_.data(), n);
        return static_cast<int64_t>(n);
    }
    if (offset >= dataEnd_) return 0;  // the file ends here
    want = static_cast<std::size_t>(std::min<int64_t>(static_cast<int64_t>(want), dataEnd_ - offset));
    const int64_t n = ReadAt(fd, buffer_.data(), want, offset);
    err = errno;
    if (n <= 0) return n;
    hasher_.Update(buffer_.data(), static_cast<std::size_t>(n));
    if (at < static_cast<int64_t>(head_.size())) {
        const auto inHead = static_cast<std::size_t>(at);
        std::memcpy(head_.data() + inHead, buffer_.data(),
                    std::min(static_cast<std::size_t>(n), head_.size() - inHead));
    }
    return n;
}

void ReadBackHasher::Run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stop_ || (error_.empty() && fd_.valid() && position_ < target_); });
        if (stop_) return;
        working_ = true;
        const int fd = fd_.get();
        const int64_t at = position_;
        const auto want = static_cast<std::size_t>(std::min<int64_t>(target_ - at, buffer_.size()));
        lock.unlock();
        int err = 0;
        // A cancel stops a long hash too, such as a large chunk's before its copy.
        const int64_t n = CancelRequested() ? 0 : HashBlock(fd, at, want, err);
        lock.lock();
        working_ = false;
        if (CancelRequested())
            error_ = "cancelled";
        else if (n < 0)
            error_ = "cannot read '" + path_ + "': " + std::strerror(err);
        else if (n == 0)  // the file ends before what was copied into it
            error_ = "'" + path_ + "' changed while it was read";
        else
            position_ += n;
        if (!error_.empty() || position_ >= target_) done_.notify_all();
    }
}

int64_t CopyAndHash(RangeCopier& copier, int in, const std::string& inPath, int64_t offset, int out,
                    const std::string& outPath, int64_t length, ReadBackHasher& follower, int64_t followerStart) {
    if (!follower.active()) return copier.Copy(in, inPath, offset, out, outPath, length);
    int64_t copied = 0;
    while (copied < length) {
        const int64_t want = std::min(kSlice, length - copied);
        int64_t n = copier.Copy(in, inPath, offset + copied, out, outPath, want);
        if (n < 0) return -1;
        copied += n;
        if (follower.HashUpTo(followerStart + copied) != 0) return -1;
        if (n < want) break;
    }
    return copied;
}

}  // namespace partwise
