#include "range_copier.h"

#include <fcntl.h>

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>

#include "cancel.h"
#include "fail.h"
#include "posix_file.h"

namespace partwise {

namespace {
constexpr std::size_t kBufferSize = 1 << 20;
constexpr int64_t kKernelCopyBlock = 8 << 20;

bool KernelCopyUnsupported(int err) {
    return err == EXDEV || err == EINVAL || err == ENOSYS || err == EOPNOTSUPP || err == EBADF || err == ETXTBSY ||
           err == EPERM;
}
}  // namespace

void CopiedBytes::Reset() {
    hasher.Reset();
    head.fill(0);
    seen = 0;
}

void CopiedBytes::Add(const char* data, std::size_t length) {
    if (seen < static_cast<int64_t>(head.size())) {
        const auto at = static_cast<std::size_t>(seen);
        std::copy_n(data, std::min(length, head.size() - at), head.data() + at);
    }
    hasher.Update(data, length);
    seen += static_cast<int64_t>(length);
}

void CopiedBytes::AddZeros(int64_t length) {
    static const std::array<char, 64 * 1024> kZeros{};
    seen += length;
    for (; length > 0; length -= static_cast<int64_t>(kZeros.size()))
        hasher.Update(kZeros.data(), static_cast<std::size_t>(std::min<int64_t>(length, kZeros.size())));
}

RangeCopier::RangeCopier() : buffer_(kBufferSize) {}

int64_t RangeCopier::Copy(int in, const std::string& inPath, int64_t offset, int out, const std::string& outPath,
                          int64_t length) {
    if (Flush() != 0) return -1;
    DataRuns runs;
    if (runs.Start(in, offset, length, &known_) != 0) return Fail("cannot read", inPath, errno);
    // A hole is left only where nothing was written before: at out's end.
    // Appending writes go to the end whatever the offset, so they get zeros.
    struct stat st {};
    off_t outStart = -1;
    const bool keepHoles = ::fstat(out, &st) == 0 && S_ISREG(st.st_mode) && (::fcntl(out, F_GETFL) & O_APPEND) == 0 &&
                           (outStart = ::lseek(out, 0, SEEK_CUR)) >= 0 && outStart >= st.st_size;
    int64_t position = offset, start = 0, end = 0;
    int r = 0;
    while ((r = runs.Next(start, end)) > 0) {
        if (start > position && SkipHole(out, outPath, start - position, keepHoles) != 0) return -1;
        int64_t n = CopyData(in, inPath, start, out, outPath, end - start);
        if (n < 0) return -1;
        position = start + n;
        if (n < end - start) return position - offset;  // in ended early
    }
    if (r < 0) return Fail("cannot read", inPath, errno);
    if (runs.end() > position) {
        if (SkipHole(out, outPath, runs.end() - position, keepHoles) != 0) return -1;
        // Only a write makes a file longer; a hole at its end needs its size set.
        if (keepHoles && ::ftruncate(out, outStart + (runs.end() - offset)) != 0)
            return Fail("cannot write", outPath, errno);
    }
    return runs.end() - offset;
}

int RangeCopier::SkipHole(int out, const std::string& outPath, int64_t length, bool keepHoles) {
    if (shown_ != nullptr) shown_->AddZeros(length);
    if (keepHoles) {
        if (::lseek(out, static_cast<off_t>(length), SEEK_CUR) < 0) return Fail("cannot write", outPath, errno);
        return CountBlock(length);
    }
    std::fill(buffer_.begin(), buffer_.end(), '\0');
    while (length > 0) {
        std::size_t n = static_cast<std::size_t>(std::min<int64_t>(buffer_.size(), length));
        if (WriteAll(out, buffer_.data(), n) != 0) return Fail("cannot write", outPath, errno);
        length -= static_cast<int64_t>(n);
        if (CountBlock(static_cast<int64_t>(n)) != 0) return -1;
    }
    return 0;
}

int64_t RangeCopier::CopyData(int in, const std::string& inPath, int64_t offset, int out, const std::string& outPath,
                              int64_t length) {
    int64_t copied = 0;
    while (copied < length && useKernelCopy_ && shown_ == nullptr) {
        off_t inOffset = static_cast<off_t>(offset + copied);
        std::size_t want = static_cast<std::size_t>(std::min(kKernelCopyBlock, length - copied));
        ssize_t n = ::copy_file_range(in, &inOffset, out, nullptr, want, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (KernelCopyUnsupported(errno)) {
                useKernelCopy_ = false;
                break;
            }
            // Either side may have failed; a read error is the rarer one.
            int err = errno;
            if (err == ENOSPC || err == EFBIG || err == EDQUOT) return Fail("cannot write", outPath, err);
            return Fail("cannot copy from", inPath, err);
        }
        if (n == 0) return copied;
        copied += n;
        if (CountBlock(n) != 0) return -1;
    }
    while (copied < length) {
        std::size_t want = static_cast<std::size_t>(std::min<int64_t>(buffer_.size(), length - copied));
        int64_t n = ReadAt(in, buffer_.data(), want, offset + copied);
        if (n < 0) return Fail("cannot read", inPath, errno);
        if (n == 0) break;
        if (shown_ != nullptr) shown_->Add(buffer_.data(), static_cast<std::size_t>(n));
        if (WriteAll(out, buffer_.data(), static_cast<std::size_t>(n)) != 0)
            return Fail("cannot write", outPath, errno);
        copied += n;
        if (CountBlock(n) != 0) return -1;
    }
    return copied;
}

int64_t RangeCopier::Gather(int in, const std::string& inPath, int64_t offset, int64_t expected, int out,
                            const std::string& outPath, bool& ended) {
    ended = false;
    const std::size_t want = static_cast<std::size_t>(expected) + 1;
    if ((pendingFd_ != out || pending_ + want > buffer_.size()) && Flush() != 0) return -1;
    pendingFd_ = out;
    pendingPath_ = outPath;
    ssize_t n;
    do {
        n = ::pread(in, buffer_.data() + pending_, want, static_cast<off_t>(offset));
    } while (n < 0 && errno == EINTR);
    if (n < 0) return Fail("cannot read", inPath, errno);
    pending_ += static_cast<std::size_t>(n);
    if (CountBlock(n) != 0) return -1;
    // A regular file reads short only at its end; anything but the measured
    // size is left to Copy, which reads until it sees the end itself.
    ended = n == expected;
    return n;
}

int RangeCopier::Flush() {
    if (pending_ == 0) return 0;
    const std::size_t count = pending_;
    pending_ = 0;
    if (WriteAll(pendingFd_, buffer_.data(), count) != 0) return Fail("cannot write", pendingPath_, errno);
    return 0;
}

}  // namespace partwise
