#pragma once
// Internal: what a job wrote is on the disk before the job says it is done,
// and before any other copy of it is deleted. Write-back is asked for behind
// the copy, which costs nothing to ask; the wait for it at the end goes in
// slices, between which a cancel is seen, since an fsync cannot be stopped.
#include <cstdint>
#include <string>

namespace partwise {

class Durability {
public:
    // Off: every call below does nothing (the command line's --no-sync).
    explicit Durability(bool enabled = true) : enabled_(enabled) {}
    bool enabled() const { return enabled_; }

    // Starts writing [offset, offset + length) of fd back to the disk,
    // without waiting. Where the file system cannot, the final flush does it.
    void StartWriteBack(int fd, int64_t offset, int64_t length) const;
    // Waits until the data of fd has gone to the disk, a slice at a time,
    // without asking the disk to empty its cache: cheap enough per file.
    // Returns 0, or -1 with the last error naming path ("cancelled" on a cancel).
    int WaitWriteBack(int fd, const std::string& path) const;
    // Waits until the data and size of fd are on the disk: WaitWriteBack,
    // then fdatasync. Returns 0, or -1 with the last error naming path.
    int FlushFile(int fd, const std::string& path) const;
    // Before a file written in folderFd takes its name there: its bytes, and
    // the names given before it in that folder. With FlushWholeFileSystem,
    // one syncfs does it, with everything else written meanwhile: one flush
    // of the disk's cache instead of one per file. Returns 0, or -1.
    int FlushBeforeName(int fd, int folderFd, const std::string& path) const;
    void FlushWholeFileSystem(bool on) { wholeFileSystem_ = on; }
    // A folder's entries, through fsync on its descriptor. A file system that
    // cannot flush a folder (EINVAL) is let be. Returns 0, or -1.
    int FlushFolder(int fd, const std::string& path) const;
    // Everything written to the file system that holds fd, in one syncfs.
    // Returns 0, or -1 with the last error. Not for FUSE (see PerFile).
    int FlushFileSystem(int fd, const std::string& path) const;
    // Whether files on the file system of fd need a flush each: syncfs does
    // not reach a FUSE server (exFAT or NTFS through FUSE).
    static bool PerFile(int fd);

private:
    bool enabled_;
    bool wholeFileSystem_ = false;
};

// Marks the job's last step, the wait for the disk, in the progress
// counters: the front ends say "Writing to disk…" while it lasts.
class FlushPhase {
public:
    FlushPhase();
    ~FlushPhase();
    FlushPhase(const FlushPhase&) = delete;
    FlushPhase& operator=(const FlushPhase&) = delete;
};

// Tests: the flush after the next `skip` ones fails with err (ENOSPC, EIO);
// err 0 withdraws it.
void FailFlushForTesting(int err, int skip = 0);

}  // namespace partwise
