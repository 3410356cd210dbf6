#pragma once
// Internal: files as owned descriptors, opened, read and written whole, with
// their room claimed and their holes found.
#include <cstddef>
#include <cstdint>
#include <string>

struct stat;

namespace partwise {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd();

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    // Closes and reports: a failed close of a written file is a failed write.
    // Returns 0, or -1 with errno set.
    int Close();

private:
    int fd_ = -1;
};

UniqueFd OpenForReading(const std::string& path);
// The same for name in the folder open as folderFd.
UniqueFd OpenForReadingAt(int folderFd, const std::string& name);
// The same for a chunk file, for which a link is no chunk: a symbolic link
// under the name fails with ELOOP.
UniqueFd OpenChunkAt(int folderFd, const std::string& name);
// Opens path for reading and checks that it is a regular file; leaves its
// size in size. Returns 0, or -1 with the last error naming path as "<what>".
int OpenRegularFile(const std::string& path, const std::string& what, UniqueFd& fd, int64_t& size);
// A new, empty file at path. Whatever stood under that name is removed first,
// so that a link left there, symbolic or hard, is never written through.
// Invalid with errno set on failure.
UniqueFd CreateFresh(const std::string& path);
// The same for name in the folder open as folderFd.
UniqueFd CreateFreshAt(int folderFd, const std::string& name);
// The folder at path, open for the *at calls; a symbolic link there is
// followed only when followLink. Invalid with errno set on failure.
UniqueFd OpenFolder(const std::string& path, bool followLink);

// Claims size bytes of disk from offset on for a file about to be written,
// without changing its size: a disk too small fails at once, before the copy,
// and the file system can lay the file out in one go. File systems that
// cannot are let be, and so is a claim refused for want of space: on a
// copy-on-write file system the copy may share its extents and need almost
// none, so only a write that really fails may stop it. Returns 0, or -1 with
// the last error naming path.
int ReserveSpace(int fd, int64_t offset, int64_t size, const std::string& path);

// Whether a file's blocks cover its size: then it has no holes to look for.
bool HasNoHoles(const struct stat& st);

// Whether the kernel's copy from in into the folder outFolder may share
// blocks or be done by a server rather than copy bytes: a reflink file
// system, or a network or FUSE one, and both on the same one.
bool KernelCopyMayShareBlocks(int in, int outFolder);
// Makes KernelCopyMayShareBlocks say yes everywhere, for the kernel's copy
// to be tested where it copies bytes.
void KernelCopySharesBlocksForTesting(bool always);

// The last run of data a file's map gave. A copy that goes on inside it asks
// the file system nothing: on tmpfs each SEEK_HOLE walks the file's pages.
struct KnownDataRun {
    uint64_t device = 0;
    uint64_t inode = 0;
    int64_t start = 0;
    int64_t end = 0;
};

// The runs of data in a range of a file, as the file system reports them, so
// that holes are neither read nor written. Where it reports no holes, for a
// file whose blocks cover its size, and for anything but a regular file, the
// whole range is one run. The range stops at the file's end.
class DataRuns {
public:
    // 0, or -1 with errno set. known, when given, is consulted before the
    // file's map and updated from it.
    int Start(int fd, int64_t offset, int64_t length, KnownDataRun* known = nullptr);
    // 1 with [start, end) the next run, 0 past the last, -1 with errno set.
    int Next(int64_t& start, int64_t& end);
    // Where the range stops.
    int64_t end() const { return end_; }

private:
    int fd_ = -1;
    int64_t next_ = 0;
    int64_t end_ = 0;
    bool probe_ = false;
    KnownDataRun* known_ = nullptr;
    uint64_t device_ = 0;
    uint64_t inode_ = 0;
};

// Claims room in out for the data of in's range from offset on, each run at
// outOffset plus its distance from offset; holes claim nothing. Returns 0, or
// -1 with the last error naming inPath or outPath.
int ReserveData(int in, const std::string& inPath, int64_t offset, int64_t length, int out, int64_t outOffset,
                const std::string& outPath);

// Writes every byte, retrying on EINTR and short writes. 0, or -1 with errno.
int WriteAll(int fd, const void* data, std::size_t length);
// The same at offset (>= 0), leaving the file position alone.
int WriteAllAt(int fd, const void* data, std::size_t length, int64_t offset);

// Reads up to length bytes at offset, retrying on EINTR and short reads;
// stops early only at end of file. Returns the count, or -1 with errno.
int64_t ReadAt(int fd, void* data, std::size_t length, int64_t offset);

}  // namespace partwise
