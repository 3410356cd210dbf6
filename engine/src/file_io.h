#pragma once
// Internal: files as owned descriptors, error texts, and the copy loop shared
// by the splitter and the joiner.
#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <vector>

#include "partwise/limits.h"

namespace partwise {

// Records "<what> '<path>': <strerror(err)>" as the last error; returns -1.
int Fail(const std::string& what, const std::string& path, int err);
// Records "<message>" as the last error; returns -1.
int Fail(const std::string& message);

// 0 while the job may go on; -1 with the last error "cancelled" once a
// cancel was requested. Called between files and between records.
int CheckCancel();
// Adds a copied block to the progress counter, then checks for a cancel as
// CheckCancel does: every copy loop stops within a block of a request.
int CountBlock(int64_t bytes);

// 0 when path fits kMaxPathBytes; otherwise -1 with the last error set.
int CheckPathLength(const std::string& path);

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
// Opens path for reading and checks that it is a regular file; leaves its
// size in size. Returns 0, or -1 with the last error naming path as "<what>".
int OpenRegularFile(const std::string& path, const std::string& what, UniqueFd& fd, int64_t& size);
// A new, empty file at path. Whatever stood under that name is removed first,
// so that a link left there, symbolic or hard, is never written through.
// Invalid with errno set on failure.
UniqueFd CreateFresh(const std::string& path);

struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    auto operator<=>(const FileIdentity&) const = default;
};
FileIdentity IdentityOf(const struct stat& st);

// Files a split or a join must never write over, looked up once per output
// file: a sorted set, since a folder may hold many thousands of them.
class FileIdentitySet {
public:
    void Add(const FileIdentity& identity) { identities_.push_back(identity); }
    // Call once after the last Add and before the first Contains.
    void Seal();
    bool Contains(const FileIdentity& identity) const;
    bool empty() const { return identities_.empty(); }

private:
    std::vector<FileIdentity> identities_;
};

// path without the slashes at its end ("/" stays "/").
std::string WithoutTrailingSlashes(std::string path);

// A path below a folder as a chunk set records it: plain names joined by
// single slashes, no "..", and no empty or "." parts, which would let one
// file be listed under two spellings.
bool IsSafeRelativePath(const std::string& path);

// Claims size bytes of disk from offset on for a file about to be written,
// without changing its size: a disk too small fails at once, before the copy,
// and the file system can lay the file out in one go. File systems that
// cannot are let be, and so is a claim refused for want of space: on a
// copy-on-write file system the copy may share its extents and need almost
// none, so only a write that really fails may stop it. Returns 0, or -1 with
// the last error naming path.
int ReserveSpace(int fd, int64_t offset, int64_t size, const std::string& path);

// The runs of data in a range of a file, as the file system reports them, so
// that holes are neither read nor written. Where it reports no holes, and for
// anything but a regular file, the whole range is one run. The range stops at
// the file's end.
class DataRuns {
public:
    // 0, or -1 with errno set.
    int Start(int fd, int64_t offset, int64_t length);
    // 1 with [start, end) the next run, 0 past the last, -1 with errno set.
    int Next(int64_t& start, int64_t& end);
    // Where the range stops.
    int64_t end() const { return end_; }

private:
    int fd_ = -1;
    int64_t next_ = 0;
    int64_t end_ = 0;
    bool probe_ = false;
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

// The chunk fingerprint of an open file (see ChunkFingerprint); "" when it
// cannot be read.
std::string FingerprintOpenFile(int fd);

// One job's copy engine: a fixed buffer, and the kernel's copy_file_range
// while the file systems allow it.
class RangeCopier {
public:
    RangeCopier();

    // Appends up to length bytes of in, from offset on, at out's current
    // position, adding each block to the progress counter. Stops early only
    // at the end of in. Holes in in stay holes in out when out is a regular
    // file written at its end; they count as the zeros they read as. Returns
    // the bytes copied, or -1 with the last error naming inPath or outPath.
    int64_t Copy(int in, const std::string& inPath, int64_t offset, int out, const std::string& outPath,
                 int64_t length);

    // For small files, which cost more in system calls than in bytes: reads
    // in one call what is left of in from offset on, expected bytes by its
    // measured size, into a block that goes out together with its
    // neighbours. Sets ended when that read found the file's end right after
    // those bytes. Returns the bytes taken, or -1 with the last error.
    int64_t Gather(int in, const std::string& inPath, int64_t offset, int64_t expected, int out,
                   const std::string& outPath, bool& ended);
    // Whether Gather takes a piece of this many bytes.
    bool Gathers(int64_t expected) const { return expected < static_cast<int64_t>(buffer_.size() / 4); }
    // Writes what Gather holds back. Returns 0, or -1 with the last error.
    int Flush();
    // The bytes Gather holds back.
    int64_t held() const { return static_cast<int64_t>(pending_); }

private:
    // Copies one run of data. Returns the bytes copied, or -1.
    int64_t CopyData(int in, const std::string& inPath, int64_t offset, int out, const std::string& outPath,
                     int64_t length);
    // Passes over length bytes of hole in out: seeks past them where holes
    // are kept, writes zeros elsewhere. Returns 0, or -1.
    int SkipHole(int out, const std::string& outPath, int64_t length, bool keepHoles);

    std::vector<char> buffer_;
    bool useKernelCopy_ = true;
    // Gathered bytes at the front of buffer_, waiting for pendingFd_.
    std::size_t pending_ = 0;
    int pendingFd_ = -1;
    std::string pendingPath_;
};

}  // namespace partwise
