#include "file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "partwise/errors.h"
#include "partwise/progress.h"

namespace partwise {

int Fail(const std::string& what, const std::string& path, int err) {
    SetLastErrorText(what + " '" + path + "': " + std::strerror(err));
    return -1;
}

int Fail(const std::string& message) {
    SetLastErrorText(message);
    return -1;
}

int CheckCancel() { return CancelRequested() ? Fail("cancelled") : 0; }

int CountBlock(int64_t bytes) {
    Progress().bytesDone.fetch_add(bytes, std::memory_order_relaxed);
    return CheckCancel();
}

int CheckPathLength(const std::string& path) {
    if (path.size() <= kMaxPathBytes) return 0;
    return Fail("the path '" + path + "' is longer than " + std::to_string(kMaxPathBytes) + " bytes");
}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

UniqueFd::~UniqueFd() {
    if (fd_ >= 0) ::close(fd_);
}

int UniqueFd::Close() {
    if (fd_ < 0) return 0;
    int fd = fd_;
    fd_ = -1;
    // Linux releases the descriptor even when close reports EINTR: no retry.
    return ::close(fd) == 0 || errno == EINTR ? 0 : -1;
}

UniqueFd OpenForReading(const std::string& path) {
    // Non-blocking, so that a FIFO planted where a file is expected cannot
    // hang the caller; regular files are not affected.
    return UniqueFd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
}

int OpenRegularFile(const std::string& path, const std::string& what, UniqueFd& fd, int64_t& size) {
    fd = OpenForReading(path);
    if (!fd.valid()) return Fail("cannot open " + what, path, errno);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return Fail("cannot read " + what, path, errno);
    if (!S_ISREG(st.st_mode)) return Fail(what + " '" + path + "' is not a regular file");
    size = st.st_size;
    return 0;
}

UniqueFd CreateFresh(const std::string& path) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) return UniqueFd();
    return UniqueFd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
}

FileIdentity IdentityOf(const struct stat& st) { return FileIdentity{st.st_dev, st.st_ino}; }

void FileIdentitySet::Seal() { std::sort(identities_.begin(), identities_.end()); }

bool FileIdentitySet::Contains(const FileIdentity& identity) const {
    return std::binary_search(identities_.begin(), identities_.end(), identity);
}

std::string WithoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

bool IsSafeRelativePath(const std::string& path) {
    std::size_t start = 0;
    for (;;) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        const std::string_view part = std::string_view(path).substr(start, end - start);
        if (part.empty() || part == "." || part == "..") return false;
        if (end == path.size()) return true;
        start = end + 1;
    }
}

int ReserveSpace(int fd, int64_t offset, int64_t size, const std::string& path) {
    if (size <= 0 || ::fallocate(fd, FALLOC_FL_KEEP_SIZE, offset, size) == 0) return 0;
    // Not supported by the file system, or not a regular file.
    if (errno == EOPNOTSUPP || errno == ENOSYS || errno == EINVAL || errno == ENODEV || errno == ESPIPE) return 0;
    // A copy that shares extents may still fit; the writes will tell.
    if (errno == ENOSPC) return 0;
    return Fail("cannot make room for", path, errno);
}

int DataRuns::Start(int fd, int64_t offset, int64_t length) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return -1;
    fd_ = fd;
    next_ = offset;
    probe_ = S_ISREG(st.st_mode);
    end_ = probe_ ? offset + std::clamp<int64_t>(st.st_size - offset, 0, length) : offset + length;
    return 0;
}

int DataRuns::Next(int64_t& start, int64_t& end) {
    if (next_ >= end_) return 0;
    start = next_;
    end = end_;
    if (probe_) {
        off_t data = ::lseek(fd_, static_cast<off_t>(next_), SEEK_DATA);
        if (data >= end_) {
            start = end_;
        } else if (data >= 0) {
            start = data;
            off_t hole = ::lseek(fd_, data, SEEK_HOLE);
            if (hole >= 0)
                end = std::min<int64_t>(hole, end_);
            else if (errno != ENXIO)
                return -1;  // ENXIO: the file shrank; the copy finds its end
        } else if (errno == ENXIO) {
            start = end_;  // nothing but hole from here to the end
        } else if (errno == EINVAL || errno == EOPNOTSUPP) {
            probe_ = false;  // a file system that keeps no map of its holes
        } else {
            return -1;
        }
    }
    next_ = end;
    return start < end ? 1 : 0;
}

int ReserveData(int in, const std::string& inPath, int64_t offset, int64_t length, int out, int64_t outOffset,
                const std::string& outPath) {
    DataRuns runs;
    if (runs.Start(in, offset, length) != 0) return Fail("cannot read", inPath, errno);
    int64_t start = 0, end = 0;
    int r = 0;
    while ((r = runs.Next(start, end)) > 0) {
        if (ReserveSpace(out, outOffset + (start - offset), end - start, outPath) != 0) return -1;
    }
    return r < 0 ? Fail("cannot read", inPath, errno) : 0;
}

namespace {
// offset < 0: at the file's current position.
int WriteFully(int fd, const void* data, std::size_t length, int64_t offset) {
    const char* p = static_cast<const char*>(data);
    while (length > 0) {
        ssize_t n = offset < 0 ? ::write(fd, p, length) : ::pwrite(fd, p, length, offset);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        p += n;
        length -= static_cast<std::size_t>(n);
        if (offset >= 0) offset += n;
    }
    return 0;
}
}  // namespace

int WriteAll(int fd, const void* data, std::size_t length) { return WriteFully(fd, data, length, -1); }

int WriteAllAt(int fd, const void* data, std::size_t length, int64_t offset) {
    return WriteFully(fd, data, length, offset);
}

int64_t ReadAt(int fd, void* data, std::size_t length, int64_t offset) {
    char* p = static_cast<char*>(data);
    std::size_t done = 0;
    while (done < length) {
        ssize_t n = ::pread(fd, p + done, length - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
    }
    return static_cast<int64_t>(done);
}

namespace {
constexpr std::size_t kBufferSize = 1 << 20;
constexpr int64_t kKernelCopyBlock = 8 << 20;

bool KernelCopyUnsupported(int err) {
    return err == EXDEV || err == EINVAL || err == ENOSYS || err == EOPNOTSUPP || err == EBADF || err == ETXTBSY ||
           err == EPERM;
}
}  // namespace

RangeCopier::RangeCopier() : buffer_(kBufferSize) {}

int64_t RangeCopier::Copy(int in, const std::string& inPath, int64_t offset, int out, const std::string& outPath,
                          int64_t length) {
    if (Flush() != 0) return -1;
    DataRuns runs;
    if (runs.Start(in, offset, length) != 0) return Fail("cannot read", inPath, errno);
    // A hole is left only where nothing was written before: at out's end.
    struct stat st {};
    off_t outStart = -1;
    const bool keepHoles = ::fstat(out, &st) == 0 && S_ISREG(st.st_mode) &&
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
    while (copied < length && useKernelCopy_) {
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
