#pragma once
// Internal: the copy loop shared by the splitter and the joiner.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "checksum_file.h"
#include "fingerprint.h"
#include "posix_file.h"

namespace partwise {

// The bytes a copy through memory wrote, as they passed: their hash and
// the first of them, for the fingerprint. A hole counts as its zeros.
struct CopiedBytes {
    ChunkHasher hasher;
    std::array<char, kFingerprintHead> head{};
    int64_t seen = 0;

    void Reset();
    void Add(const char* data, std::size_t length);
    void AddZeros(int64_t length);
};

// One job's copy engine: a fixed buffer, and the kernel's copy_file_range
// while the file systems allow it.
class RangeCopier {
public:
    RangeCopier();

    // While bytes is set, data goes through the buffer, where bytes sees
    // it, rather than through the kernel's copy: one read and one write, and
    // no read of its own for a hash.
    void ShowBytesTo(CopiedBytes* bytes) { shown_ = bytes; }
    bool showing() const { return shown_ != nullptr; }

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
    CopiedBytes* shown_ = nullptr;
    KnownDataRun known_;
    // Gathered bytes at the front of buffer_, waiting for pendingFd_.
    std::size_t pending_ = 0;
    int pendingFd_ = -1;
    std::string pendingPath_;
};

}  // namespace partwise
