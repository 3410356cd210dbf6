#include "folder_ops.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <vector>

#include "fail.h"

namespace partwise {
namespace {

std::atomic<unsigned long> g_temporaryCounter{0};
std::mutex g_hookMutex;
std::function<void(std::string_view)> g_stepHook;
std::atomic<bool> g_hookSet{false};

// No locks here (some network file systems): the job goes on without.
bool LocksUnavailable(int err) { return err == ENOLCK || err == EOPNOTSUPP || err == ENOSYS; }

bool AllDigits(std::string_view text) {
    if (text.empty()) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

// Creates a temporary entry with make (a file or a folder), then locks it. A
// sweep may have taken it between the two: then the name no longer leads to
// what was locked, and another name is tried.
template <typename Make>
int CreateLocked(int folderFd, const std::string& shownFolder, UniqueFd& fd, std::string& name, const Make& make) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = NextTemporaryName();
        fd = make(name);
        if (!fd.valid()) {
            if (errno == EEXIST) continue;
            break;
        }
        if (::flock(fd.get(), LOCK_EX) != 0 && !LocksUnavailable(errno)) break;
        struct stat held {
        }, named{};
        if (::fstat(fd.get(), &held) == 0 && ::fstatat(folderFd, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
            held.st_dev == named.st_dev && held.st_ino == named.st_ino)
            return 0;
        fd = UniqueFd();
    }
    const int err = errno;
    fd = UniqueFd();
    name.clear();
    return Fail("cannot create a temporary file in", shownFolder, err);
}

// Opens a temporary entry and tries its lock: an entry whose lock is free is
// a dead job's. Valid only then, holding the lock.
UniqueFd OpenIfUnlocked(int folderFd, const char* name, int lock) {
    UniqueFd fd(::openat(folderFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid() || ::flock(fd.get(), lock | LOCK_NB) != 0) return UniqueFd();
    return fd;
}

std::vector<std::string> TemporaryNames(int folderFd) {
    std::vector<std::string> names;
    ListFolderNamesAt(folderFd, std::string(), [&names](std::string_view name) {
        if (IsTemporaryName(name)) names.emplace_back(name);
    });
    return names;
}

}  // namespace

UniqueFd OpenFolderAt(int parentFd, const std::string& name) {
    return UniqueFd(::openat(parentFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

int OpenBelow(int rootFd, const std::string& rootPath, const std::string& relative, bool create,
              const std::function<void(const std::string&)>& made, UniqueFd& folder) {
    folder = UniqueFd(::openat(rootFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder.valid()) return Fail("cannot open the folder", rootPath, errno);
    std::string path = rootPath;
    for (std::size_t start = 0; start < relative.size();) {
        std::size_t end = relative.find('/', start);
        if (end == std::string::npos) end = relative.size();
        const std::string part = relative.substr(start, end - start);
        path += "/" + part;
        UniqueFd next = OpenFolderAt(folder.get(), part);
        if (!next.valid() && errno == ENOENT && create) {
            if (::mkdirat(folder.get(), part.c_str(), 0777) == 0) {
                if (made) made(relative.substr(0, end));
            } else if (errno != EEXIST) {
                return Fail("cannot create folder", path, errno);
            }
            next = OpenFolderAt(folder.get(), part);
        }
        if (!next.valid()) {
            if (errno == ELOOP || errno == ENOTDIR) return Fail("cannot go into '" + path + "': it is not a folder");
            return Fail("cannot open the folder", path, errno);
        }
        folder = std::move(next);
        start = end + 1;
    }
    return 0;
}

int ListFolderNamesAt(int folderFd, const std::string& shownPath, const std::function<void(std::string_view)>& visit) {
    // A description of its own, so that the folder's own position is left alone.
    const int fd = ::openat(folderFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = fd < 0 ? nullptr : ::fdopendir(fd);
    if (dir == nullptr) {
        const int err = errno;
        if (fd >= 0) ::close(fd);
        return Fail("cannot list folder", shownPath, err);
    }
    errno = 0;
    while (struct dirent* entry = ::readdir(dir)) {
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..") visit(name);
        errno = 0;
    }
    const int err = errno;
    ::closedir(dir);
    return err == 0 ? 0 : Fail("cannot list folder", shownPath, err);
}

int LockFolder(int folderFd, bool exclusive, const std::string& shownPath, const std::string& writer) {
    if (::flock(folderFd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0 || LocksUnavailable(errno)) return 0;
    if (errno != EWOULDBLOCK) return Fail("cannot lock", shownPath, errno);
    // Only readers hold it when a shared lock can still be had.
    if (exclusive && ::flock(folderFd, LOCK_SH | LOCK_NB) == 0) {
        ::flock(folderFd, LOCK_UN);
        return Fail("'" + shownPath + "' is being read by another job");
    }
    return Fail("'" + shownPath + "' is being written by another " + writer);
}

std::string NextTemporaryName() {
    return ".partwise-" + std::to_string(::getpid()) + "-" + std::to_string(g_temporaryCounter++) + ".tmp";
}

int CloseAfterPlacing(UniqueFd& fd, int folderFd, const std::string& name, const std::string& path) {
    if (fd.Close() == 0) return 0;
    const int err = errno;
    ::unlinkat(folderFd, name.c_str(), 0);
    return Fail("cannot write", path, err);
}

bool IsTemporaryName(std::string_view name) {
    constexpr std::string_view kPrefix = ".partwise-", kSuffix = ".tmp";
    if (name.size() <= kPrefix.size() + kSuffix.size() || name.substr(0, kPrefix.size()) != kPrefix ||
        name.substr(name.size() - kSuffix.size()) != kSuffix)
        return false;
    const std::string_view middle = name.substr(kPrefix.size(), name.size() - kPrefix.size() - kSuffix.size());
    const std::size_t dash = middle.find('-');
    return dash != std::string_view::npos && AllDigits(middle.substr(0, dash)) && AllDigits(middle.substr(dash + 1));
}

int CreateTemporaryAt(int folderFd, const std::string& shownFolder, UniqueFd& fd, std::string& name) {
    return CreateLocked(folderFd, shownFolder, fd, name, [folderFd](const std::string& candidate) {
        return UniqueFd(
            ::openat(folderFd, candidate.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    });
}

int CreateTemporaryFolderAt(int folderFd, const std::string& shownFolder, UniqueFd& fd, std::string& name) {
    return CreateLocked(folderFd, shownFolder, fd, name, [folderFd](const std::string& candidate) {
        if (::mkdirat(folderFd, candidate.c_str(), 0777) != 0) return UniqueFd();
        return OpenFolderAt(folderFd, candidate);
    });
}

void SweepTemporaries(int folderFd) {
    for (const std::string& name : TemporaryNames(folderFd)) {
        UniqueFd held = OpenIfUnlocked(folderFd, name.c_str(), LOCK_EX);
        if (held.valid()) RemoveTreeAt(folderFd, name);
    }
}

bool HoldsDeadTemporary(int folderFd) {
    for (const std::string& name : TemporaryNames(folderFd))
        if (OpenIfUnlocked(folderFd, name.c_str(), LOCK_SH).valid()) return true;
    return false;
}

int RemoveTreeAt(int folderFd, const std::string& name) {
    if (::unlinkat(folderFd, name.c_str(), 0) == 0) return 0;
    if (errno != EISDIR && errno != EPERM) return -1;
    UniqueFd sub = OpenFolderAt(folderFd, name);
    if (!sub.valid()) return -1;
    std::vector<std::string> names;
    if (ListFolderNamesAt(sub.get(), name, [&names](std::string_view entry) { names.emplace_back(entry); }) != 0)
        return -1;
    for (const std::string& entry : names)
        if (RemoveTreeAt(sub.get(), entry) != 0 && errno != ENOENT) return -1;
    return ::unlinkat(folderFd, name.c_str(), AT_REMOVEDIR);
}

int PlaceWithoutReplacing(int fromFd, const std::string& from, int toFd, const std::string& to) {
    if (::renameat2(fromFd, from.c_str(), toFd, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    // FUSE and NFS answer EINVAL: a hard link refuses an existing name too.
    if (errno != EINVAL && errno != ENOSYS) return -1;
    if (::linkat(fromFd, from.c_str(), toFd, to.c_str(), 0) == 0) {
        ::unlinkat(fromFd, from.c_str(), 0);
        return 0;
    }
    // Nor hard links (exFAT through FUSE): a look just before the rename is
    // the best left.
    if (errno != EPERM && errno != EOPNOTSUPP && errno != EMLINK) return -1;
    struct stat st {};
    if (::fstatat(toFd, to.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        errno = EEXIST;
        return -1;
    }
    return errno == ENOENT ? ::renameat(fromFd, from.c_str(), toFd, to.c_str()) : -1;
}

void IgnoreFileSizeSignal() {
    static std::once_flag once;
    std::call_once(once, [] { ::signal(SIGXFSZ, SIG_IGN); });
}

void SetStepHook(std::function<void(std::string_view step)> hook) {
    std::lock_guard lock(g_hookMutex);
    g_hookSet = static_cast<bool>(hook);
    g_stepHook = std::move(hook);
}

void AtStep(std::string_view step) {
    if (!g_hookSet) return;
    std::function<void(std::string_view)> hook;
    {
        std::lock_guard lock(g_hookMutex);
        hook = g_stepHook;
    }
    if (hook) hook(step);
}

}  // namespace partwise
