#include "partwise/joiner.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string_view>
#include <system_error>
#include <thread>
#include <unordered_set>
#include <utility>
#include <vector>

#include "cancel.h"
#include "checksum_file.h"
#include "descriptor_stream.h"
#include "durable.h"
#include "fail.h"
#include "file_identity.h"
#include "fingerprint.h"
#include "folder_ops.h"
#include "media_rules.h"
#include "partwise/chunk_names.h"
#include "partwise/descriptor.h"
#include "partwise/errors.h"
#include "partwise/fsutil.h"
#include "partwise/md5.h"
#include "partwise/progress.h"
#include "paths.h"
#include "posix_file.h"
#include "range_copier.h"
#include "read_back_hasher.h"
#include "recovery_coding.h"
#include "restore.h"

namespace partwise {
namespace {

// An output file under a temporary name in its destination folder, locked
// while open; removed unless Place or Keep took it.
class TemporaryFile {
public:
    int Create(int folderFd, const std::string& shownFolder) {
        folderFd_ = folderFd;
        return CreateTemporaryAt(folderFd, shownFolder, fd_, name_);
    }

    // Renames the finished file to name in its folder: never over what
    // stands there unless replace. The lock is let go once it is in place.
    int Place(const std::string& name, bool replace, const std::string& finalPath) {
        const int r = replace ? ::renameat(folderFd_, name_.c_str(), folderFd_, name.c_str())
                              : PlaceWithoutReplacing(folderFd_, name_, folderFd_, name);
        if (r != 0) {
            if (errno == EEXIST) return Fail("'" + finalPath + "' appeared while the join ran; it was left as it was");
            return Fail("cannot create", finalPath, errno);
        }
        name_.clear();
        return CloseAfterPlacing(fd_, folderFd_, name, finalPath);
    }

    // Closes the finished file and leaves it under its temporary name, for a
    // commit that renames it later; gives the name.
    int Keep(std::string& name, const std::string& finalPath) {
        if (fd_.Close() != 0) return Fail("cannot write", finalPath, errno);
        name = std::move(name_);
        name_.clear();
        return 0;
    }

    ~TemporaryFile() {
        fd_ = UniqueFd();
        if (!name_.empty()) ::unlinkat(folderFd_, name_.c_str(), 0);
    }

    int fd() const { return fd_.get(); }

private:
    int folderFd_ = -1;
    std::string name_;
    UniqueFd fd_;
};

// The files a join must never replace: its chunks, the descriptor and the
// files beside it. Most joins replace nothing, so the identities are gathered
// only when an output meets an existing file: streamed the first time, kept
// from the second on, when a folder join overwrites many files.
class JoinInputs {
public:
    void Describe(std::string chunkFolder, std::string stem, int32_t chunkCount, std::vector<std::string> others) {
        chunkFolder_ = std::move(chunkFolder);
        stem_ = std::move(stem);
        chunkCount_ = chunkCount;
        others_ = std::move(others);
    }

    bool Contains(const FileIdentity& identity) {
        if (++queries_ > 1) {
            if (queries_ == 2) {
                ForEach([this](const FileIdentity& input) { kept_.Add(input); });
                kept_.Seal();
            }
            return kept_.Contains(identity);
        }
        bool found = false;
        ForEach([&](const FileIdentity& input) { found = found || input == identity; });
        return found;
    }

private:
    template <typename Visit>
    void ForEach(const Visit& visit) const {
        struct stat st {};
        for (const std::string& path : others_)
            if (::stat(path.c_str(), &st) == 0) visit(IdentityOf(st));
        for (int32_t i = 0; i < chunkCount_; ++i)
            if (::stat(ChunkFilePath(chunkFolder_, stem_, i).c_str(), &st) == 0) visit(IdentityOf(st));
    }

    std::string chunkFolder_, stem_;
    int32_t chunkCount_ = 0;
    std::vector<std::string> others_;
    int queries_ = 0;
    FileIdentitySet kept_;
};

struct JoinRun {
    std::string chunkFolder;
    std::string outputFolder;
    bool replace = false;
    Durability durability;
    // syncfs does not reach the disk of this output (FUSE): each file is
    // flushed as it is finished instead.
    bool flushEachFile = false;
    // Opened once: every output is created, renamed and removed below it.
    UniqueFd outputDir;
    std::string sourceName;
    std::string stem;
    UniqueFd chunkDir;
    int32_t chunkCount = 0;
    JoinInputs inputs;
    // What is kept per chunk is flat, by chunk index, and a few bytes: the
    // recorded fingerprints are read again from the descriptor when needed.
    // The size a chunk must have, -1 for any size; after VerifyChunks, the
    // size it has. A folder join leaves unneeded chunks at -1.
    std::vector<int64_t> chunkSizes;
    // After VerifyChunks, 1 where the chunk holds no holes: bytes, not bits,
    // since the check writes them from several threads.
    std::vector<unsigned char> dense;
    RangeCopier copier;
    MetaRestore meta;
    // The checksum file's lines; chunks without one are checked by their
    // fingerprint alone.
    std::string checksumPath;
    ChecksumTable checksums;
    ReadBackHasher hasher;
    ChunkSetCheck check;
    // The stream a join writes to instead of a file, -1 for none, and the
    // errno of a write to it that failed.
    int stream = -1;
    std::string streamName;
    int streamError = 0;
    // Bytes went out to the stream: a join that fails after it cannot be
    // run again.
    bool sentAny = false;
    // Lost chunks rebuilt from the recovery files, read in place of the set's.
    std::map<int32_t, int> rebuilt;
};

// Opens chunk index by its name in the chunk folder, opened once: the kernel
// walks one step of path per chunk, not the whole path.
UniqueFd OpenChunkByName(const JoinRun& run, int32_t index) {
    if (const auto found = run.rebuilt.find(index); found != run.rebuilt.end())
        return UniqueFd(::fcntl(found->second, F_DUPFD_CLOEXEC, 0));
    return OpenChunkAt(run.chunkDir.get(), ChunkFileName(run.stem, index));
}

// Why a chunk cannot be used. Found without touching the last error, so
// that chunks can be checked on several threads at once.
struct ChunkFault {
    enum Kind : unsigned char {
        kNone,
        kCancelled,
        kDescriptorUnreadable,
        kDescriptorChanged,
        // The chunk's own faults from here on.
        kOpen,
        kRead,
        kNotAFile,
        kSize,
        kFingerprint,
        kChanged,
        kDamaged
    };
    Kind kind = kNone;
    int error = 0;     // errno, for kDescriptorUnreadable, kOpen and kRead
    int64_t size = 0;  // the size found, for kSize
};

ChunkFault OpenChunkQuietly(const JoinRun& run, int32_t index, int64_t expectedSize, UniqueFd& fd, struct stat& st) {
    fd = OpenChunkByName(run, index);
    if (!fd.valid()) return errno == ELOOP ? ChunkFault{ChunkFault::kNotAFile} : ChunkFault{ChunkFault::kOpen, errno};
    if (::fstat(fd.get(), &st) != 0) return {ChunkFault::kRead, errno};
    if (!S_ISREG(st.st_mode)) return {ChunkFault::kNotAFile};
    if (expectedSize >= 0 && st.st_size != expectedSize) return {ChunkFault::kSize, 0, st.st_size};
    return {};
}

int ChecksumMismatch(const JoinRun& run, int32_t index) {
    return Fail("chunk '" + ChunkFilePath(run.chunkFolder, run.stem, index) +
                "' is damaged: its bytes differ from its checksum in '" + run.checksumPath + "'");
}

// Sets the last error for the fault of chunk index; returns -1.
int Report(const JoinRun& run, int32_t index, int64_t expectedSize, const ChunkFault& fault) {
    const std::string path = ChunkFilePath(run.chunkFolder, run.stem, index);
    switch (fault.kind) {
        case ChunkFault::kNone:
            return 0;
        case ChunkFault::kCancelled:
            return Fail("cancelled");
        case ChunkFault::kDescriptorUnreadable:
            return Fail("cannot read", BuildDescriptorPath(run.chunkFolder), fault.error);
        case ChunkFault::kDescriptorChanged:
            return Fail("the chunk set descriptor '" + BuildDescriptorPath(run.chunkFolder) +
                        "' changed while it was joined");
        case ChunkFault::kOpen:
            return Fail("cannot open chunk", path, fault.error);
        case ChunkFault::kRead:
            return Fail("cannot read chunk", path, fault.error);
        case ChunkFault::kNotAFile:
            return Fail("chunk '" + path + "' is " + ReasonText(ChunkReason::kNotARegularFile));
        case ChunkFault::kSize:
            return Fail("chunk '" + path + "' holds " + std::to_string(fault.size) + " bytes, the chunk set expects " +
                        std::to_string(expectedSize));
        case ChunkFault::kFingerprint:
            return Fail("chunk '" + path +
                        "' is not the chunk that was split: " + ReasonText(ChunkReason::kFingerprintDiffers));
        case ChunkFault::kChanged:
            return Fail("chunk '" + path + "' changed while it was read");
        case ChunkFault::kDamaged:
            return ChecksumMismatch(run, index);
    }
    return -1;
}

// Report, noting a chunk whose bytes differ from its checksum for the caller.
int ReportFault(JoinRun& run, int32_t index, int64_t expectedSize, const ChunkFault& fault) {
    if (fault.kind == ChunkFault::kDamaged) run.check.damagedChunk = index;
    return Report(run, index, expectedSize, fault);
}

// Opens chunk index and checks its size when one is expected.
int OpenChunk(const JoinRun& run, int32_t index, int64_t expectedSize, UniqueFd& fd, int64_t& size) {
    struct stat st {};
    const ChunkFault fault = OpenChunkQuietly(run, index, expectedSize, fd, st);
    if (fault.kind != ChunkFault::kNone) return Report(run, index, expectedSize, fault);
    size = st.st_size;
    return 0;
}

// The first fault the check found, by chunk index.
struct FirstFault {
    std::atomic<int32_t> index{INT32_MAX};
    std::mutex mutex;
    ChunkFault fault;
    int64_t expectedSize = 0;

