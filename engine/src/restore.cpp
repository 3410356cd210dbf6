#include "restore.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <utility>

#include "fail.h"
#include "posix_file.h"

namespace partwise {
namespace {

// A file system that keeps no modes or times (FAT, some network shares)
// refuses to set them; the bytes are what counts there.
bool CannotKeep(int err) { return err == EPERM || err == EOPNOTSUPP || err == ENOTSUP; }

int SetModeAndTime(int fd, const MetaEntry& entry, const std::string& path) {
    if (::fchmod(fd, static_cast<mode_t>(entry.mode & 0777)) != 0 && !CannotKeep(errno))
        return Fail("cannot set the permissions of", path, errno);
    const struct timespec times[2] = {{0, UTIME_OMIT},
                                      {static_cast<time_t>(entry.seconds), static_cast<long>(entry.nanoseconds)}};
    if (::futimens(fd, times) != 0 && !CannotKeep(errno))
        return Fail("cannot set the modification time of", path, errno);
    return 0;
}

}  // namespace

int MetaRestore::Open(const std::string& chunkFolder, const std::string& stem, const std::string& root,
                      CheckFolder checkFolder) {
    root_ = root;
    checkFolder_ = std::move(checkFolder);
    const int r = reader_.Open(MetaFilePath(chunkFolder, stem));
    if (r < 0) return -1;
    present_ = r > 0;
    start_ = reader_.position();
    return 0;
}

int MetaRestore::Refuse(const std::string& what) const {
    return Fail("refusing the metadata file '" + reader_.path() + "': it " + what);
}

int MetaRestore::CheckSingleFile() {
    if (!present_) return 0;
    MetaEntry entry;
    int r = reader_.Next(entry);
    if (r < 0) return -1;
    if (r == 0 || entry.kind != 'F' || entry.path != ".") return Refuse("does not describe one file");
    file_ = std::move(entry);
    r = reader_.Next(entry);
    if (r < 0) return -1;
    return r == 0 ? 0 : Refuse("lists more than the one file of the chunk set");
}

int MetaRestore::Step(const std::string* relative, bool create) {
    MetaEntry entry;
    for (;;) {
        const int64_t at = reader_.position();
        const int r = reader_.Next(entry);
        if (r < 0) return -1;
        if (r == 0) return relative ? Refuse("does not list the file '" + *relative + "'") : 0;
        if (entry.kind == 'F') {
            if (!relative) return Refuse("lists the file '" + entry.path + "', which the chunk set does not list");
            if (entry.path != *relative)
                return Refuse("lists the file '" + entry.path + "' where the chunk set lists '" + *relative + "'");
            file_ = std::move(entry);
            return 0;
        }
        const std::string folder = entry.path == "." ? std::string() : entry.path;
        if (!folder.empty() && checkFolder_(folder) != 0) return -1;
        if (create) {
            if (createFolder_(folder) != 0) return -1;
            folders_.push_back(at);
        }
    }
}

int MetaRestore::CheckFile(const std::string& relative) { return present_ ? Step(&relative, false) : 0; }

int MetaRestore::CheckEnd() { return present_ ? Step(nullptr, false) : 0; }

void MetaRestore::Rewind() {
    reader_.Seek(start_);
    folders_.clear();
}

int MetaRestore::BeforeFile(const std::string& relative) { return present_ ? Step(&relative, true) : 0; }

int MetaRestore::ApplyToFile(int fd, const std::string& path) const {
    return present_ ? SetModeAndTime(fd, file_, path) : 0;
}

int MetaRestore::ApplyToFolder(const MetaEntry& entry) const {
    const bool isRoot = entry.path == ".";
    const int fd = openFolder_(isRoot ? std::string() : entry.path);
    if (fd < 0) return -1;
    return SetModeAndTime(fd, entry, isRoot ? root_ : root_ + "/" + entry.path);
}

int MetaRestore::Finish() {
    if (!present_ || Step(nullptr, true) != 0) return present_ ? -1 : 0;
    MetaEntry entry;
    for (auto at = folders_.rbegin(); at != folders_.rend(); ++at) {
        reader_.Seek(*at);
        // Read again: the file is checked as it is read, each time.
        if (reader_.Next(entry) != 1 || entry.kind != 'D') return Refuse("changed while the chunk set was joined");
        if (entry.path != "." && checkFolder_(entry.path) != 0) return -1;
        if (ApplyToFolder(entry) != 0) return -1;
    }
    return 0;
}

}  // namespace partwise
