#include "partwise/joiner.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <string_view>
#include <vector>

#include "file_io.h"
#include "partwise/descriptor.h"
#include "partwise/errors.h"
#include "partwise/fsutil.h"
#include "partwise/progress.h"
#include "partwise/splitter.h"

namespace partwise {
namespace {


// An output file under a temporary name in its destination folder; removed
// unless Commit renamed it into place.
class TemporaryFile {
public:
    int Create(const std::string& folder) {
        static std::atomic<unsigned> counter{0};
        for (int attempt = 0; attempt < 100; ++attempt) {
            path_ = folder + "/.partwise-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + ".tmp";
            fd_ = UniqueFd(::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
            if (fd_.valid()) return 0;
            if (errno != EEXIST) break;
        }
        int err = errno;
        path_.clear();
        return Fail("cannot create a file in", folder, err);
    }

    int Commit(const std::string& finalPath) {
        if (fd_.Close() != 0) return Fail("cannot write", finalPath, errno);
        if (::rename(path_.c_str(), finalPath.c_str()) != 0) return Fail("cannot create", finalPath, errno);
        path_.clear();
        return 0;
    }

    ~TemporaryFile() {
        fd_ = UniqueFd();
        if (!path_.empty()) ::unlink(path_.c_str());
    }

    int fd() const { return fd_.get(); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
    UniqueFd fd_;
};

struct JoinRun {
    std::string chunkFolder;
    std::string outputFolder;
    std::string sourceName;
    std::string stem;
    std::vector<std::string> fingerprints;  // by chunk index; "" when none was recorded
    FileIdentitySet inputs;                 // the chunks and the descriptor: never replaced
    // By chunk index: the size a chunk must have, -1 for any size; after
    // VerifyChunks, the size it has. A folder join leaves unneeded chunks at -1.
    std::vector<int64_t> chunkSizes;
    RangeCopier copier;
};

std::string ChunkPath(const JoinRun& run, int32_t index) { return ChunkFilePath(run.chunkFolder, run.stem, index); }

// Opens chunk index and checks its size when one is expected.
int OpenChunk(const JoinRun& run, int32_t index, int64_t expectedSize, UniqueFd& fd, int64_t& size) {
    const std::string path = ChunkPath(run, index);
    fd = OpenForReading(path);
    if (!fd.valid()) return Fail("cannot open chunk", path, errno);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return Fail("cannot read chunk", path, errno);
    if (!S_ISREG(st.st_mode)) return Fail("chunk '" + path + "' is not a regular file");
    size = st.st_size;
    if (expectedSize >= 0 && size != expectedSize)
        return Fail("chunk '" + path + "' holds " + std::to_string(size) + " bytes, the chunk set expects " +
                    std::to_string(expectedSize));
    return 0;
}

// Before anything is written: every chunk the join needs is there, readable,
// of the expected size, and still matches the fingerprint recorded at split
// time. A folder join passes over the chunks none of its records needs.
int VerifyChunks(JoinRun& run, bool everyChunk) {
    for (std::size_t i = 0; i < run.chunkSizes.size(); ++i) {
        if (!everyChunk && run.chunkSizes[i] < 0) continue;
        UniqueFd fd;
        const int32_t index = static_cast<int32_t>(i);
        if (OpenChunk(run, index, run.chunkSizes[i], fd, run.chunkSizes[i]) != 0) return -1;
        const std::string& recorded = run.fingerprints[i];
        if (!recorded.empty() && FingerprintOpenFile(fd.get()) != recorded)
            return Fail("chunk '" + ChunkPath(run, index) + "' is not the chunk that was split (its fingerprint differs)");
    }
    return 0;
}

// The last step of every output file: refuse to replace one of the join's
// own inputs, then rename the finished file into place.
int PlaceOutput(const JoinRun& run, TemporaryFile& file, const std::string& finalPath) {
    struct stat st {};
    if (::lstat(finalPath.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return Fail("cannot replace the folder '" + finalPath + "' with a file");
        if (run.inputs.Contains(IdentityOf(st)))
            return Fail("refusing to replace '" + finalPath + "': it is part of the chunk set being joined");
    }
    return file.Commit(finalPath);
}

int JoinSingleFile(JoinRun& run) {
    const std::string finalPath = run.outputFolder + "/" + run.sourceName;
    run.chunkSizes.assign(run.fingerprints.size(), -1);
    if (CheckPathLength(finalPath) != 0 || VerifyChunks(run, true) != 0) return -1;
    int64_t total = 0;
    for (int64_t size : run.chunkSizes) total += size;
    if (total != GetTotalSize())
        return Fail("the chunks in '" + run.chunkFolder + "' hold " + std::to_string(total) +
                    " bytes, the chunk set records " + std::to_string(GetTotalSize()));
    TemporaryFile out;
    if (out.Create(run.outputFolder) != 0) return -1;
    for (int32_t i = 0; i < static_cast<int32_t>(run.chunkSizes.size()); ++i) {
        UniqueFd chunk;
        int64_t size = 0;
        const int64_t expected = run.chunkSizes[static_cast<std::size_t>(i)];
        if (OpenChunk(run, i, expected, chunk, size) != 0) return -1;
        int64_t n = run.copier.Copy(chunk.get(), ChunkPath(run, i), 0, out.fd(), finalPath, size);
        if (n < 0) return -1;
        if (n != size) return Fail("chunk '" + ChunkPath(run, i) + "' changed while it was read");
    }
    return PlaceOutput(run, out, finalPath);
}

// Only plain names joined by single slashes: no "..", and no empty or "."
// parts, which would let one file be listed under two spellings.
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

// Creates the folders from root down to the file's folder. A folder already
// there must be a real folder: a symbolic link could lead the join outside.
int CreateFoldersBelow(const std::string& root, const std::string& relativeFolder) {
    std::string path = root;
    std::size_t start = 0;
    for (;;) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) == 0) {
            if (!S_ISDIR(st.st_mode)) return Fail("cannot join into '" + path + "': it is not a folder");
        } else if (CreateFolder(path) != 0) {
            return -1;
        }
        if (start >= relativeFolder.size()) return 0;
        std::size_t end = relativeFolder.find('/', start);
        if (end == std::string::npos) end = relativeFolder.size();
        if (end > start) path += "/" + relativeFolder.substr(start, end - start);
        start = end + 1;
    }
}

struct FilePlan {
    std::string relativePath;
    std::size_t first = 0;  // its records are [first, last)
    std::size_t last = 0;
};

// Checks every record before anything is written; groups them by file.
int PlanFolder(JoinRun& run, const std::vector<const FileRecord*>& records, const std::string& root,
               std::vector<FilePlan>& files) {
    const std::size_t chunkCount = run.fingerprints.size();
    std::vector<int64_t>& chunkSizes = run.chunkSizes;
    chunkSizes.assign(chunkCount, -1);
    int64_t total = 0;
    std::vector<std::string> seen;
    for (std::size_t i = 0; i < records.size(); ++i) {
        const FileRecord& record = *records[i];
        if (!FieldIsTerminated(record.relativePath, sizeof record.relativePath))
            return Fail("file record " + std::to_string(i) + " has an unterminated name");
        std::string relative = FieldText(record.relativePath, sizeof record.relativePath);
        if (!IsSafeRelativePath(relative))
            return Fail("refusing the unsafe path '" + relative + "' in file record " + std::to_string(i));
        const int64_t offset = record.offsetInChunk, length = record.length;
        if (offset < 0 || length < 0 || offset > INT64_MAX - length)
            return Fail("file record " + std::to_string(i) + " has an impossible offset or length");
        if (length > 0) {
            if (record.chunkIndex < 0 || static_cast<std::size_t>(record.chunkIndex) >= chunkCount)
                return Fail("file record " + std::to_string(i) + " names chunk " + std::to_string(record.chunkIndex) +
                            ", which the chunk set does not have");
            int64_t& size = chunkSizes[static_cast<std::size_t>(record.chunkIndex)];
            size = std::max(size, offset + length);
        }
        if (total > INT64_MAX - length) return Fail("the file records add up to an impossible size");
        total += length;
        if (files.empty() || files.back().relativePath != relative) {
            if (CheckPathLength(root + "/" + relative) != 0) return -1;
            files.push_back(FilePlan{relative, i, i + 1});
            seen.push_back(std::move(relative));
        } else {
            files.back().last = i + 1;
        }
    }
    std::sort(seen.begin(), seen.end());
    if (auto twice = std::adjacent_find(seen.begin(), seen.end()); twice != seen.end())
        return Fail("the chunk set lists the file '" + *twice + "' twice");
    if (total != GetTotalSize())
        return Fail("the file records add up to " + std::to_string(total) + " bytes, the chunk set records " +
                    std::to_string(GetTotalSize()));
    return 0;
}

int JoinFolder(JoinRun& run) {
    const std::string root = run.outputFolder + "/" + run.sourceName;
    std::vector<const FileRecord*> records;
    CopyFileRecords(records);
    std::vector<FilePlan> files;
    if (CheckPathLength(root) != 0 || PlanFolder(run, records, root, files) != 0 || VerifyChunks(run, false) != 0)
        return -1;

    int32_t openIndex = -1;
    UniqueFd chunk;
    for (const FilePlan& file : files) {
        const std::size_t slash = file.relativePath.rfind('/');
        const std::string relativeFolder = slash == std::string::npos ? "" : file.relativePath.substr(0, slash);
        const std::string finalPath = root + "/" + file.relativePath;
        if (CreateFoldersBelow(root, relativeFolder) != 0) return -1;
        TemporaryFile out;
        if (out.Create(finalPath.substr(0, finalPath.rfind('/'))) != 0) return -1;
        for (std::size_t r = file.first; r < file.last; ++r) {
            const FileRecord& record = *records[r];
            if (record.length == 0) continue;
            if (record.chunkIndex != openIndex) {
                int64_t size = 0;
                const std::size_t index = static_cast<std::size_t>(record.chunkIndex);
                if (OpenChunk(run, record.chunkIndex, run.chunkSizes[index], chunk, size) != 0) return -1;
                openIndex = record.chunkIndex;
            }
            const std::string chunkPath = ChunkPath(run, openIndex);
            int64_t n = run.copier.Copy(chunk.get(), chunkPath, record.offsetInChunk, out.fd(), finalPath, record.length);
            if (n < 0) return -1;
            if (n != record.length) return Fail("chunk '" + chunkPath + "' changed while it was read");
        }
        if (PlaceOutput(run, out, finalPath) != 0) return -1;
    }
    return 0;
}

// Everything the descriptor says is checked here, before anything is written.
int PrepareJoin(JoinRun& run) {
    const std::string descriptorPath = BuildDescriptorPath(run.chunkFolder);
    if (DescriptorIsTruncated()) return Fail("the chunk set descriptor '" + descriptorPath + "' is cut short");
    const DescriptorHeader& header = Descriptor().header;
    if (!FieldIsTerminated(header.sourceName, sizeof header.sourceName))
        return Fail("the chunk set descriptor '" + descriptorPath + "' has an unterminated name");
    run.sourceName = GetSourceName();
    if (run.sourceName.empty() || run.sourceName == "." || run.sourceName == ".." ||
        run.sourceName.find('/') != std::string::npos)
        return Fail("refusing the unsafe name '" + run.sourceName + "' in '" + descriptorPath + "'");
    if (header.chunkCount < 0 || header.fileRecordCount < 0 || header.totalSize < 0)
        return Fail("the chunk set descriptor '" + descriptorPath + "' holds negative counts");
    run.stem = run.sourceName;
    StripExtension(run.stem);

    std::vector<const ChunkRecord*> chunks;
    CopyChunkRecords(chunks);
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        if (chunks[i]->chunkIndex != static_cast<int32_t>(i))
            return Fail("the chunk set descriptor '" + descriptorPath + "' lists its chunks out of order");
        run.fingerprints.push_back(FieldText(chunks[i]->fingerprint, 32));
        struct stat st {};
        if (::stat(ChunkPath(run, static_cast<int32_t>(i)).c_str(), &st) == 0) run.inputs.Add(IdentityOf(st));
    }
    struct stat st {};
    if (::stat(descriptorPath.c_str(), &st) == 0) run.inputs.Add(IdentityOf(st));
    run.inputs.Seal();
    return 0;
}

}  // namespace

int RunJoin(const std::string& chunkFolder, const std::string& outputFolder) {
    ClearLastError();
    Progress().bytesDone = 0;
    JoinRun run;
    run.chunkFolder = chunkFolder;
    run.outputFolder = WithoutTrailingSlashes(outputFolder);
    if (ReadDescriptor(chunkFolder) != 0) return -1;
    Progress().totalBytes = GetTotalSize();
    if (PrepareJoin(run) != 0) return -1;
    struct stat st {};
    if (::stat(run.outputFolder.c_str(), &st) != 0) return Fail("cannot join into", run.outputFolder, errno);
    if (!S_ISDIR(st.st_mode)) return Fail("cannot join into", run.outputFolder, ENOTDIR);
    return GetFileRecordCount() > 0 ? JoinFolder(run) : JoinSingleFile(run);
}

}  // namespace partwise