    void Note(int32_t at, int64_t expected, const ChunkFault& found) {
        std::lock_guard lock(mutex);
        if (at >= index.load()) return;
        index = at;
        fault = found;
        expectedSize = expected;
    }
};

constexpr int64_t kChunkRecordSize = sizeof(ChunkRecord);

// The descriptor's records of chunks [begin, end), read a block at a time.
RecordBlockReader ChunkRecordsOf(const DescriptorFile& descriptor, int32_t begin, int32_t end) {
    return RecordBlockReader(descriptor.fd.get(), descriptor.chunkRecordsStart + begin * kChunkRecordSize, end - begin,
                             sizeof(ChunkRecord));
}

// The next record, which must be chunk index's.
ChunkFault NextChunkRecord(RecordBlockReader& records, int32_t index, ChunkRecord& record) {
    const int64_t n = records.Next(&record);
    if (n < 0) return {ChunkFault::kDescriptorUnreadable, errno};
    if (n != kChunkRecordSize || record.chunkIndex != index) return {ChunkFault::kDescriptorChanged};
    return {};
}

// How far the check before the copy goes. kWhole opens each chunk and
// checks its fingerprint. kMeasure leaves small chunks without holes to the
// copy, which reads each of them once and checks it from the bytes in hand:
// they are only looked up, for their type, size and holes.
enum class CheckDepth : unsigned char { kWhole, kMeasure };

// A chunk left to the copy by kMeasure: a lookup without following a link.
// Sets fault, or marks the chunk dense and returns true when it is small.
bool MeasureSmallChunk(JoinRun& run, int32_t index, int64_t expected, ChunkFault& fault) {
    const auto slot = static_cast<std::size_t>(index);
    struct stat st {};
    if (::fstatat(run.chunkDir.get(), ChunkFileName(run.stem, index).c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        fault = {ChunkFault::kOpen, errno};
    else if (!S_ISREG(st.st_mode))
        fault = {ChunkFault::kNotAFile};
    else if (expected >= 0 && st.st_size != expected)
        fault = {ChunkFault::kSize, 0, st.st_size};
    else if (st.st_size > kInHandLimit || !HasNoHoles(st))
        return false;
    else {
        run.chunkSizes[slot] = st.st_size;
        run.dense[slot] = 1;
    }
    return true;
}

// Checks chunks [begin, end) against their records, read from the
// descriptor's own block reader. Stops at the first fault, or once a fault
// was found at a lower index.
void CheckChunkRange(JoinRun& run, const DescriptorFile& descriptor, bool everyChunk, CheckDepth depth, int32_t begin,
                     int32_t end, FirstFault& first) {
    RecordBlockReader records = ChunkRecordsOf(descriptor, begin, end);
    ChunkRecord record;
    for (int32_t i = begin; i < end && i < first.index.load(std::memory_order_relaxed); ++i) {
        const auto slot = static_cast<std::size_t>(i);
        const int64_t expected = run.chunkSizes[slot];
        ChunkFault fault = NextChunkRecord(records, i, record);
        if (fault.kind != ChunkFault::kNone) return first.Note(i, expected, fault);
        if (!everyChunk && expected < 0) continue;
        if (CancelRequested()) return first.Note(i, expected, {ChunkFault::kCancelled});
        // A rebuilt chunk has no name to look up; it is checked whole.
        if (depth == CheckDepth::kMeasure && run.rebuilt.count(i) == 0 && MeasureSmallChunk(run, i, expected, fault)) {
            if (fault.kind != ChunkFault::kNone) return first.Note(i, expected, fault);
            continue;
        }
        struct stat st {};
        UniqueFd fd;
        fault = OpenChunkQuietly(run, i, expected, fd, st);
        // An empty recorded fingerprint matches no chunk, as in the listing.
        if (fault.kind == ChunkFault::kNone &&
            FingerprintOpenFile(fd.get(), st.st_size) != FieldText(record.fingerprint, 32))
            fault.kind = ChunkFault::kFingerprint;
        if (fault.kind != ChunkFault::kNone) return first.Note(i, expected, fault);
        run.chunkSizes[slot] = st.st_size;
        run.dense[slot] = HasNoHoles(st);
    }
}

// Before anything is written: every chunk the join needs is there, readable,
// of the expected size, and still matches the fingerprint recorded at split
// time. A folder join passes over the chunks none of its records needs. Each
// chunk is opened once; the recorded fingerprints are streamed from the
// descriptor again rather than kept. Large sets are checked on a few threads:
// the opens and the fingerprints' MD5 are most of a join of small chunks.
// With kMeasure, the small chunks the copy checks are only looked up; when a
// fault is found, they are checked whole up to it, so that the fault named
// is still the first in chunk order.
int VerifyChunks(JoinRun& run, const DescriptorFile& descriptor, bool everyChunk,
                 CheckDepth depth = CheckDepth::kWhole) {
    constexpr int32_t kChunksPerThread = 4096;
    const int32_t count = run.chunkCount;
    run.dense.assign(static_cast<std::size_t>(count), 0);
    const int32_t threads = std::clamp<int32_t>(static_cast<int32_t>(std::thread::hardware_concurrency()), 1,
                                                std::max<int32_t>(1, std::min(4, count / kChunksPerThread)));
    FirstFault first;
    std::vector<std::thread> helpers;
    const int32_t share = count / threads;
    // A range no thread could be started for is checked here, after the first.
    std::vector<std::pair<int32_t, int32_t>> here{{0, threads == 1 ? count : share}};
    for (int32_t t = 1; t < threads; ++t) {
        const int32_t begin = t * share, end = t + 1 == threads ? count : begin + share;
        try {
            helpers.emplace_back(
                [&, begin, end] { CheckChunkRange(run, descriptor, everyChunk, depth, begin, end, first); });
        } catch (const std::system_error&) {
            here.emplace_back(begin, end);
        }
    }
    for (const auto& [begin, end] : here) CheckChunkRange(run, descriptor, everyChunk, depth, begin, end, first);
    for (std::thread& helper : helpers) helper.join();
    int32_t index = first.index.load();
    if (index == INT32_MAX) return 0;
    if (depth == CheckDepth::kMeasure && first.fault.kind != ChunkFault::kCancelled) {
        CheckChunkRange(run, descriptor, everyChunk, CheckDepth::kWhole, 0, index, first);
        index = first.index.load();
    }
    if (first.fault.kind >= ChunkFault::kOpen) run.check.refusedChunk = index;
    return ReportFault(run, index, first.expectedSize, first.fault);
}

// Hashing starts at a chunk's first byte when the chunk has a checksum.
int FollowIfChecked(JoinRun& run, int fd, int32_t index) {
    Digest128 expected;
    return run.hasher.Start(run.checksums.Get(index, expected) ? fd : -1,
                            ChunkFilePath(run.chunkFolder, run.stem, index));
}

// Once the hasher has read the chunk whole: does it match its line?
int MatchChecksum(JoinRun& run, int32_t index, int64_t size) {
    if (!run.hasher.active()) return 0;
    if (run.hasher.Finish(size) != 0) return -1;
    Digest128 expected;
    run.checksums.Get(index, expected);
    if (run.hasher.Final() != expected) return ReportFault(run, index, -1, {ChunkFault::kDamaged});
    ++run.check.matched;
    return 0;
}

// Before an output replaces what stands under its name: never a folder, and
// never one of the join's own inputs. 1 when something stands there, 0 when
// nothing does, -1 (last error set) when it must stay.
int MayReplace(JoinRun& run, int folderFd, const std::string& name, const std::string& finalPath) {
    struct stat st {};
    if (::fstatat(folderFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return 0;
    if (S_ISDIR(st.st_mode)) return Fail("cannot replace the folder '" + finalPath + "' with a file");
    if (run.inputs.Contains(IdentityOf(st)))
        return Fail("refusing to replace '" + finalPath + "': it is part of the chunk set being joined");
    return 1;
}

// Claims room for the data of every chunk at its place in the output, before
// the first byte is copied; holes in the chunks claim nothing. Chunks without
// holes in a row are claimed at once, without being opened again.
int ReserveJoinedFile(const JoinRun& run, int out, const std::string& finalPath) {
    int64_t at = 0, denseFrom = 0;
    for (int32_t i = 0; i < static_cast<int32_t>(run.chunkSizes.size()); ++i) {
        const auto index = static_cast<std::size_t>(i);
        const int64_t size = run.chunkSizes[index];
        if (run.dense[index]) {
            at += size;
            continue;
        }
        if (ReserveSpace(out, denseFrom, at - denseFrom, finalPath) != 0) return -1;
        UniqueFd chunk;
        int64_t now = 0;
        if (OpenChunk(run, i, size, chunk, now) != 0 ||
            ReserveData(chunk.get(), ChunkFilePath(run.chunkFolder, run.stem, i), 0, size, out, at, finalPath) != 0)
            return -1;
        at += size;
        denseFrom = at;
    }
    return ReserveSpace(out, denseFrom, at - denseFrom, finalPath);
}

bool ChangedSince(int fd, const struct stat& before) {
    struct stat now {};
    return ::fstat(fd, &now) != 0 || now.st_size != before.st_size || now.st_mtim.tv_sec != before.st_mtim.tv_sec ||
           now.st_mtim.tv_nsec != before.st_mtim.tv_nsec || now.st_ctim.tv_sec != before.st_ctim.tv_sec ||
           now.st_ctim.tv_nsec != before.st_ctim.tv_nsec;
}

// A run of small chunks without holes, read whole into one block.
struct HandBlock {
    int32_t first = 0, end = 0;  // chunks [first, end)
    std::vector<char> bytes;
    std::vector<ChunkRecord> records;
    std::size_t length = 0;
    int32_t matched = 0;
    int32_t faultIndex = -1;
    ChunkFault fault;
};

bool TakenInHand(const JoinRun& run, int32_t index) {
    const auto slot = static_cast<std::size_t>(index);
    return index < run.chunkCount && run.dense[slot] && run.chunkSizes[slot] <= kInHandLimit;
}

// The end of the block that starts at chunk first: up to 1 MiB of small
// chunks, at least one. first itself when it is not small.
int32_t HandBlockEnd(const JoinRun& run, int32_t first) {
    constexpr int64_t kBlock = 1 << 20;
    int32_t end = first;
    for (int64_t bytes = 0; TakenInHand(run, end); ++end) {
        bytes += run.chunkSizes[static_cast<std::size_t>(end)];
        if (end > first && bytes > kBlock) break;
    }
    return end;
}

// Reads a chunk of size bytes whole with one pread, asking for a byte more:
// a regular file gives fewer only where it ends, so a chunk that grew since
// it was measured shows in the same read. A read cut short before size is
// finished by ReadAt. Returns the bytes read, up to size + 1, or -1 with errno.
int64_t ReadSmallWhole(int fd, char* into, int64_t size) {
    ssize_t n = 0;
    do n = ::pread(fd, into, static_cast<std::size_t>(size) + 1, 0);
    while (n < 0 && errno == EINTR);
    if (n <= 0 || n >= size) return n;
    const int64_t rest = ReadAt(fd, into + n, static_cast<std::size_t>(size + 1 - n), n);
    return rest < 0 ? -1 : n + rest;
}

// Reads small chunk index (size bytes, measured before the copy) to at, with
// one byte of room after it, and its record.
ChunkFault ReadSmallChunk(const JoinRun& run, int32_t index, int64_t size, char* at, RecordBlockReader& records,
                          ChunkRecord& record) {
    if (const ChunkFault fault = NextChunkRecord(records, index, record); fault.kind != ChunkFault::kNone) return fault;
    const UniqueFd chunk = OpenChunkByName(run, index);
    if (!chunk.valid())
        return errno == ELOOP ? ChunkFault{ChunkFault::kNotAFile} : ChunkFault{ChunkFault::kOpen, errno};
    // A folder or a FIFO put in its place cannot be read.
    const int64_t n = ReadSmallWhole(chunk.get(), at, size);
    if (n < 0)
        return errno == EISDIR || errno == ESPIPE ? ChunkFault{ChunkFault::kNotAFile}
                                                  : ChunkFault{ChunkFault::kRead, errno};
    return n == size ? ChunkFault{} : ChunkFault{ChunkFault::kChanged};
}

// The first of the block's chunks [block.first, end), read whole, whose
// bytes differ from its recorded fingerprint; end for none. The fingerprints
// are computed several at once: their MD5 is most of the work of the copy.
int32_t FirstFingerprintFault(const JoinRun& run, const HandBlock& block, int32_t end) {
    const char* at = block.bytes.data();
    FingerprintInput inputs[kFingerprintLanes];
    for (int32_t group = block.first; group < end; group += static_cast<int32_t>(kFingerprintLanes)) {
        const auto count = static_cast<std::size_t>(std::min<int32_t>(end - group, kFingerprintLanes));
        for (std::size_t k = 0; k < count; ++k) {
            const int64_t size = run.chunkSizes[static_cast<std::size_t>(group) + k];
            inputs[k] = {size, at, std::min(static_cast<std::size_t>(size), kFingerprintHead)};
            at += size;
        }
        FingerprintSeveral(inputs, count);
        for (std::size_t k = 0; k < count; ++k) {
            const int32_t i = group + static_cast<int32_t>(k);
            // An empty recorded fingerprint matches no chunk, as in the listing.
            if (std::memcmp(inputs[k].text, block.records[static_cast<std::size_t>(i - block.first)].fingerprint,
                            sizeof inputs[k].text) != 0)
                return i;
        }
    }
    return end;
}

// Reads the chunks [first, end) into the block and checks each, as the
// check before the copy and the checksum line would, from the bytes in
// hand: the bytes checked are the bytes written. Stops at the first fault.
// Leaves the last error alone: two blocks are filled at once.
void FillHandBlock(const JoinRun& run, const DescriptorFile& descriptor, HandBlock& block, int32_t first, int32_t end) {
    int64_t bytes = 0;
    for (int32_t i = first; i < end; ++i) bytes += run.chunkSizes[static_cast<std::size_t>(i)];
    block.first = first;
    block.end = end;
    block.bytes.resize(static_cast<std::size_t>(bytes) + 1);
    block.records.resize(static_cast<std::size_t>(end - first));
    block.length = 0;
    block.matched = 0;
    block.faultIndex = -1;
    RecordBlockReader records = ChunkRecordsOf(descriptor, first, end);
    ChunkFault fault;
    int32_t read = first;
    for (std::size_t at = 0; read < end; ++read) {
        const int64_t size = run.chunkSizes[static_cast<std::size_t>(read)];
        fault = CancelRequested() ? ChunkFault{ChunkFault::kCancelled}
                                  : ReadSmallChunk(run, read, size, block.bytes.data() + at, records,
                                                   block.records[static_cast<std::size_t>(read - first)]);
        if (fault.kind != ChunkFault::kNone) break;
        at += static_cast<std::size_t>(size);
    }
    // The first fault in chunk order: of the chunks read, the first whose
    // fingerprint differs, or before it the first that fails its line.
    const int32_t printed = FirstFingerprintFault(run, block, read);
    if (printed < read) fault = {ChunkFault::kFingerprint};
    int32_t i = first;
    for (Digest128 expected; i < printed; ++i) {
        const auto size = static_cast<std::size_t>(run.chunkSizes[static_cast<std::size_t>(i)]);
        if (run.checksums.Get(i, expected)) {
            ChunkHasher hasher;
            hasher.Update(block.bytes.data() + block.length, size);
            if (hasher.Final() != expected) {
                fault = {ChunkFault::kDamaged};
                break;
            }
            ++block.matched;
        }
        block.length += size;
    }
    if (i < end) {
        block.faultIndex = i;
        block.fault = fault;
    }
}

// A failed write to the stream; a reader that went away is told apart for
// the caller, which dies of SIGPIPE as the write would have made it.
int StreamFailed(JoinRun& run, int err) {
    struct pollfd gone {
        run.stream, 0, 0
    };
    run.streamError = err == EPIPE || (::poll(&gone, 1, 0) == 1 && (gone.revents & POLLERR) != 0) ? EPIPE : err;
    return -1;
}

// Writes the block's chunks up to its fault, if it has one: a stream gets
// every chunk before a damaged one, as one chunk at a time would send them.
int WriteHandBlock(JoinRun& run, const HandBlock& block, int out, const std::string& finalPath) {
    const bool toStream = out == run.stream;
    run.sentAny = run.sentAny || (toStream && block.length > 0);
    if (WriteAll(out, block.bytes.data(), block.length) != 0) {
        const int err = errno;
        Fail("cannot write", finalPath, err);
        return toStream ? StreamFailed(run, err) : -1;
    }
    run.check.matched += block.matched;
    if (block.faultIndex >= 0) return ReportFault(run, block.faultIndex, -1, block.fault);
    return CountBlock(static_cast<int64_t>(block.length));
}

// The blocks of a run of small chunks, in a ring of a few: both threads
// take the next block to fill, and this one writes them in order as they
// are ready, so that neither core waits while the other reads.
class HandBlockRing {
public:
    HandBlockRing(const JoinRun& run, const DescriptorFile& descriptor, int32_t from)
        : run_(run), descriptor_(descriptor), next_(from) {}

    // The second thread: fills blocks until the run is taken or stop is asked.
    void FillBlocks(const std::stop_token& stop) {
        std::unique_lock lock(mutex_);
        while (changed_.wait(lock, stop, [this] { return ended_ || CanTake(); }) && !ended_ && !stop.stop_requested())
            FillNext(lock);
    }

    // This thread: writes every block in order, filling blocks itself while
    // the next to write is not ready. Returns the end of the run, or -1.
    int32_t WriteBlocks(JoinRun& run, int out, const std::string& finalPath) {
        std::unique_lock lock(mutex_);
        for (;;) {
            HandBlock& block = ring_[written_ % kRing];
            if (ready_[written_ % kRing]) {
                lock.unlock();
                if (WriteHandBlock(run, block, out, finalPath) != 0) return -1;
                lock.lock();
                ready_[written_ % kRing] = false;
                ++written_;
                changed_.notify_all();
            } else if (!ended_ && CanTake()) {
                FillNext(lock);
            } else if (ended_ && written_ == taken_) {
                return next_;
            } else {
                changed_.wait(lock);
            }
        }
    }

private:
    static constexpr int64_t kRing = 4;

    bool CanTake() const { return taken_ < written_ + kRing; }

    // Takes the next block and fills it with the lock let go; marks the run
    // ended instead where it is.
    void FillNext(std::unique_lock<std::mutex>& lock) {
        const int32_t first = next_, end = HandBlockEnd(run_, first);
        if (end == first) {
            ended_ = true;
            changed_.notify_all();
            return;
        }
        next_ = end;
        const int64_t k = taken_++;
        lock.unlock();
        FillHandBlock(run_, descriptor_, ring_[k % kRing], first, end);
        lock.lock();
        ready_[k % kRing] = true;
        changed_.notify_all();
    }

    const JoinRun& run_;
    const DescriptorFile& descriptor_;
    std::mutex mutex_;
    std::condition_variable_any changed_;
    int32_t next_;  // the first chunk of the next block to take
    bool ended_ = false;
    int64_t taken_ = 0, written_ = 0;
    HandBlock ring_[kRing];
    bool ready_[kRing] = {};
};

// Small chunks in a row from index on, each opened and read once and checked
// in memory, on two threads: the opens and reads of many small chunks are
// most of their join. Leaves index at the first chunk that is not small.
int JoinChunksFromHand(JoinRun& run, const DescriptorFile& descriptor, int32_t& index, int out,
                       const std::string& finalPath) {
    HandBlockRing ring(run, descriptor, index);
    std::jthread filling;
    try {
        filling = std::jthread([&ring](const std::stop_token& stop) { ring.FillBlocks(stop); });
    } catch (const std::system_error&) {}
    const int32_t end = ring.WriteBlocks(run, out, finalPath);
    if (end < 0) return -1;
    index = end;
    return 0;
}

// A large chunk, or one with holes: the hasher reads it on its own thread
// while the kernel copies it.
int CopyChunk(JoinRun& run, int32_t index, int out, const std::string& finalPath) {
    UniqueFd chunk;
    int64_t size = 0;
    struct stat before {};
    if (OpenChunk(run, index, run.chunkSizes[static_cast<std::size_t>(index)], chunk, size) != 0) return -1;
    if (::fstat(chunk.get(), &before) != 0)
        return Fail("cannot read chunk", ChunkFilePath(run.chunkFolder, run.stem, index), errno);
    if (FollowIfChecked(run, chunk.get(), index) != 0 || run.hasher.HashUpTo(size) != 0) return -1;
    const int64_t n =
        run.copier.Copy(chunk.get(), ChunkFilePath(run.chunkFolder, run.stem, index), 0, out, finalPath, size);
    if (n < 0 || MatchChecksum(run, index, size) != 0) return -1;
    // Bytes written in place during the copy would differ from those hashed.
    if (n != size || ChangedSince(chunk.get(), before))
        return Fail("chunk '" + ChunkFilePath(run.chunkFolder, run.stem, index) + "' changed while it was read");
    return 0;
}

// Everything of a single-file join after the check before the copy.
int WriteSingleFile(JoinRun& run, const DescriptorFile& descriptor, const std::string& finalPath) {
    if (run.meta.CheckSingleFile() != 0) return -1;
    int64_t total = 0;
    for (int64_t size : run.chunkSizes) total += size;
    if (total != GetTotalSize())
        return Fail("the chunks in '" + run.chunkFolder + "' hold " + std::to_string(total) +
                    " bytes, the chunk set records " + std::to_string(GetTotalSize()));
    if (CheckJoinedFileFits(run.outputFolder, run.sourceName, total) != 0) return -1;
    struct stat st {};
    if (!run.replace && ::fstatat(run.outputDir.get(), run.sourceName.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
        return Fail("'" + finalPath + "' already exists");
    TemporaryFile out;
    if (out.Create(run.outputDir.get(), run.outputFolder) != 0 || ReserveJoinedFile(run, out.fd(), finalPath) != 0)
        return -1;
    for (int32_t i = 0; i < run.chunkCount;) {
        // A run of small chunks is taken whole, and i moves past it.
        if ((TakenInHand(run, i) ? JoinChunksFromHand(run, descriptor, i, out.fd(), finalPath)
                                 : CopyChunk(run, i++, out.fd(), finalPath)) != 0)
            return -1;
    }
    if (run.meta.ApplyToFile(out.fd(), finalPath) != 0) return -1;
    // On the disk before it takes its name, and its name on the disk before
    // the join says it is done.
    FlushPhase flushing;
    if (run.durability.FlushFile(out.fd(), finalPath) != 0) return -1;
    AtStep("join: placing file");
    if (run.replace && MayReplace(run, run.outputDir.get(), run.sourceName, finalPath) < 0) return -1;
    if (out.Place(run.sourceName, run.replace, finalPath) != 0) return -1;
    return run.durability.FlushFolder(run.outputDir.get(), run.outputFolder);
}

// The small chunks are only measured before the copy, which checks them as
// it reads them. When the join fails, every chunk is checked whole, and a
// chunk the check would have refused is named instead of what followed from
// it: the same reason as had each been checked before the first write. A
// cancel is not held up.
int JoinSingleFile(JoinRun& run, const DescriptorFile& descriptor) {
    const std::string finalPath = run.outputFolder + "/" + run.sourceName;
    run.chunkSizes.assign(static_cast<std::size_t>(run.chunkCount), -1);
    if (CheckPathLength(finalPath) != 0 || VerifyChunks(run, descriptor, true, CheckDepth::kMeasure) != 0) return -1;
    if (WriteSingleFile(run, descriptor, finalPath) == 0) return 0;
    if (CancelRequested()) return -1;
    const std::string reason = GetLastErrorText();
    run.chunkSizes.assign(static_cast<std::size_t>(run.chunkCount), -1);
    if (VerifyChunks(run, descriptor, true) == 0) {
        SetLastErrorText(reason);
        return -1;
    }
    run.check.damagedChunk = -1;
    run.check.matched = 0;
    return -1;
}

// One chunk of the stream, open and, when it has a checksum line, read and
// hashed whole; one that fits the buffer stays in it.
struct StreamChunk {
    UniqueFd fd;
    struct stat before {};
    bool checked = false;
    bool held = false;
    std::vector<char> bytes = std::vector<char>(std::size_t{4} << 20);
    ChunkFault fault;
};

// Sets no last error, so that the next chunk is verified while the one
// before it is sent.
void VerifyStreamChunk(const JoinRun& run, int32_t index, StreamChunk& chunk) {
    chunk.checked = chunk.held = false;
    chunk.fault = OpenChunkQuietly(run, index, run.chunkSizes[static_cast<std::size_t>(index)], chunk.fd, chunk.before);
    Digest128 expected;
    if (chunk.fault.kind != ChunkFault::kNone || !run.checksums.Get(index, expected)) return;
    const int64_t size = chunk.before.st_size, room = static_cast<int64_t>(chunk.bytes.size());
    const bool fits = size <= room;
    ChunkHasher hasher;
    for (int64_t at = 0; at < size;) {
        if (CancelRequested()) return void(chunk.fault = {ChunkFault::kCancelled});
        char* into = chunk.bytes.data() + (fits ? at : 0);
        const int64_t n =
            ReadAt(chunk.fd.get(), into, static_cast<std::size_t>(std::min(size - at, room - (fits ? at : 0))), at);
        if (n <= 0)
            return void(chunk.fault = n < 0 ? ChunkFault{ChunkFault::kRead, errno} : ChunkFault{ChunkFault::kChanged});
        hasher.Update(into, static_cast<std::size_t>(n));
        at += n;
    }
    if (hasher.Final() != expected) return void(chunk.fault = {ChunkFault::kDamaged});
    chunk.checked = true;
    chunk.held = fits;
}

// Sends a verified chunk: from the buffer, or copied again, mostly from the
// page cache, by the kernel where it can, failing if it changed in between.
int SendStreamChunk(JoinRun& run, int32_t index, StreamChunk& chunk) {
    const int64_t size = chunk.before.st_size;
    run.sentAny = true;
    if (chunk.held) {
        if (WriteAll(run.stream, chunk.bytes.data(), static_cast<std::size_t>(size)) != 0) {
            const int err = errno;
            Fail("cannot write", run.streamName, err);
            return StreamFailed(run, err);
        }
        return CountBlock(size);
    }
    const std::string path = ChunkFilePath(run.chunkFolder, run.stem, index);
    const int64_t n = run.copier.Copy(chunk.fd.get(), path, 0, run.stream, run.streamName, size);
    if (n < 0) return StreamFailed(run, errno);
    if (n != size || ChangedSince(chunk.fd.get(), chunk.before)) return Report(run, index, -1, {ChunkFault::kChanged});
    return 0;
}

// Every chunk is verified before any of its bytes go out: a large one on a
// second thread while the one before it is sent, runs of small ones a block
// at a time, as a join into a file takes them.
int SendChunks(JoinRun& run, const DescriptorFile& descriptor) {
    StreamChunk chunks[2];
    bool verified = false;  // chunks[i % 2] holds chunk i, verified ahead
    for (int32_t i = 0; i < run.chunkCount;) {
        if (TakenInHand(run, i)) {
            if (JoinChunksFromHand(run, descriptor, i, run.stream, run.streamName) != 0) return -1;
            verified = false;
            continue;
        }
        StreamChunk& chunk = chunks[i % 2];
        if (!verified) VerifyStreamChunk(run, i, chunk);
        if (chunk.fault.kind != ChunkFault::kNone)
            return ReportFault(run, i, run.chunkSizes[static_cast<std::size_t>(i)], chunk.fault);
        run.check.matched += chunk.checked ? 1 : 0;
        verified = i + 1 < run.chunkCount && !TakenInHand(run, i + 1);
        std::jthread ahead;
        if (verified) {
            StreamChunk& next = chunks[(i + 1) % 2];
            try {
                ahead = std::jthread([&run, &next, i] { VerifyStreamChunk(run, i + 1, next); });
            } catch (const std::system_error&) {
                VerifyStreamChunk(run, i + 1, next);
            }
        }
        if (SendStreamChunk(run, i++, chunk) != 0) return -1;
    }
    return 0;
}

// The one place the stream is made durable: a regular file is flushed to
// its disk before the join reports success; a pipe or a terminal has no
// disk to flush.
int FinishStream(JoinRun& run) {
    struct stat st {};
    if (::fstat(run.stream, &st) != 0 || !S_ISREG(st.st_mode)) return 0;
    FlushPhase flushing;
    return run.durability.FlushFile(run.stream, run.streamName) == 0 ? 0 : StreamFailed(run, errno);
}

int JoinToStream(JoinRun& run, const DescriptorFile& descriptor) {
    if (GetFileRecordCount() > 0)
        return Fail("'" + run.chunkFolder + "' holds a folder set, which rebuilds a tree rather than one file");
    run.chunkSizes.assign(static_cast<std::size_t>(run.chunkCount), -1);
    if (VerifyChunks(run, descriptor, true) != 0) return -1;
    int64_t total = 0;
    for (int64_t size : run.chunkSizes) total += size;
    if (total != GetTotalSize())
        return Fail("the chunks in '" + run.chunkFolder + "' hold " + std::to_string(total) +
                    " bytes, the chunk set records " + std::to_string(GetTotalSize()));
    if (SendChunks(run, descriptor) != 0) return -1;
    return FinishStream(run);
}

// Where a folder join writes. A new folder is built whole under a temporary
// name in the output folder and renamed into place at the end. An existing
// folder (replaced only when asked) is written into, each file under a
// temporary name beside its place, and the files are renamed into place only
// once every chunk matched; what they replace is set aside until then, so
// that a failure puts everything back. Either way the folder built is locked
// and every folder below it is reached from it one name at a time, never
// through a link.
struct FolderBuild {
    std::string root;  // <output>/<name>, for messages
    bool merge = false;
    UniqueFd rootDir;
    std::string buildName;  // a new folder's temporary name
    // The folder the last file went to, open.
    std::string currentRelative;
    UniqueFd current;
    // An existing folder's: the folders the join made, in order; each file's
    // temporary name; the folders already swept of a dead job's files.
    std::vector<std::string> madeFolders;
    std::vector<std::string> temporaries;
    std::unordered_set<std::string> swept;
    // How far a commit into an existing folder got: the files placed, and
    // the temporary names of those they replaced, by file number.
    std::size_t placed = 0;
    std::vector<std::string> aside;

    // Opens root/relative ("" for root) as current, making what is missing
    // when create. A part that is a link, or not a folder, stops it.
    int Enter(const std::string& relative, bool create) {
        if (current.valid() && relative == currentRelative) return 0;
        current = UniqueFd();
        const auto note = [this](const std::string& folder) {
            if (merge) madeFolders.push_back(folder);
        };
        UniqueFd fd;
        if (OpenBelow(rootDir.get(), root, relative, create, note, fd) != 0) return -1;
        if (merge && create && swept.insert(relative).second) SweepTemporaries(fd.get());
        current = std::move(fd);
        currentRelative = relative;
        return 0;
    }
};

// Checks one record, and gives its path. The copy runs these checks again:
// the records are read from the file a second time.
int CheckRecord(const JoinRun& run, const FileRecord& record, int64_t i, std::string& relative) {
    if (!FieldIsTerminated(record.relativePath, sizeof record.relativePath))
        return Fail("file record " + std::to_string(i) + " has an unterminated name");
    relative = FieldText(record.relativePath, sizeof record.relativePath);
    if (!IsSafeRelativePath(relative))
        return Fail("refusing the unsafe path '" + relative + "' in file record " + std::to_string(i));
    const int64_t offset = record.offsetInChunk, length = record.length;
    if (offset < 0 || length < 0 || offset > INT64_MAX - length)
        return Fail("file record " + std::to_string(i) + " has an impossible offset or length");
    if (length > 0 && (record.chunkIndex < 0 || record.chunkIndex >= run.chunkCount))
        return Fail("file record " + std::to_string(i) + " names chunk " + std::to_string(record.chunkIndex) +
                    ", which the chunk set does not have");
    return 0;
}

// The order of the folder walk: "/" sorts before every other byte, so a
// folder's files come before the names that extend the folder's name.
bool ComesBeforeInWalk(std::string_view a, std::string_view b) {
    auto key = [](char c) { return c == '/' ? 0 : static_cast<unsigned char>(c); };
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                        [&key](char x, char y) { return key(x) < key(y); });
}

using PathDigest = std::array<unsigned char, 16>;

PathDigest DigestOf(const std::string& path) {
    Md5Context context;
    Md5Init(context);
    Md5Update(context, path.data(), static_cast<uint32_t>(path.size()));
    Md5Final(context);
    PathDigest digest;
    std::memcpy(digest.data(), context.digest, digest.size());
    return digest;
}

// For sets whose files are not in walk order (made elsewhere): finds a file
// listed in two separate runs of records, by the digests of the names.
int RefuseFileListedTwice(const DescriptorFile& descriptor) {
    std::vector<PathDigest> digests;
    FileRecordReader reader(descriptor);
    FileRecord record;
    std::string previous;  // checked names are never empty
    int r = 0;
    while ((r = reader.Next(record)) > 0) {
        std::string relative = FieldText(record.relativePath, sizeof record.relativePath);
        if (relative != previous) digests.push_back(DigestOf(relative));
        previous = std::move(relative);
    }
    if (r < 0) return -1;
    std::sort(digests.begin(), digests.end());
    auto twice = std::adjacent_find(digests.begin(), digests.end());
    if (twice == digests.end()) return 0;
    FileRecordReader again(descriptor);
    while (again.Next(record) > 0) {
        const std::string relative = FieldText(record.relativePath, sizeof record.relativePath);
        if (DigestOf(relative) == *twice) return Fail("the chunk set lists the file '" + relative + "' twice");
    }
    return Fail("the chunk set lists a file twice");
}

// Checks every record before anything is written and notes the size each
// needed chunk must have.
int PlanFolder(JoinRun& run, const DescriptorFile& descriptor, const std::string& root) {
    run.chunkSizes.assign(static_cast<std::size_t>(run.chunkCount), -1);
    int64_t total = 0, fileSize = 0, largest = 0;
    bool inWalkOrder = true;
    std::string previous, relative, largestName;
    FileRecordReader reader(descriptor);
    FileRecord record;
    int r = 0;
    for (int64_t i = 0; (r = reader.Next(record)) > 0; ++i) {
        if (CheckRecord(run, record, i, relative) != 0) return -1;
        if (record.length > 0) {
            int64_t& size = run.chunkSizes[static_cast<std::size_t>(record.chunkIndex)];
            size = std::max(size, record.offsetInChunk + record.length);
        }
        if (total > INT64_MAX - record.length) return Fail("the file records add up to an impossible size");
        total += record.length;
        if (i == 0 || relative != previous) {
            if (CheckPathLength(root + "/" + relative) != 0 || run.meta.CheckFile(relative) != 0) return -1;
            if (i > 0 && !ComesBeforeInWalk(previous, relative)) inWalkOrder = false;
            previous = relative;
            fileSize = 0;
        }
        fileSize += record.length;
        if (fileSize > largest) {
            largest = fileSize;
            largestName = relative;
        }
    }
    if (r < 0 || run.meta.CheckEnd() != 0) return -1;
    // In walk order, a file listed twice would have shown as a step back.
    if (!inWalkOrder && RefuseFileListedTwice(descriptor) != 0) return -1;
    if (total != GetTotalSize())
        return Fail("the file records add up to " + std::to_string(total) + " bytes, the chunk set records " +
                    std::to_string(GetTotalSize()));
    return CheckJoinedFileFits(run.outputFolder, run.sourceName + "/" + largestName, largest);
}

// Starts the output file for a new run of records.
int StartFile(FolderBuild& build, const std::string& relative, std::optional<TemporaryFile>& out) {
    if (build.Enter(ParentOf(relative), true) != 0) return -1;
    out.emplace();
    const std::string parent = ParentOf(relative);
    return out->Create(build.current.get(), parent.empty() ? build.root : build.root + "/" + parent);
}

// A finished file: in a new folder straight to its name, in an existing one
// kept under its temporary name for the commit.
int EndFile(JoinRun& run, FolderBuild& build, TemporaryFile& out, const std::string& relative) {
    const std::string finalPath = build.root + "/" + relative;
    if (run.meta.ApplyToFile(out.fd(), finalPath) != 0) return -1;
    if (run.flushEachFile && run.durability.FlushFile(out.fd(), finalPath) != 0) return -1;
    AtStep("join: file written");
    if (!build.merge) return out.Place(NameOf(relative), false, finalPath);
    std::string name;
    if (out.Keep(name, finalPath) != 0) return -1;
    build.temporaries.push_back(std::move(name));
    return 0;
}

// Calls visit with each file of the set once, in order, and its number.
template <typename Visit>
int ForEachFile(const DescriptorFile& descriptor, const Visit& visit) {
    FileRecordReader reader(descriptor);
    FileRecord record;
    std::string previous, relative;
    int r = 0;
    for (std::size_t k = 0; (r = reader.Next(record)) > 0;) {
        relative = FieldText(record.relativePath, sizeof record.relativePath);
        if (k > 0 && relative == previous) continue;
        if (visit(k++, relative) != 0) return -1;
        previous = relative;
    }
    return r;
}

// Puts an existing folder back as it was: the first placed files removed,
// what they replaced renamed back, every temporary file and every folder the
// join made removed.
void RollBack(FolderBuild& build, const DescriptorFile& descriptor) {
    const std::string reason = GetLastErrorText();
    const std::size_t placed = build.placed;
    const std::vector<std::string>& aside = build.aside;
    std::string notPutBack;
    ForEachFile(descriptor, [&](std::size_t k, const std::string& relative) {
        if (k >= build.temporaries.size()) return -1;
        const bool wasAside = k < aside.size() && !aside[k].empty();
        if (build.Enter(ParentOf(relative), false) != 0) {
            if (wasAside && notPutBack.empty()) notPutBack = relative + "' is kept as '" + aside[k];
            return 0;
        }
        const int dir = build.current.get();
        const std::string name = NameOf(relative);
        // What was set aside goes back over the new file in one step.
        if (!wasAside || k >= placed) ::unlinkat(dir, k < placed ? name.c_str() : build.temporaries[k].c_str(), 0);
        if (wasAside && ::renameat(dir, aside[k].c_str(), dir, name.c_str()) != 0 && notPutBack.empty())
            notPutBack = relative + "' is kept as '" + aside[k];
        return 0;
    });
    for (auto made = build.madeFolders.rbegin(); made != build.madeFolders.rend(); ++made) {
        if (build.Enter(ParentOf(*made), false) == 0)
            ::unlinkat(build.current.get(), NameOf(*made).c_str(), AT_REMOVEDIR);
    }
    SetLastErrorText(notPutBack.empty()
                         ? reason
                         : reason + "; could not put back what it replaced: '" + build.root + "/" + notPutBack + "'");
}

// Renames every file of an existing folder into place, each file it replaces
// set aside first; on a failure puts everything back.
int CommitIntoExisting(JoinRun& run, FolderBuild& build, const DescriptorFile& descriptor) {
    AtStep("join: commit");
    std::vector<std::string>& aside = build.aside;
    aside.assign(build.temporaries.size(), std::string());
    const int r = ForEachFile(descriptor, [&](std::size_t k, const std::string& relative) {
        const std::string finalPath = build.root + "/" + relative;
        if (k >= build.temporaries.size())
            return Fail("the chunk set descriptor '" + descriptor.path + "' changed while it was joined");
        if (build.Enter(ParentOf(relative), false) != 0) return -1;
        const int dir = build.current.get();
        const std::string name = NameOf(relative);
        const int there = MayReplace(run, dir, name, finalPath);
        if (there < 0) return -1;
        const std::string& temporary = build.temporaries[k];
        // Swapped in one step where the file system can: at no instant is
        // the name missing, and the old file waits under the temporary name.
        if (there > 0 && ::renameat2(dir, temporary.c_str(), dir, name.c_str(), RENAME_EXCHANGE) == 0) {
            struct stat st {};
            if (::fstatat(dir, temporary.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode)) {
                // A folder took the file's place meanwhile: it goes back.
                ::renameat2(dir, temporary.c_str(), dir, name.c_str(), RENAME_EXCHANGE);
                return Fail("cannot replace the folder '" + finalPath + "' with a file");
            }
            aside[k] = temporary;
            build.placed = k + 1;
            return 0;
        }
        if (there > 0 && errno != EINVAL) return Fail("cannot replace", finalPath, errno);
        if (there > 0) {
            std::string asideName = NextTemporaryName();
            if (::renameat2(dir, name.c_str(), dir, asideName.c_str(), RENAME_NOREPLACE) != 0 &&
                (errno != EINVAL || ::renameat(dir, name.c_str(), dir, asideName.c_str()) != 0))
                return Fail("cannot set aside", finalPath, errno);
            aside[k] = std::move(asideName);
        }
        if (PlaceWithoutReplacing(dir, temporary, dir, name) != 0)
            return Fail(errno == EEXIST ? "'" + finalPath + "' appeared while the join ran"
                                        : "cannot create '" + finalPath + "': " + std::strerror(errno));
        build.placed = k + 1;
        return 0;
    });
    if (r != 0 || run.meta.Finish() != 0) return -1;
    // Committed: what was set aside goes.
    ForEachFile(descriptor, [&](std::size_t k, const std::string& relative) {
        if (k < aside.size() && !aside[k].empty() && build.Enter(ParentOf(relative), false) == 0)
            ::unlinkat(build.current.get(), aside[k].c_str(), 0);
        return 0;
    });
    return 0;
}

// Renames a new folder, built whole, into place.
int CommitNewFolder(JoinRun& run, FolderBuild& build) {
    if (run.meta.Finish() != 0) return -1;
    AtStep("join: commit");
    const int out = run.outputDir.get();
    if (::renameat2(out, build.buildName.c_str(), out, run.sourceName.c_str(), RENAME_NOREPLACE) == 0 ||
        (errno == EINVAL && ::renameat(out, build.buildName.c_str(), out, run.sourceName.c_str()) == 0)) {
        build.buildName.clear();
        return 0;
    }
    if (errno == EEXIST || errno == ENOTEMPTY)
        return Fail("'" + build.root + "' appeared while the join ran; it was left as it was");
    return Fail("cannot create", build.root, errno);
}

// Opens what a folder join writes into: a new folder under a temporary name,
// or, when asked to replace it, the existing one, locked for this join alone.
int StartFolder(JoinRun& run, FolderBuild& build) {
    build.root = run.outputFolder + "/" + run.sourceName;
    const int out = run.outputDir.get();
    struct stat st {};
    if (::fstatat(out, run.sourceName.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT) return Fail("cannot read", build.root, errno);
        return CreateTemporaryFolderAt(out, run.outputFolder, build.rootDir, build.buildName);
    }
    if (!S_ISDIR(st.st_mode)) return Fail("cannot join into '" + build.root + "': it is not a folder");
    if (!run.replace) return Fail("'" + build.root + "' already exists");
    build.merge = true;
    build.rootDir = OpenFolderAt(out, run.sourceName);
    if (!build.rootDir.valid()) return Fail("cannot join into '" + build.root + "': it is not a folder");
    return LockFolder(build.rootDir.get(), true, build.root, "join");
}

int WriteFolder(JoinRun& run, FolderBuild& build, const DescriptorFile& descriptor) {
    int32_t openIndex = -1;
    std::vector<bool> verified(run.chunkSizes.size(), false);
    UniqueFd chunk;
    std::optional<TemporaryFile> out;
    std::string current, finalPath, relative;
    int64_t total = 0;
    FileRecordReader reader(descriptor);
    FileRecord record;
    int r = 0;
    run.meta.Rewind();
    AtStep("join: writing");
    for (int64_t i = 0; (r = reader.Next(record)) > 0; ++i) {
        if (CheckCancel() != 0 || CheckRecord(run, record, i, relative) != 0) return -1;
        if (i == 0 || relative != current) {
            if (out && EndFile(run, build, *out, current) != 0) return -1;
            current = relative;
            finalPath = build.root + "/" + current;
            if (run.meta.BeforeFile(current) != 0 || StartFile(build, current, out) != 0) return -1;
        }
        if (record.length == 0) continue;
        const std::size_t index = static_cast<std::size_t>(record.chunkIndex);
        // Only chunks checked before the first write are read.
        if (run.chunkSizes[index] < record.offsetInChunk + record.length)
            return Fail("the chunk set descriptor '" + descriptor.path + "' changed while it was joined");
        if (record.chunkIndex != openIndex) {
            int64_t size = 0;
            if (OpenChunk(run, record.chunkIndex, run.chunkSizes[index], chunk, size) != 0) return -1;
            openIndex = record.chunkIndex;
            // A chunk is hashed whole before the first byte is copied out of
            // it: the hash fails the join before a byte of it is placed.
            if (!verified[index]) {
                if (FollowIfChecked(run, chunk.get(), openIndex) != 0 || MatchChecksum(run, openIndex, size) != 0)
                    return -1;
                verified[index] = true;
            }
        }
        const std::string chunkPath = ChunkFilePath(run.chunkFolder, run.stem, openIndex);
        int64_t n = run.copier.Copy(chunk.get(), chunkPath, record.offsetInChunk, out->fd(), finalPath, record.length);
        if (n < 0) return -1;
        if (n != record.length) return Fail("chunk '" + chunkPath + "' changed while it was read");
        total += n;
    }
    if (r < 0) return -1;
    if (total != GetTotalSize())
        return Fail("the chunk set descriptor '" + descriptor.path + "' changed while it was joined");
    if (out && EndFile(run, build, *out, current) != 0) return -1;
    out.reset();
    // Every file on the disk before the first takes its name, and every name
    // before the join says it is done. syncfs once does both for any number
    // of files, where it reaches the disk.
    FlushPhase flushing;
    const int outputFd = run.outputDir.get();
    if (!run.flushEachFile && run.durability.FlushFileSystem(outputFd, run.outputFolder) != 0) return -1;
    if ((build.merge ? CommitIntoExisting(run, build, descriptor) : CommitNewFolder(run, build)) != 0) return -1;
    if (!run.flushEachFile) return run.durability.FlushFileSystem(outputFd, run.outputFolder);
    return build.rootDir.valid() && run.durability.FlushFolder(build.rootDir.get(), build.root) != 0
               ? -1
               : run.durability.FlushFolder(outputFd, run.outputFolder);
}

int JoinFolder(JoinRun& run, const DescriptorFile& descriptor) {
    const std::string root = run.outputFolder + "/" + run.sourceName;
    if (CheckPathLength(root) != 0 || PlanFolder(run, descriptor, root) != 0 ||
        VerifyChunks(run, descriptor, false) != 0)
        return -1;
    FolderBuild build;
    if (StartFolder(run, build) != 0) return -1;
    // Folders the metadata file records are made where the files go.
    run.meta.SetFolderAccess(
        [&build](const std::string& relative) { return build.Enter(relative, true); },
        [&build](const std::string& relative) { return build.Enter(relative, false) != 0 ? -1 : build.current.get(); });
    const int r = WriteFolder(run, build, descriptor);
    if (r != 0 && build.merge) RollBack(build, descriptor);
    if (r != 0 && !build.merge && !build.buildName.empty()) {
        build.current = UniqueFd();
        build.rootDir = UniqueFd();
        if (RemoveTreeAt(run.outputDir.get(), build.buildName) != 0 && errno != ENOENT)
            SetLastErrorText(GetLastErrorText() + "; could not remove '" + run.outputFolder + "/" + build.buildName +
                             "': " + std::strerror(errno));
    }
    return r;
}

// Everything the descriptor says is checked here, before anything is written.
int PrepareJoin(JoinRun& run, const DescriptorFile& descriptor, bool ignoreChecksums) {
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

    // The chunk records are read a block at a time, not loaded into the state.
    ChunkRecordReader reader(descriptor);
    ChunkRecord record;
    int r = 0;
    int32_t count = 0;
    for (; (r = reader.Next(record)) > 0; ++count) {
        if (record.chunkIndex != count)
            return Fail("the chunk set descriptor '" + descriptorPath + "' lists its chunks out of order");
    }
    if (r < 0) return -1;
    run.chunkCount = count;

    run.checksumPath = ChecksumFilePath(run.chunkFolder, run.stem);
    run.check.checksumFault = true;
    if (!ignoreChecksums && ReadChecksumFile(run.checksumPath, run.stem, count, run.checksums) < 0) return -1;
    // A file there without a usable line for a chunk is damaged: it is not
    // a set without checksums, and it vouches for nothing.
    // A rebuilt chunk needs no line: it was lost for want of one.
    int32_t lacking = -1;
    for (int32_t i = run.checksums.FirstLineFault(); i >= 0 && i < count && lacking < 0; ++i)
        if (run.checksums.LineFault(i) != ChunkReason::kNone && run.rebuilt.count(i) == 0) lacking = i;
    if (lacking >= 0) {
        run.check.refusedChunk = lacking;
        return Fail("the checksum file '" + run.checksumPath +
                    "' is damaged: " + ReasonText(run.checksums.LineFault(lacking)) + " for chunk '" +
                    ChunkFilePath(run.chunkFolder, run.stem, lacking) + "'");
    }
    run.check.checksumFault = false;
    if (run.checksums.loaded()) run.check.checksumFile = run.checksumPath;
    run.inputs.Describe(run.chunkFolder, run.stem, count,
                        {descriptorPath, MetaFilePath(run.chunkFolder, run.stem), run.checksumPath,
                         run.chunkFolder + "/" + JoinScriptName(run.stem)});
    run.check.chunkCount = count;
    Digest128 digest;
    for (int32_t i = 0; i < count; ++i) run.check.partlyChecked += run.checksums.Get(i, digest) ? 0 : 1;
    return 0;
}

// The metadata file's folders pass the checks of the file records' paths.
int OpenMetadata(JoinRun& run) {
    const std::string root = run.outputFolder + "/" + run.sourceName;
    return run.meta.Open(run.chunkFolder, run.stem, root, [root](const std::string& relative) {
        if (relative.size() >= sizeof(FileRecord::relativePath) || !IsSafeRelativePath(relative))
            return Fail("refusing the unsafe folder path '" + relative + "' in the metadata file");
        return CheckPathLength(root + "/" + relative);
    });
}

int Join(JoinRun& run, const JoinOptions& options) {
    // A split writing the set is waited for by no one: the join is refused.
    run.chunkDir = OpenFolder(run.chunkFolder, true);
    if (!run.chunkDir.valid()) return Fail("cannot open the chunk folder", run.chunkFolder, errno);
    if (LockFolder(run.chunkDir.get(), false, run.chunkFolder, "split") != 0) return -1;
    DescriptorFile descriptor;
    if (ReadDescriptorHeaderOnly(run.chunkFolder, descriptor) != 0) return -1;
    Progress().totalBytes = GetTotalSize();
    if (PrepareJoin(run, descriptor, options.ignoreChecksums) != 0) return -1;
    run.durability = Durability(options.flush);
    if (run.stream >= 0) return JoinToStream(run, descriptor);
    if (options.restoreMetadata && OpenMetadata(run) != 0) return -1;
    run.outputDir = OpenFolder(run.outputFolder, true);
    if (!run.outputDir.valid()) return Fail("cannot join into", run.outputFolder, errno);
    run.replace = options.replaceExisting;
    run.flushEachFile = options.flush && Durability::PerFile(run.outputDir.get());
    SweepTemporaries(run.outputDir.get());
    return GetFileRecordCount() > 0 ? JoinFolder(run, descriptor) : JoinSingleFile(run, descriptor);
}
}  // namespace

std::string MetadataFilePath(const std::string& chunkFolder, const std::string& sourceName) {
    std::string stem = sourceName;
    StripExtension(stem);
    return MetaFilePath(chunkFolder, stem);
}

namespace {
// Where a join to a stream rebuilds lost chunks, having no output folder.
std::string StreamScratchFolder() {
    const char* folder = std::getenv("TMPDIR");
    return folder != nullptr && folder[0] == '/' ? WithoutTrailingSlashes(folder) : std::string("/tmp");
}

// outputFolder "" for a join to the stream outFd.
int RunAnyJoin(const std::string& chunkFolder, const std::string& outputFolder, int outFd, const std::string& outName,
               const JoinOptions& options, ChunkSetCheck* check, int* writeError) {
    ClearLastError();
    IgnoreFileSizeSignal();
    // The recovery files are looked for only once the join met a lost chunk,
    // before anything was placed or sent: a whole set costs no listing of
    // its folder. They rebuild what the join met and whatever else their
    // look at the set finds lost, and the join runs again, until it meets a
    // chunk it met before.
    std::vector<int32_t> known = options.lostChunks;
    std::vector<RebuiltFile> rebuilt;
    const std::string scratch = outFd >= 0 ? StreamScratchFolder() : WithoutTrailingSlashes(outputFolder);
    bool joined = false;
    for (;;) {
        if (!known.empty() && !options.ignoreChecksums) {
            const std::string failure = GetLastErrorText();
            const int recovery = RebuildLostChunks(chunkFolder, scratch, known, rebuilt);
            if (recovery < 0) return -1;
            if (recovery == 0 && !joined)
                return Fail("the set in " + QuoteName(chunkFolder) +
                            " has lost chunks and no recovery files to rebuild them from");
            // Without recovery files the join's own reason stands.
            if (recovery == 0) return Fail(failure);
        }
        Progress().bytesDone = 0;
        JoinRun run;
        run.chunkFolder = chunkFolder;
        run.outputFolder = WithoutTrailingSlashes(outputFolder);
        run.stream = outFd;
        run.streamName = outName;
        for (const RebuiltFile& file : rebuilt) {
            run.rebuilt[file.chunk.chunkIndex] = file.fd.get();
            run.check.rebuilt.push_back(file.chunk);
        }
        const int result = Join(run, options);
        joined = true;
        if (check != nullptr) *check = run.check;
        if (writeError != nullptr) *writeError = run.streamError;
        const int32_t bad = run.check.damagedChunk >= 0 ? run.check.damagedChunk : run.check.refusedChunk;
        // A chunk without a usable line is lost too: rebuilt, it needs none.
        if (result == 0 || options.ignoreChecksums || bad < 0 || run.sentAny || run.rebuilt.count(bad) > 0 ||
            std::find(known.begin(), known.end(), bad) != known.end())
            return result;
        known.push_back(bad);
    }
}
}  // namespace

int RunJoin(const std::string& chunkFolder, const std::string& outputFolder, const JoinOptions& options,
            ChunkSetCheck* check) {
    return RunAnyJoin(chunkFolder, outputFolder, -1, "", options, check, nullptr);
}

int RunJoinToStream(const std::string& chunkFolder, int outFd, const std::string& outName, const JoinOptions& options,
                    ChunkSetCheck* check, int* writeError) {
    return RunAnyJoin(chunkFolder, "", outFd, outName, options, check, writeError);
}

}  // namespace partwise
