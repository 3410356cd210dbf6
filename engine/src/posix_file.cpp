#include "posix_file.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>

#include "fail.h"

namespace partwise {

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

UniqueFd OpenForReading(const std::string& path) { return OpenForReadingAt(AT_FDCWD, path); }

UniqueFd OpenForReadingAt(int folderFd, const std::string& name) {
    // Non-blocking, so that a FIFO planted where a file is expected cannot
    // hang the caller; regular files are not affected.
    return UniqueFd(::openat(folderFd, name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
}

UniqueFd OpenChunkAt(int folderFd, const std::string& name) {
    return UniqueFd(::openat(folderFd, name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW));
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

UniqueFd OpenFolder(const std::string& path, bool followLink) {
    return UniqueFd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (followLink ? 0 : O_NOFOLLOW)));
}

UniqueFd CreateFresh(const std::string& path) { return CreateFreshAt(AT_FDCWD, path); }

UniqueFd CreateFreshAt(int folderFd, const std::string& name) {
    constexpr int kFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    // Usually nothing stands under the name: the unlink only when it does.
    UniqueFd fd(::openat(folderFd, name.c_str(), kFlags, 0666));
    if (fd.valid() || errno != EEXIST) return fd;
    if (::unlinkat(folderFd, name.c_str(), 0) != 0 && errno != ENOENT) return UniqueFd();
    return UniqueFd(::openat(folderFd, name.c_str(), kFlags, 0666));
}

int ReserveSpace(int fd, int64_t offset, int64_t size, const std::string& path) {
    if (size <= 0 || ::fallocate(fd, FALLOC_FL_KEEP_SIZE, offset, size) == 0) return 0;
    // Not supported by the file system, or not a regular file.
    if (errno == EOPNOTSUPP || errno == ENOSYS || errno == EINVAL || errno == ENODEV || errno == ESPIPE) return 0;
    // A copy that shares extents may still fit; the writes will tell.
    if (errno == ENOSPC) return 0;
    return Fail("cannot make room for", path, errno);
}

bool HasNoHoles(const struct stat& st) { return static_cast<int64_t>(st.st_blocks) * 512 >= st.st_size; }

namespace {
std::atomic<bool> g_alwaysShares{false};
}  // namespace

void KernelCopySharesBlocksForTesting(bool always) { g_alwaysShares = always; }

bool KernelCopyMayShareBlocks(int in, int outFolder) {
    if (g_alwaysShares) return true;
    struct stat source {};
    struct stat folder {};
    struct statfs fs {};
    if (::fstat(in, &source) != 0 || ::fstat(outFolder, &folder) != 0 || source.st_dev != folder.st_dev ||
        ::fstatfs(outFolder, &fs) != 0)
        return false;
    switch (static_cast<unsigned long>(fs.f_type)) {
        case XFS_SUPER_MAGIC:
        case BTRFS_SUPER_MAGIC:
        case OCFS2_SUPER_MAGIC:
        case NFS_SUPER_MAGIC:
        case CIFS_SUPER_MAGIC:
        case SMB2_SUPER_MAGIC:
        case CEPH_SUPER_MAGIC:
        case FUSE_SUPER_MAGIC:
            return true;
        default:
            return false;
    }
}

int DataRuns::Start(int fd, int64_t offset, int64_t length, KnownDataRun* known) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return -1;
    fd_ = fd;
    next_ = offset;
    probe_ = S_ISREG(st.st_mode) && !HasNoHoles(st);
    end_ = S_ISREG(st.st_mode) ? offset + std::clamp<int64_t>(st.st_size - offset, 0, length) : offset + length;
    known_ = known;
    device_ = st.st_dev;
    inode_ = st.st_ino;
    return 0;
}

int DataRuns::Next(int64_t& start, int64_t& end) {
    if (next_ >= end_) return 0;
    start = next_;
    end = end_;
    if (probe_ && known_ != nullptr && known_->device == device_ && known_->inode == inode_ && known_->start <= next_ &&
        next_ < known_->end) {
        end = std::min(known_->end, end_);
    } else if (probe_) {
        off_t data = ::lseek(fd_, static_cast<off_t>(next_), SEEK_DATA);
        if (data >= end_) {
            start = end_;
        } else if (data >= 0) {
            start = data;
            off_t hole = ::lseek(fd_, data, SEEK_HOLE);
            if (hole >= 0) {
                end = std::min<int64_t>(hole, end_);
                if (known_ != nullptr) *known_ = KnownDataRun{device_, inode_, data, hole};
            } else if (errno != ENXIO) {
                return -1;  // ENXIO: the file shrank; the copy finds its end
            }
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

}  // namespace partwise
