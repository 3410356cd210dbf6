#include "partwise/removal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string_view>

#include "checksum_file.h"
#include "descriptor_stream.h"
#include "durable.h"
#include "fail.h"
#include "folder_ops.h"
#include "meta_file.h"
#include "partwise/chunk_check.h"
#include "partwise/chunk_names.h"
#include "partwise/descriptor.h"
#include "partwise/errors.h"
#include "partwise/fsutil.h"
#include "paths.h"
#include "posix_file.h"
#include "walk.h"

namespace partwise {
namespace {

std::string Below(const std::string& root, const std::string& relative) {
    return relative.empty() ? root : root + "/" + relative;
}

// Whether folder is "" (the root), to itself, or one of the folders above it.
bool Holds(const std::string& folder, const std::string& relative) {
    return folder.empty() || relative == folder ||
           (relative.size() > folder.size() && relative.compare(0, folder.size(), folder) == 0 &&
            relative[folder.size()] == '/');
}

// Removes below a source folder opened once, one name at a time: a link
// swapped in for a folder of the source leads nowhere.
class FolderRemover {
public:
    FolderRemover(int rootFd, const std::string& root, SourceRemoval& removal)
        : rootFd_(rootFd), root_(root), removal_(removal) {}

    // Removes the file at relative. Folders the records have left behind are
    // removed on the way when they are empty: the records list a folder's
    // files together, so a folder left is not met again.
    void RemoveFile(const std::string& relative) {
        LeaveFoldersUpTo(ParentOf(relative));
        UniqueFd folder;
        const int r = OpenBelow(rootFd_, root_, ParentOf(relative), false, nullptr, folder);
        // A file whose folder is gone already is gone too.
        if ((r != 0 && errno == ENOENT) ||
            (r == 0 && (::unlinkat(folder.get(), NameOf(relative).c_str(), 0) == 0 || errno == ENOENT))) {
            ++removal_.filesRemoved;
            return;
        }
        if (removal_.filesNotRemoved++ == 0) {
            if (r == 0) Fail("cannot delete", Below(root_, relative), errno);
        }
        notRemoved_.push_back(relative);
    }

    // Notes a folder the set records, which goes, when empty, once the
    // folders that follow are not below it.
    void RecordedFolder(const std::string& relative) { LeaveFoldersUpTo(relative); }

    // Removes the folders still open when they are empty.
    void Finish() {
        LeaveFoldersUpTo(std::string());
        std::sort(notRemoved_.begin(), notRemoved_.end());
    }

    bool WasNotRemoved(const std::string& relative) const {
        return std::binary_search(notRemoved_.begin(), notRemoved_.end(), relative);
    }

private:
    void LeaveFoldersUpTo(const std::string& next) {
        // A folder that still holds something stays; so do its parents.
        while (!Holds(current_, next)) {
            UniqueFd parent;
            if (OpenBelow(rootFd_, root_, ParentOf(current_), false, nullptr, parent) == 0)
                ::unlinkat(parent.get(), NameOf(current_).c_str(), AT_REMOVEDIR);
            current_ = ParentOf(current_);
        }
        current_ = next;
    }

