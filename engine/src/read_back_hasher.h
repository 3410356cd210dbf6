#pragma once
// Internal: hashing a chunk in the same pass as its copy. The hasher follows
// the copy one slice behind, reading back the range just copied while it is
// still in the page cache; a hole is hashed as the zeros it stands for,
// without being read. The reading and hashing run on a thread of the hasher's own, so
// that on a machine with a second core the hash costs the copy no time.
#include <array>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "checksum_file.h"
#include "fingerprint.h"
#include "posix_file.h"
#include "range_copier.h"

namespace partwise {

// Up to this size a chunk without holes goes through memory whole: one read
// and one write, hashed from the bytes in hand. Above it, or with holes, the
// hasher below follows the copy; for a block or two the hand-over to its
// thread, a read-back and a claim of room would cost more than they save.
inline constexpr int64_t kInHandLimit = 1 << 20;

class ReadBackHasher {
public:
    ReadBackHasher() = default;
    // Stops the thread; what it was hashing is dropped.
    ~ReadBackHasher();
    ReadBackHasher(const ReadBackHasher&) = delete;
    ReadBackHasher& operator=(const ReadBackHasher&) = delete;

    // Follows the file open as fd (a copy of the descriptor is kept, so the
    // caller may close its own) from offset base on; positions below count
    // from there. An invalid fd makes every call a no-op. Returns 0, or -1
    // with the last error.
    int Start(int fd, const std::string& path, int64_t base = 0);
    bool active() const { return fd_.valid(); }
    // Lets the hash run up to position, without waiting for it. Returns 0, or
    // -1 (last error set) once a read has failed.
    int HashUpTo(int64_t position);
    // Hashes up to position and waits for it. Returns 0, or -1 (last error
    // set) when a read failed or the file ended before position.
    int Finish(int64_t position);
    // The hash of the bytes up to the position given to Finish.
    Digest128 Final() const { return hasher_.Final(); }
    // After Finish: the first kFingerprintHead bytes from base as hashed, zeros
    // past what was hashed, so that its fingerprint needs no read of its own.
    const char* head() const { return head_.data(); }

private:
    void Run();
    int FailedLocked();
    // Notes the run of data or hole the file holds at at.
    void FindRun(int fd, int64_t at);
    // Hashes up to want bytes at at, at most to the end of the run there.
    // Returns the bytes hashed (0 at the end of the file), or -1 with err.
    int64_t HashBlock(int fd, int64_t at, std::size_t want, int& err);

    UniqueFd fd_;
    std::string path_;
    ChunkHasher hasher_;  // the thread's while it works
    std::vector<char> buffer_;
    std::vector<char> zeros_;
    std::array<char, kFingerprintHead> head_{};
    int64_t base_ = 0;
    // The thread's: the file holds a hole up to holeEnd_, or data up to
    // dataEnd_ (file offsets).
    int64_t holeEnd_ = 0;
    int64_t dataEnd_ = 0;

    std::mutex mutex_;
    std::condition_variable wake_;  // the thread: more to hash, or stop
    std::condition_variable done_;  // the owner: caught up, or failed
    int64_t position_ = 0;
    int64_t target_ = 0;
    bool working_ = false;
    bool stop_ = false;
    std::string error_;
    std::thread thread_;
};

// RangeCopier::Copy in slices small enough to stay in the page cache; after
// each, follower may hash up to followerStart plus the bytes copied so far.
// Returns the bytes copied, or -1 with the last error.
int64_t CopyAndHash(RangeCopier& copier, int in, const std::string& inPath, int64_t offset, int out,
                    const std::string& outPath, int64_t length, ReadBackHasher& follower, int64_t followerStart);

}  // namespace partwise
