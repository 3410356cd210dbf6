#include "partwise/fsutil.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
#include <thread>

#include "fail.h"
#include "file_identity.h"
#include "walk.h"

namespace partwise {

int GetPathType(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return -1;
    return S_ISDIR(st.st_mode) ? 1 : 0;
}

int64_t GetFileSize64(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        Fail("cannot read the size of", path, errno);
        return -1;
    }
    return st.st_size;
}

namespace {

class DirHandle {
public:
    explicit DirHandle(const std::string& path) : dir_(::opendir(path.c_str())) {}
    ~DirHandle() {
        if (dir_) ::closedir(dir_);
    }
    DirHandle(const DirHandle&) = delete;
    DirHandle& operator=(const DirHandle&) = delete;
    DIR* get() const { return dir_; }

private:
    DIR* dir_;
};

}  // namespace

FolderWalker::FolderWalker(const std::string& folder, bool recurse, bool measure, std::size_t batchSize)
    : recurse_(recurse), measure_(measure), batchSize_(std::max<std::size_t>(batchSize, 1)) {
    Enter(folder);
}

namespace {
std::string_view NameOf(const std::string& typeAndName) { return std::string_view(typeAndName).substr(1); }
bool NameLess(const std::string& a, const std::string& b) { return NameOf(a) < NameOf(b); }
}  // namespace

void FolderWalker::Enter(const std::string& path) {
    Level level;
    level.path = path;
    Fill(level);
    if (!level.batch.empty()) stack_.push_back(std::move(level));
}

void FolderWalker::Fill(Level& level) {
    const std::string after = level.batch.empty() ? std::string() : std::string(NameOf(level.batch.back()));
    const bool first = level.batch.empty();
    level.batch.clear();
    level.next = 0;
    level.last = true;
    DirHandle dir(level.path);
    if (!dir.get()) {
        failed_ = true;
        Fail("cannot list folder", level.path, errno);
        return;
    }
    // The batch is a max-heap while listing: its largest name goes when a
    // smaller one comes and the batch is full.
    std::vector<std::string>& batch = level.batch;
    errno = 0;
    while (struct dirent* entry = ::readdir(dir.get())) {
        const std::string_view name = entry->d_name;
        if (name == "." || name == ".." || (!first && name <= after)) {
            errno = 0;
            continue;
        }
        if (batch.size() == batchSize_) {
            level.last = false;
            if (name >= NameOf(batch.front())) {
                errno = 0;
                continue;
            }
            std::pop_heap(batch.begin(), batch.end(), NameLess);
            batch.pop_back();
        }
        std::string typeAndName(1, static_cast<char>(entry->d_type));
        typeAndName.append(name);
        batch.push_back(std::move(typeAndName));
        std::push_heap(batch.begin(), batch.end(), NameLess);
        errno = 0;
    }
    if (errno != 0) {
        failed_ = true;
        Fail("cannot list folder", level.path, errno);
        level.last = true;
    }
    std::sort_heap(batch.begin(), batch.end(), NameLess);
}

bool FolderWalker::EnterFolder(std::string path, WalkEntry& entry) {
    if (!recurse_) return false;
    Enter(path);  // invalidates the levels
    if (!folders_) return false;
    entry = WalkEntry{std::move(path), 0, FileIdentity{}, true};
    return true;
}

namespace {
std::optional<PassedOverKind> SpecialKind(mode_t mode) {
    if (S_ISFIFO(mode)) return PassedOverKind::Fifo;
    if (S_ISSOCK(mode)) return PassedOverKind::Socket;
    if (S_ISCHR(mode) || S_ISBLK(mode)) return PassedOverKind::Device;
    return std::nullopt;
}
}  // namespace