    int rootFd_;
    const std::string& root_;
    SourceRemoval& removal_;
    std::string current_;  // the folder of the last file removed
    // Only files that could not be deleted: few, as a rule.
    std::vector<std::string> notRemoved_;
};

// The first kKeptSampleSize names in byte order, and how many there were.
class KeptEntries {
public:
    explicit KeptEntries(SourceRemoval& removal) : removal_(removal) {}
    void Add(const std::string& relative) {
        ++removal_.keptCount;
        std::vector<std::string>& sample = removal_.keptSample;
        if (sample.size() == kKeptSampleSize && relative >= sample.back()) return;
        sample.insert(std::upper_bound(sample.begin(), sample.end(), relative), relative);
        if (sample.size() > kKeptSampleSize) sample.pop_back();
    }

private:
    SourceRemoval& removal_;
};

// Notes what is left below relative, open as folderFd, folder by folder;
// holds the names of the sub-folders of one folder at a time.
void NoteWhatIsLeft(int folderFd, const std::string& relative, const FolderRemover& remover, KeptEntries& kept) {
    std::vector<std::string> folders;
    bool empty = true;
    ListFolderNamesAt(folderFd, relative, [&](std::string_view name) {
        empty = false;
        const std::string entry = relative.empty() ? std::string(name) : relative + "/" + std::string(name);
        struct stat st {};
        if (::fstatat(folderFd, std::string(name).c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode))
            folders.emplace_back(name);
        else if (!remover.WasNotRemoved(entry))  // reported apart
            kept.Add(entry);
    });
    if (empty && !relative.empty()) kept.Add(relative);
    for (const std::string& folder : folders) {
        const UniqueFd sub = OpenFolderAt(folderFd, folder);
        if (sub.valid()) NoteWhatIsLeft(sub.get(), relative.empty() ? folder : relative + "/" + folder, remover, kept);
    }
}

// A set with its metadata file records every folder, empty ones too: they
// come back with a join, so they may go with the files. The file lists the
// folders in walk order, each before what it holds.
void RemoveRecordedFolders(const ChunkSetNames& names, FolderRemover& remover) {
    MetaFileReader meta;
    if (meta.Open(MetaFilePath(names.chunkFolder, names.stem)) != 1) return;
    MetaEntry entry;
    while (meta.Next(entry) > 0) {
        if (entry.kind == 'D' && entry.path != "." && IsSafeRelativePath(entry.path))
            remover.RecordedFolder(entry.path);
    }
}

int RemoveFolderSource(int parentFd, const std::string& root, const ChunkSetNames& names,
                       const DescriptorFile& descriptor, SourceRemoval& removal) {
    // The source as the user named it; below it, no link is followed.
    const UniqueFd rootFd = OpenFolder(root, true);
    if (!rootFd.valid()) return Fail("cannot delete", root, errno);
    FolderRemover remover(rootFd.get(), root, removal);
    FileRecordReader reader(descriptor);
    FileRecord record;
    std::string previous;
    int r = 0;
    // The pieces of one file are consecutive records.
    for (int64_t i = 0; (r = reader.Next(record)) > 0; ++i) {
        std::string relative = FieldText(record.relativePath, sizeof record.relativePath);
        if (relative == previous) continue;
        if (!FieldIsTerminated(record.relativePath, sizeof record.relativePath) || !IsSafeRelativePath(relative)) {
            r = Fail("refusing the unsafe path '" + relative + "' in file record " + std::to_string(i));
            break;
        }
        remover.RemoveFile(relative);
        previous = std::move(relative);
    }
    if (r == 0) RemoveRecordedFolders(names, remover);
    remover.Finish();
    if (::unlinkat(parentFd, GetLastPathComponent(root).c_str(), AT_REMOVEDIR) != 0) {
        KeptEntries kept(removal);
        NoteWhatIsLeft(rootFd.get(), std::string(), remover, kept);
    }
    return r < 0 || removal.filesNotRemoved > 0 ? -1 : 0;
}

}  // namespace

int RemoveSplitSource(const SplitJob& job, SourceRemoval& removal) {
    removal = SourceRemoval();
    if (!FieldIsTerminated(job.sourcePath, sizeof job.sourcePath) ||
        !FieldIsTerminated(job.outputFolder, sizeof job.outputFolder))
        return Fail("the split job holds a text without its terminating NUL");
    const std::string source = WithoutTrailingSlashes(job.sourcePath);
    const ChunkSetNames names = DeriveChunkSetNames(source, job.outputFolder);
    ChunkSetSummary summary;
    if (InspectChunkSet(names.chunkFolder, summary, nullptr) != 0 || !summary.sound() ||
        summary.sourceName != names.sourceName || summary.totalSize != job.totalSize)
        return Fail("the chunk set in '" + names.chunkFolder + "' did not pass its check; '" + source +
                    "' was not deleted");
    struct stat st {};
    if (::stat(source.c_str(), &st) != 0) return Fail("cannot delete", source, errno);
    DescriptorFile descriptor;
    if (ReadDescriptorHeaderOnly(names.chunkFolder, descriptor) != 0) return -1;
    // A folder's set lists its files; a file's set lists none.
    if (S_ISDIR(st.st_mode) != (GetFileRecordCount() > 0))
        return Fail("the chunk set in '" + names.chunkFolder + "' is not the set of '" + source + "'");
    removal.setIsSound = true;
    // The only other copy goes only once the new one is on the disk: a split
    // that skipped its flush is flushed now.
    if (job.skipFlush == 1) {
        const UniqueFd chunkDir = OpenFolder(names.chunkFolder, false);
        if (!chunkDir.valid() || Durability().FlushFileSystem(chunkDir.get(), names.chunkFolder) != 0)
            return Fail("the chunk set in '" + names.chunkFolder + "' may not be on the disk yet; '" + source +
                        "' was not deleted");
    }
    const std::size_t slash = source.rfind('/');
    const std::string parent = slash == std::string::npos ? "." : slash == 0 ? "/" : source.substr(0, slash);
    const UniqueFd parentFd = OpenFolder(parent, true);
    if (!parentFd.valid()) return Fail("cannot delete", source, errno);
    if (S_ISDIR(st.st_mode)) return RemoveFolderSource(parentFd.get(), source, names, descriptor, removal);
    if (::unlinkat(parentFd.get(), GetLastPathComponent(source).c_str(), 0) != 0) {
        removal.filesNotRemoved = 1;
        return Fail("cannot delete", source, errno);
    }
    removal.filesRemoved = 1;
    return 0;
}

int64_t RemoveChunkSetFiles(const std::string& chunkFolder, const std::string& stem,
                            const std::vector<int32_t>& chunkIndexes, const std::vector<std::string>& otherNames) {
    ClearLastError();
    const UniqueFd folder = OpenFolder(chunkFolder, true);
    if (!folder.valid()) return Fail("cannot open the chunk folder", chunkFolder, errno);
    if (LockFolder(folder.get(), true, chunkFolder, "split") != 0) return -1;
    int64_t kept = 0;
    const auto remove = [&](const std::string& name) {
        if (::unlinkat(folder.get(), name.c_str(), 0) == 0 || errno == ENOENT) return;
        if (kept++ == 0) Fail("cannot delete", chunkFolder + "/" + name, errno);
    };
    for (const int32_t index : chunkIndexes) remove(ChunkFileName(stem, index));
    for (const std::string& name : otherNames) remove(name);
    return kept;
}

}  // namespace partwise
