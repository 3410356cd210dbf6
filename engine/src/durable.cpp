#include "durable.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "cancel.h"
#include "fail.h"
#include "partwise/progress.h"

namespace partwise {
namespace {

constexpr int64_t kFlushSlice = 8 << 20;
constexpr long kFuseMagic = 0x65735546;

std::atomic<int> injectedError{0};
std::atomic<int> injectedSkip{0};

// The injected failure, when it is due: a flush that failed with it.
bool Injected(int& err) {
    const int e = injectedError.load();
    if (e == 0) return false;
    if (injectedSkip.fetch_sub(1) > 0) return false;
    injectedError = 0;
    err = e;
    return true;
}

// fsync or fdatasync, retried on EINTR; with errno set on failure.
int Sync(int fd, bool dataOnly) {
    int err = 0;
    if (Injected(err)) {
        errno = err;
        return -1;
    }
    int r;
    do {
        r = dataOnly ? ::fdatasync(fd) : ::fsync(fd);
    } while (r != 0 && errno == EINTR);
    return r;
}

}  // namespace

void FailFlushForTesting(int err, int skip) {
    injectedSkip = skip;
    injectedError = err;
}

void Durability::StartWriteBack(int fd, int64_t offset, int64_t length) const {
    if (enabled_ && length > 0) ::sync_file_range(fd, offset, length, SYNC_FILE_RANGE_WRITE);
}

int Durability::WaitWriteBack(int fd, const std::string& path) const {
    if (!enabled_) return 0;
    int err = 0;
    if (Injected(err)) return Fail("cannot write to the disk", path, err);
    struct stat st {};
    if (::fstat(fd, &st) != 0) return Fail("cannot write", path, errno);
    constexpr unsigned kWait = SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER;
    for (int64_t at = 0; at < st.st_size; at += kFlushSlice) {
        if (CheckCancel() != 0) return -1;
        // Where it is not supported, the caller's fdatasync or syncfs waits.
        if (::sync_file_range(fd, at, kFlushSlice, kWait) != 0 && errno != EINTR) {
            if (errno == EINVAL || errno == ESPIPE || errno == ENOSYS) break;
            return Fail("cannot write to the disk", path, errno);
        }
    }
    return CheckCancel();
}

int Durability::FlushFile(int fd, const std::string& path) const {
    if (!enabled_) return 0;
    if (WaitWriteBack(fd, path) != 0) return -1;
    return Sync(fd, true) == 0 ? 0 : Fail("cannot write to the disk", path, errno);
}

int Durability::FlushBeforeName(int fd, int folderFd, const std::string& path) const {
    if (!enabled_) return 0;
    if (wholeFileSystem_) return FlushFileSystem(folderFd, path);
    return FlushFile(fd, path) != 0 ? -1 : FlushFolder(folderFd, path);
}

int Durability::FlushFolder(int fd, const std::string& path) const {
    if (!enabled_) return 0;
    if (Sync(fd, false) == 0 || errno == EINVAL) return 0;
    return Fail("cannot write to the disk", path, errno);
}

int Durability::FlushFileSystem(int fd, const std::string& path) const {
    if (!enabled_) return 0;
    if (CheckCancel() != 0) return -1;
    int err = 0;
    if (Injected(err) || ::syncfs(fd) != 0) return Fail("cannot write to the disk", path, err != 0 ? err : errno);
    return CheckCancel();
}

bool Durability::PerFile(int fd) {
    struct statfs fs {};
    return ::fstatfs(fd, &fs) == 0 && fs.f_type == kFuseMagic;
}

FlushPhase::FlushPhase() { Progress().flushing = true; }
FlushPhase::~FlushPhase() { Progress().flushing = false; }

}  // namespace partwise