bool FolderWalker::Next(WalkEntry& entry) {
    while (!stack_.empty()) {
        Level& level = stack_.back();
        if (level.next == level.batch.size()) {
            if (level.last)
                stack_.pop_back();
            else
                Fill(level);
            continue;
        }
        const std::string& typeAndName = level.batch[level.next++];
        const auto type = static_cast<unsigned char>(typeAndName[0]);
        std::string path = level.path + "/";
        path += NameOf(typeAndName);
        // The listing gives each entry's kind, so only links, entries of an
        // unknown kind and, when measuring, files need an lstat.
        if (type == DT_DIR) {
            if (EnterFolder(std::move(path), entry)) return true;
            continue;
        }
        if (type == DT_REG && !measure_) {
            entry = WalkEntry{std::move(path), -1, FileIdentity{}};
            return true;
        }
        if (type == DT_FIFO || type == DT_SOCK || type == DT_CHR || type == DT_BLK) {
            PassOver(path, type == DT_FIFO   ? PassedOverKind::Fifo
                           : type == DT_SOCK ? PassedOverKind::Socket
                                             : PassedOverKind::Device);
            continue;
        }
        if (type != DT_REG && type != DT_LNK && type != DT_UNKNOWN) continue;
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0) {
            failed_ = true;
            Fail("cannot read", path, errno);
            continue;
        }
        if (S_ISDIR(st.st_mode)) {
            if (EnterFolder(std::move(path), entry)) return true;
            continue;
        }
        const bool link = S_ISLNK(st.st_mode);
        if (link && ::stat(path.c_str(), &st) != 0) {
            PassOver(path, PassedOverKind::DanglingLink);
            continue;
        }
        if (S_ISDIR(st.st_mode)) {
            PassOver(path, PassedOverKind::LinkToFolder);
            continue;
        }
        if (!S_ISREG(st.st_mode)) {
            if (auto kind = SpecialKind(st.st_mode)) PassOver(path, *kind);
            continue;
        }
        entry = WalkEntry{std::move(path), st.st_size, IdentityOf(st)};
        return true;
    }
    return false;
}

int ListFolderNames(const std::string& folder, const std::function<void(std::string_view)>& visit) {
    DirHandle dir(folder);
    if (!dir.get()) return Fail("cannot list folder", folder, errno);
    errno = 0;
    while (struct dirent* entry = ::readdir(dir.get())) {
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..") visit(name);
        errno = 0;
    }
    return errno == 0 ? 0 : Fail("cannot list folder", folder, errno);
}

int WalkFolder(const std::string& folder, bool recurse, std::vector<WalkEntry>& out) {
    FolderWalker walker(folder, recurse);
    WalkEntry entry;
    while (walker.Next(entry)) out.push_back(std::move(entry));
    return walker.failed() ? -1 : 0;
}

int64_t GetFolderSize(const std::string& folder) {
    // Only the top folder's own failure makes the size unknown; a sub-folder
    // that cannot be listed adds nothing.
    if (DirHandle(folder).get() == nullptr) return Fail("cannot list folder", folder, errno);
    FolderWalker walker(folder, true);
    WalkEntry entry;
    int64_t total = 0;
    while (walker.Next(entry)) total += entry.size;
    return total;
}

int64_t GetPathSize(const std::string& path) {
    switch (GetPathType(path)) {
        case 0:
            return GetFileSize64(path);
        case 1:
            return GetFolderSize(path);
        default:
            return Fail("cannot find", path, ENOENT);
    }
}

int ListFolderFiles(const std::string& folder, std::vector<std::string>& list, int recurse) {
    std::vector<WalkEntry> entries;
    int result = WalkFolder(folder, recurse == 1, entries);
    for (WalkEntry& entry : entries) list.push_back(std::move(entry.path));
    return result;
}

std::string GetListEntry(const std::vector<std::string>& list, int index) {
    if (index < 0 || static_cast<std::size_t>(index) >= list.size()) return std::string();
    return list[static_cast<std::size_t>(index)];
}

std::string GetLastPathComponent(const std::string& path) {
    for (std::size_t i = path.size(); i-- > 1;) {
        if (path[i] == '/' || path[i] == '\\') return path.substr(i + 1);
    }
    return std::string();
}

void StripExtension(std::string& name) {
    std::size_t dot = name.find('.');
    if (dot != std::string::npos) name.erase(dot);
}

int CreateFolder(const std::string& path) {
    if (::mkdir(path.c_str(), 0777) == 0) return 0;
    int err = errno;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return 0;
    return Fail("cannot create folder", path, err == EEXIST ? ENOTDIR : err);
}

int CreateParentFolders(const std::string& path) {
    for (std::size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        if (slash == 0) continue;  // the root
        if (CreateFolder(path.substr(0, slash + 1)) != 0) return -1;
    }
    return 0;
}

void SleepMs(int milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

}  // namespace partwise
