#include "partwise/splitter.h"
#include "read_back_hasher.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <time.h>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string_view>
#include <system_error>
#include <thread>

#include "cancel.h"
#include "checksum_file.h"
#include "descriptor_stream.h"
#include "durable.h"
#include "fail.h"
#include "file_identity.h"
#include "fingerprint.h"
#include "folder_ops.h"
#include "media_rules.h"
#include "meta_file.h"
#include "partwise/chunk_names.h"
#include "partwise/descriptor.h"
#include "partwise/errors.h"
#include "partwise/fsutil.h"
#include "partwise/job_checks.h"
#include "partwise/progress.h"
#include "paths.h"
#include "posix_file.h"
#include "range_copier.h"
#include "recovery_coding.h"
#include "staged_file.h"
#include "walk.h"

namespace partwise {
namespace {

// One chunk file to write, and where its bytes start in the source.
struct ChunkJob {
    std::string sourcePath;
    std::string chunkPath;
    int32_t chunkIndex = 0;
    int64_t readPosition = 0;
    int64_t length = 0;
};

// What copies a chunk and hashes its bytes as they go.
// A copy through memory shows its bytes to bytes; the kernel's copy is
// followed by the hasher, which reads them on a thread of its own.
struct CopyLane {
    RangeCopier copier;
    ReadBackHasher hasher;
    CopiedBytes bytes;
};

// What one split shares between its steps.
struct SplitRun {
    SplitRun(const SplitJob& splitJob, SplitReport* splitReport)
        : job(splitJob), sourcePath(WithoutTrailingSlashes(splitJob.sourcePath)), report(splitReport) {}
    const SplitJob& job;
    std::string sourcePath;
    SplitReport* report;
    // A stream's descriptor, -1 when the source is a path; its chunk count
    // and total are known only at its end, and its chunks stop at maxChunks.
    int stream = -1;
    int64_t maxChunks = kMaxChunkCount;
    ChunkSetNames names;
    int64_t chunkCount = 0;
    // What the chunk folder already holds, which the split will overwrite;
    // no source may be among it (a hard link, or a link where a chunk goes).
    FileIdentitySet existing;
    DescriptorStream descriptor;
    MetaFileWriter meta;
    int64_t copied = 0;
    // What RemoveUnfinishedSet takes back: chunks 0 to chunksStarted - 1,
    // each created or put in place of what stood under its name, and the
    // chunk folder when the split made it. Everything below the output
    // folder goes through these two, opened once.
    bool madeFolder = false;
    UniqueFd outputDir;
    UniqueFd chunkDir;
    // Locked while the split runs: one left unlocked beside chunk files
    // without a descriptor marks a dead split's debris.
    UniqueFd marker;
    Durability durability;
    // The files beside the chunks: flushed each where syncfs does not reach
    // the disk, otherwise by the syncfs before the descriptor takes its name.
    Durability sideFiles{false};
    // syncfs does not reach the disk of this chunk folder (FUSE): each chunk
    // is flushed as it is finished instead.
    bool flushEachFile = false;
    // The last large chunk, left open until its write-back is waited for.
    UniqueFd pendingFlush;
    std::string pendingFlushPath;
    bool descriptorPlaced = false;
    std::string markerName;
    int64_t chunksStarted = 0;
    bool metaPlaced = false;
    // Off for an empty set and for a stem the checksum file cannot name.
    bool writeChecksums = false;
    ChecksumFileWriter checksums;
    bool checksumsPlaced = false;
    // The join script, for a single-file set without a password when asked.
    bool writeScript = false;
    StagedFile script;
    bool scriptPlaced = false;
    // The recovery files made so far, by name in the chunk folder.
    std::vector<std::string> recoveryMade;
    bool recoveryWritten = false;
    // Copies and hashes the chunk being written; a second lane takes every
    // other large chunk of a file where a second core can run it.
    CopyLane lane;
    std::unique_ptr<CopyLane> pairLane;
    // Large chunks are read and written through memory, hashed on the way,
    // unless the kernel's copy may share blocks instead of copying bytes.
    bool copyThroughMemory = false;
    // A block of small chunks of a source without holes, read whole.
    std::vector<char> inHand;
};

// Notes what lies in the chunk folder before the split writes there; a link
// counts as what it leads to.
int ListExisting(SplitRun& run) {
    const int dir = run.chunkDir.get();
    const int r = ListFolderNamesAt(dir, run.names.chunkFolder, [&run, dir](std::string_view name) {
        struct stat st {};
        if (::fstatat(dir, std::string(name).c_str(), &st, 0) == 0 && S_ISREG(st.st_mode))
            run.existing.Add(IdentityOf(st));
    });
    run.existing.Seal();
    return r;
}

int RefuseIfExisting(const SplitRun& run, const WalkEntry& source) {
    if (!run.existing.Contains(source.identity)) return 0;
    return Fail("refusing to split '" + source.path + "': it is also a file in the chunk folder '" +
                run.names.chunkFolder + "', which the split overwrites");
}

// Creates chunk index afresh.
int OpenChunk(SplitRun& run, int32_t index, UniqueFd& fd) {
    run.chunksStarted = std::max<int64_t>(run.chunksStarted, index + int64_t{1});
    fd = CreateFreshAt(run.chunkDir.get(), ChunkFileName(run.names.stem, index));
    return fd.valid() ? 0
                      : Fail("cannot create chunk", ChunkFilePath(run.names.chunkFolder, run.names.stem, index), errno);
}

// Opens the chunk just created for reading too, so that its bytes are hashed
// as they land.
int FollowChunk(SplitRun& run, const ChunkJob& chunk) {
    if (!run.writeChecksums) return 0;
    UniqueFd readBack = OpenForReadingAt(run.chunkDir.get(), ChunkFileName(run.names.stem, chunk.chunkIndex));
    if (!readBack.valid()) return Fail("cannot read back chunk", chunk.chunkPath, errno);
    return run.lane.hasher.Start(readBack.get(), chunk.chunkPath);
}

int FlushPending(SplitRun& run) {
    if (!run.pendingFlush.valid()) return 0;
    const int fd = run.pendingFlush.get();
    const int r = run.flushEachFile ? run.durability.FlushFile(fd, run.pendingFlushPath)
                                    : run.durability.WaitWriteBack(fd, run.pendingFlushPath);
    run.pendingFlush = UniqueFd();
    return r;
}

// Large chunks are written back one behind the copy: the chunk before this
// one has had a chunk's time to reach the disk, so the wait is short, the
// page cache holds at most two chunks' dirty bytes and the end has one chunk
// left to wait for. The one syncfs before the descriptor takes its name
// makes them durable with the small ones and everything else.
int FlushBehind(SplitRun& run, int fd, const std::string& path, int64_t written) {
    constexpr int64_t kFlushedOneByOne = 8 << 20;
    if (!run.durability.enabled() || (written < kFlushedOneByOne && !run.flushEachFile)) return 0;
    run.durability.StartWriteBack(fd, 0, written);
    if (FlushPending(run) != 0) return -1;
    run.pendingFlush = UniqueFd(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
    run.pendingFlushPath = path;
    return run.pendingFlush.valid() ? 0 : Fail("cannot write chunk", path, errno);
}

// Closes a written chunk and records it; the descriptor's own write failures
// stop the split here too.
int FinishChunk(SplitRun& run, CopyLane& lane, UniqueFd& fd, const ChunkJob& chunk, int64_t written) {
    const bool shown = lane.copier.showing();
    if (run.writeChecksums) {
        if (!shown && lane.hasher.Finish(written) != 0) return -1;
        const Digest128 digest = shown ? lane.bytes.hasher.Final() : lane.hasher.Final();
        if (run.checksums.Add(GetLastPathComponent(chunk.chunkPath), digest) != 0) return -1;
    }
    if (FlushBehind(run, fd.get(), chunk.chunkPath, written) != 0) return -1;
    if (fd.Close() != 0) return Fail("cannot write chunk", chunk.chunkPath, errno);
    // The chunk's head passed already: the fingerprint is made from it
    // rather than from another open and read.
    if (run.writeChecksums)
        run.descriptor.AddChunkRecordOf(
            chunk.chunkIndex,
            FingerprintOfBytes(written, shown ? lane.bytes.head.data() : lane.hasher.head(), kFingerprintHead));
    else
        run.descriptor.AddChunkRecord(chunk.chunkIndex, chunk.chunkPath);
    return run.descriptor.failed() ? -1 : 0;
}

// Chunk i of the split, to be read from readPosition on.
ChunkJob MakeChunkJob(const SplitRun& run, int64_t i, int64_t readPosition) {
    ChunkJob chunk;
    chunk.sourcePath = run.sourcePath;
    chunk.chunkIndex = static_cast<int32_t>(i);
    chunk.chunkPath = ChunkFilePath(run.names.chunkFolder, run.names.stem, chunk.chunkIndex);
    chunk.readPosition = readPosition;
    chunk.length = run.job.chunkSize;
    return chunk;
}

// What a chunk in memory is recorded by.
struct ChunkSums {
    std::string fingerprint;
    Digest128 checksum{};
};

// Records the chunks from first on by their sums, in order.
int RecordChunks(SplitRun& run, int64_t first, const std::vector<ChunkSums>& sums) {
    for (std::size_t j = 0; j < sums.size(); ++j) {
        const auto index = static_cast<int32_t>(first + static_cast<int64_t>(j));
        if (run.writeChecksums && run.checksums.Add(ChunkFileName(run.names.stem, index), sums[j].checksum) != 0)
            return -1;
        run.descriptor.AddChunkRecordOf(index, sums[j].fingerprint);
        if (run.descriptor.failed()) return -1;
    }
    return 0;
}

// The fingerprint and checksum of each chunk of a block in memory.
void SumChunks(const SplitRun& run, const char* block, int64_t blockLength, std::vector<ChunkSums>& sums) {
    for (std::size_t j = 0; j < sums.size(); ++j) {
        const int64_t at = static_cast<int64_t>(j) * run.job.chunkSize;
        const auto length = static_cast<std::size_t>(std::clamp<int64_t>(blockLength - at, 0, run.job.chunkSize));
        const char* bytes = block + std::min(at, blockLength);
        sums[j].fingerprint = FingerprintOfBytes(static_cast<int64_t>(length), bytes, length);
        if (!run.writeChecksums) continue;
        ChunkHasher hasher;
        hasher.Update(bytes, length);
        sums[j].checksum = hasher.Final();
    }
}

// A source without holes cut into small chunks: read a block of chunks at a
// time, each chunk written with one create, one write and one close, while
// a second thread works out the block's fingerprints and checksums from the
// same bytes. A source that ends early gives a short chunk, which the check
// of the total after the last one refuses.
int WriteChunksFromHand(SplitRun& run, int source) {
    // Up to 2 MiB and 4096 chunks a block: what is held per chunk stays a few
    // hundred KiB however small the chunks.
    constexpr int64_t kBlock = 2 << 20, kChunksPerBlock = 4096;
    const int64_t chunkSize = run.job.chunkSize;
    const int64_t perBlock = std::clamp<int64_t>(kBlock / chunkSize, 1, kChunksPerBlock);
    run.inHand.resize(static_cast<std::size_t>(perBlock * chunkSize));
    std::vector<ChunkSums> sums;
    for (int64_t first = 0; first < run.chunkCount; first += perBlock) {
        const int64_t count = std::min(perBlock, run.chunkCount - first);
        const int64_t n =
            ReadAt(source, run.inHand.data(), static_cast<std::size_t>(count * chunkSize), first * chunkSize);
        if (n < 0) return Fail("cannot read", run.sourcePath, errno);
        sums.resize(static_cast<std::size_t>(count));
        std::jthread summing;
        try {
            summing = std::jthread([&run, &sums, n] { SumChunks(run, run.inHand.data(), n, sums); });
        } catch (const std::system_error&) {
            SumChunks(run, run.inHand.data(), n, sums);
        }
        for (int64_t j = 0; j < count; ++j) {
            const auto index = static_cast<int32_t>(first + j);
            const int64_t at = j * chunkSize;
            const int64_t length = std::clamp<int64_t>(n - at, 0, chunkSize);
            UniqueFd out;
            if (OpenChunk(run, index, out) != 0) return -1;
            const std::string path = ChunkFilePath(run.names.chunkFolder, run.names.stem, index);
            if (WriteAll(out.get(), run.inHand.data() + std::min(at, n), static_cast<std::size_t>(length)) != 0)
                return Fail("cannot write", path, errno);
            if (run.flushEachFile && run.durability.FlushFile(out.get(), path) != 0) return -1;
            if (out.Close() != 0) return Fail("cannot write chunk", path, errno);
            if (CountBlock(length) != 0) return -1;
            run.copied += length;
        }
        if (summing.joinable()) summing.join();
        if (RecordChunks(run, first, sums) != 0) return -1;
    }
    return 0;
}

// The chunk's bytes are hashed from the source as they pass through memory,
// or, where the kernel's copy may share blocks, on the lane's hasher thread
// while the kernel copies them; never read back from the chunk afterwards:
// a source that changes under the split fails it at the check of the source
// that follows the last chunk. Returns the bytes copied, or -1 with the last
// error.
int64_t CopyRangeToChunk(const SplitRun& run, CopyLane& lane, int source, const ChunkJob& chunk, int out) {
    const int64_t expected = std::min(chunk.length, run.job.totalSize - chunk.readPosition);
    if (ReserveData(source, chunk.sourcePath, chunk.readPosition, chunk.length, out, 0, chunk.chunkPath) != 0)
        return -1;
    lane.bytes.Reset();
    lane.copier.ShowBytesTo(run.writeChecksums && run.copyThroughMemory ? &lane.bytes : nullptr);
    if (run.writeChecksums && !lane.copier.showing() &&
        (lane.hasher.Start(source, run.sourcePath, chunk.readPosition) != 0 || lane.hasher.HashUpTo(expected) != 0))
        return -1;
    return lane.copier.Copy(source, chunk.sourcePath, chunk.readPosition, out, chunk.chunkPath, chunk.length);
}

// Chunk first, and the next one on the second lane when there is one: a copy
// into the page cache keeps a core busy, so two at once take about half the
// time. Both are finished in order, as one at a time would be.
int CopyChunkPair(SplitRun& run, int source, int64_t first) {
    const int64_t count = run.pairLane != nullptr ? std::min<int64_t>(2, run.chunkCount - first) : 1;
    ChunkJob chunks[2];
    UniqueFd outs[2];
    int64_t copied[2] = {-1, -1};
    for (int64_t j = 0; j < count; ++j) {
        chunks[j] = MakeChunkJob(run, first + j, (first + j) * run.job.chunkSize);
        if (OpenChunk(run, chunks[j].chunkIndex, outs[j]) != 0) return -1;
    }
    std::string firstFailure;
    {
        std::jthread second;
        if (count == 2) {
            auto copySecond = [&] {
                copied[1] = CopyRangeToChunk(run, *run.pairLane, source, chunks[1], outs[1].get());
            };
            try {
                second = std::jthread(copySecond);
            } catch (const std::system_error&) {
                copySecond();
            }
        }
        copied[0] = CopyRangeToChunk(run, run.lane, source, chunks[0], outs[0].get());
        // The first chunk's reason is the one to report: the second may fail
        // after it and set its own.
        if (copied[0] < 0) firstFailure = GetLastErrorText();
    }
    if (copied[0] < 0) return Fail(firstFailure);
    CopyLane* lanes[2] = {&run.lane, run.pairLane.get()};
    for (int64_t j = 0; j < count; ++j) {
        if (copied[j] < 0) return -1;
        run.copied += copied[j];
        if (FinishChunk(run, *lanes[j], outs[j], chunks[j], copied[j]) != 0) return -1;
    }
    return 0;
}

int32_t RecoveryFilesOf(const SplitRun& run) {
    return RecoveryFilesPerGroup({run.job.recoveryCount, run.job.recoveryPercent}, run.chunkCount);
}

// The recovery files the job asks for: set's layout has perGroup 0 when none.
int PlanRecovery(const SplitRun& run, RecoverySet& set) {
    // A stream's size is known only at its end; its front ends refuse this first.
    if ((run.job.recoveryCount != 0 || run.job.recoveryPercent != 0) && run.job.totalSize < 0)
        return Fail("a split of a stream writes no recovery files");
    const int32_t perGroup = RecoveryFilesOf(run);
    if (perGroup == 0) return 0;
    set.folderFd = run.chunkDir.get();
    set.folder = run.names.chunkFolder;
    set.stem = run.names.stem;
    set.chunkSize = std::min(run.job.chunkSize, run.job.totalSize);
    set.totalSize = run.job.totalSize;
    // Made durable with the chunks' side files, by the syncfs before the
    // descriptor takes its name, or each where that does not reach the disk.
    set.durability = run.sideFiles;
    set.flushEachFile = run.flushEachFile;
    return MakeRecoveryLayout(run.chunkCount, perGroup, set.layout);
}

// After the last chunk: the source is as large as it was, and all of it went
// into the chunks.
int FinishSingleFile(SplitRun& run, int source) {
    struct stat st {};
    if (::fstat(source, &st) != 0) return Fail("cannot read", run.sourcePath, errno);
    if (st.st_size != run.job.totalSize || run.copied != run.job.totalSize)
        return Fail("'" + run.sourcePath + "' changed while it was split");
    return run.meta.Add(MetaEntryOf('F', st, "."));
}

// A source without holes with recovery files: each group's chunks are
// written with its recovery files in one pass, a stripe at a time, from the
// source's bytes as they are read, so that no chunk is read back. Chunk i is
// in group i mod G: the records wait for the last group to go in order.
int SplitInStripes(SplitRun& run, int source) {
    RecoverySet set;
    if (PlanRecovery(run, set) != 0) return -1;
    std::vector<ChunkSums> sums(static_cast<std::size_t>(run.chunkCount));
    std::vector<UniqueFd> chunks;
    std::vector<ChunkJob> jobs;
    GroupInputs inputs;
    inputs.open = [&](int32_t group, std::vector<Shard>& in) {
        chunks.clear();
        jobs.clear();
        for (int32_t j = 0; j < set.layout.DataIn(group); ++j) {
            const int32_t index = set.layout.ChunkAt(group, j);
            ChunkJob& chunk = jobs.emplace_back(MakeChunkJob(run, index, index * run.job.chunkSize));
            chunk.length = set.ChunkLength(index);
            UniqueFd& out = chunks.emplace_back();
            if (OpenChunk(run, index, out) != 0 || ReserveData(source, chunk.sourcePath, chunk.readPosition,
                                                               chunk.length, out.get(), 0, chunk.chunkPath) != 0)
                return -1;
            Shard& shard = in.emplace_back(source, chunk.sourcePath, chunk.length);
            shard.base = chunk.readPosition;
            shard.copyFd = out.get();
            shard.copyPath = chunk.chunkPath;
        }
        return 0;
    };
    inputs.done = [&](int32_t, const ShardSums& got) {
        for (std::size_t j = 0; j < jobs.size(); ++j) {
            const ChunkJob& chunk = jobs[j];
            if (FlushBehind(run, chunks[j].get(), chunk.chunkPath, chunk.length) != 0) return -1;
            if (chunks[j].Close() != 0) return Fail("cannot write chunk", chunk.chunkPath, errno);
            sums[static_cast<std::size_t>(chunk.chunkIndex)] = {
                FingerprintOfBytes(chunk.length, got.heads[j].data(), got.heads[j].size()), got.hashes[j].Final()};
            run.copied += chunk.length;
        }
        return 0;
    };
    if (WriteRecoveryFiles(set, run.recoveryMade, inputs) != 0 || RecordChunks(run, 0, sums) != 0) return -1;
    run.recoveryWritten = true;
    return FinishSingleFile(run, source);
}

int SplitSingleFile(SplitRun& run) {
    UniqueFd source = OpenForReading(run.sourcePath);
    if (!source.valid()) return Fail("cannot open", run.sourcePath, errno);
    struct stat before {};
    if (::fstat(source.get(), &before) != 0) return Fail("cannot read", run.sourcePath, errno);
    const bool inHand =
        run.job.chunkSize <= kInHandLimit && static_cast<int64_t>(before.st_blocks) * 512 >= before.st_size;
    if (run.job.chunkSize > StripedChunkMinimum() && HasNoHoles(before) && RecoveryFilesOf(run) > 0)
        return SplitInStripes(run, source.get());
    if (inHand && WriteChunksFromHand(run, source.get()) != 0) return -1;
    if (!inHand && run.chunkCount > 1 && std::thread::hardware_concurrency() > 1)
        run.pairLane = std::make_unique<CopyLane>();
    run.copyThroughMemory = !KernelCopyMayShareBlocks(source.get(), run.chunkDir.get());
    for (int64_t i = 0; !inHand && i < run.chunkCount; i += run.pairLane != nullptr ? 2 : 1) {
        if (CopyChunkPair(run, source.get(), i) != 0) return -1;
    }
    return FinishSingleFile(run, source.get());
}

// Closes a chunk cut from a stream and records it.
int FinishStreamChunk(SplitRun& run, UniqueFd& out, int64_t length, const ChunkHasher& hasher,
                      const std::string& head) {
    const auto index = static_cast<int32_t>(run.chunkCount);
    const std::string path = ChunkFilePath(run.names.chunkFolder, run.names.stem, index);
    if (FlushBehind(run, out.get(), path, length) != 0) return -1;
    if (out.Close() != 0) return Fail("cannot write chunk", path, errno);
    if (run.writeChecksums && run.checksums.Add(ChunkFileName(run.names.stem, index), hasher.Final()) != 0) return -1;
    run.descriptor.AddChunkRecordOf(index, FingerprintOfBytes(length, head.data(), head.size()));
    ++run.chunkCount;
    return run.descriptor.failed() ? -1 : 0;
}

// Waits for the stream to have bytes or end; a cancel is seen within a
// quarter second even while the writer is silent.
int WaitForStream(const SplitRun& run) {
    for (;;) {
        struct pollfd ready {
            run.stream, POLLIN, 0
        };
        const int n = ::poll(&ready, 1, 250);
        if (n > 0) return 0;
        if (n < 0 && errno != EINTR) return Fail("cannot read the stream of", run.names.sourceName, errno);
        if (CheckCancel() != 0) return -1;
    }
}

// The stream cut into chunks as it arrives, read through a buffer so that
// its bytes are hashed as they pass: each chunk is created at its first
// byte, so an empty stream makes no chunk and one that ends at a chunk's end
// no empty one after it.
int SplitStream(SplitRun& run) {
    constexpr int64_t kBuffer = 1 << 20;
    run.inHand.resize(static_cast<std::size_t>(std::min(kBuffer, run.job.chunkSize)));
    UniqueFd out;
    ChunkHasher hasher;
    std::string head;
    int64_t inChunk = 0;
    for (;;) {
        if (WaitForStream(run) != 0) return -1;
        const auto want =
            static_cast<std::size_t>(std::min(static_cast<int64_t>(run.inHand.size()), run.job.chunkSize - inChunk));
        const ssize_t n = ::read(run.stream, run.inHand.data(), want);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n < 0) return Fail("cannot read the stream of", run.names.sourceName, errno);
        if (n == 0) break;
        const auto index = static_cast<int32_t>(run.chunkCount);
        if (!out.valid()) {
            if (run.chunkCount >= run.maxChunks) {
                if (run.report != nullptr) run.report->chunkLimitReached = true;
                return Fail("the stream of '" + run.names.sourceName + "' makes more than " +
                            FormatCount(run.maxChunks) + " chunks");
            }
            if (OpenChunk(run, index, out) != 0) return -1;
            hasher.Reset();
            head.clear();
        }
        const auto length = static_cast<std::size_t>(n);
        if (WriteAll(out.get(), run.inHand.data(), length) != 0)
            return Fail("cannot write", ChunkFilePath(run.names.chunkFolder, run.names.stem, index), errno);
        if (run.writeChecksums) hasher.Update(run.inHand.data(), length);
        if (head.size() < kFingerprintHead)
            head.append(run.inHand.data(), std::min(length, kFingerprintHead - head.size()));
        inChunk += n;
        run.copied += n;
        if (CountBlock(n) != 0) return -1;
        if (inChunk == run.job.chunkSize) {
            if (FinishStreamChunk(run, out, inChunk, hasher, head) != 0) return -1;
            inChunk = 0;
        }
    }
    if (out.valid() && FinishStreamChunk(run, out, inChunk, hasher, head) != 0) return -1;
    // A writer stopped by the same Ctrl-C ends the stream early: the set
    // must not look whole.
    if (CheckCancel() != 0) return -1;
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return run.meta.Add(MetaEntry{'F', 0644, static_cast<int64_t>(now.tv_sec), static_cast<int64_t>(now.tv_nsec), "."});
}

std::string RelativePath(const SplitRun& run, const std::string& path) {
    return path.substr(run.sourcePath.size() + 1);
}

// The folder's files laid end to end as one stream, walked afresh as the
// split goes. The current file stays open from one chunk to the next. The
// metadata file follows the walk: each folder as it is entered, each file
// when it is first looked at.
struct FileCursor {
    // The walk does not measure: each file is measured by fstat once it is
    // open, which saves a stat by path per file.
    explicit FileCursor(SplitRun& splitRun) : run(splitRun), walker(splitRun.sourcePath, true, false) {
        walker.YieldFolders();
    }
    // Moves to the next file. 0, or -1 with the last error.
    int Advance() {
        fd = UniqueFd();
        readPosition = 0;
        recorded = false;
        sparse = false;
        while ((more = walker.Next(file)) && file.folder) {
            struct stat st {};
            if (::lstat(file.path.c_str(), &st) != 0) return Fail("cannot read", file.path, errno);
            if (run.meta.Add(MetaEntryOf('D', st, RelativePath(run, file.path))) != 0) return -1;
        }
        return 0;
    }
    int Record(const struct stat& st) {
        recorded = true;
        return run.meta.Add(MetaEntryOf('F', st, RelativePath(run, file.path)));
    }
    SplitRun& run;
    FolderWalker walker;
    WalkEntry file;
    bool more = false;
    bool recorded = false;  // the current file's metadata entry is written
    int64_t readPosition = 0;
    UniqueFd fd;
    // Fewer blocks than bytes: the file has holes, which a gathered piece
    // would write out as zeros.
    bool sparse = false;
};

// Writes one chunk of a folder split and records each piece in it. A file's
// end is found by the read that returns nothing, so a file that ends exactly
// where a chunk ends gets one more record, of length 0, in the next chunk.
int FillChunkFromFiles(SplitRun& run, FileCursor& cursor, const ChunkJob& chunk) {
    UniqueFd out;
    if (OpenChunk(run, chunk.chunkIndex, out) != 0 || FollowChunk(run, chunk) != 0) return -1;
    int64_t written = 0;
    while (cursor.more) {
        if (CheckCancel() != 0) return -1;
        const std::string& path = cursor.file.path;
        if (!cursor.fd.valid()) {
            cursor.fd = OpenForReading(path);
            if (!cursor.fd.valid()) return Fail("cannot open", path, errno);
            struct stat st {};
            if (::fstat(cursor.fd.get(), &st) != 0) return Fail("cannot read", path, errno);
            if (cursor.file.size < 0) cursor.file.size = st.st_size;
            cursor.sparse = static_cast<int64_t>(st.st_blocks) * 512 < st.st_size;
            if (cursor.Record(st) != 0) return -1;
        }
        const int64_t pieceStart = written;
        const int64_t space = chunk.length - written;
        const int64_t expected = cursor.file.size - cursor.readPosition;
        bool fileEnded = false;
        int64_t n = 0;
        if (expected >= 0 && expected < space && !cursor.sparse && run.lane.copier.Gathers(expected)) {
            n = run.lane.copier.Gather(cursor.fd.get(), path, cursor.readPosition, expected, out.get(), chunk.chunkPath,
                                       fileEnded);
            if (n < 0) return -1;
        }
        if (!fileEnded) {
            // Room is claimed piece by piece, for the data alone: a file's
            // holes stay holes in the chunk. Gathered pieces go out from
            // memory at once and claim nothing.
            const int64_t from = cursor.readPosition + n;
            if (ReserveData(cursor.fd.get(), path, from, space - n, out.get(), written + n, chunk.chunkPath) != 0)
                return -1;
            // Copy writes out what Gather held back first, so everything up
            // to written + n is in the chunk when the hasher follows.
            int64_t more = CopyAndHash(run.lane.copier, cursor.fd.get(), path, from, out.get(), chunk.chunkPath,
                                       space - n, run.lane.hasher, written + n);
            if (more < 0) return -1;
            n += more;
            fileEnded = n < space;
        }
        written += n;
        cursor.readPosition += n;
        // Small files wait in the copier's block; what went out may be hashed.
        if (run.lane.hasher.HashUpTo(written - run.lane.copier.held()) != 0) return -1;
        run.descriptor.AddFileRecord(RelativePath(run, path), chunk.chunkIndex, pieceStart, written - pieceStart);
        if (!fileEnded) break;
        if (cursor.Advance() != 0) return -1;
    }
    if (cursor.walker.failed() || run.lane.copier.Flush() != 0) return -1;
    run.copied += written;
    return FinishChunk(run, run.lane, out, chunk, written);
}

// After the last chunk: the files the chunks did not reach must hold no more
// bytes than were taken from them. Those left empty are still recorded, with
// a zero-length piece at the end of the last chunk, so that the join makes them.
int FinishFolder(SplitRun& run, FileCursor& cursor, int64_t lastChunkLength) {
    const int32_t lastChunk = run.chunkCount > 0 ? static_cast<int32_t>(run.chunkCount - 1) : 0;
    for (bool first = true; cursor.more; first = false) {
        const std::string& path = cursor.file.path;
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) return Fail("cannot read", path, errno);
        const int64_t taken = first ? cursor.readPosition : 0;
        if (st.st_size != taken) return Fail("'" + path + "' changed while it was split");
        if (!first || taken == 0) run.descriptor.AddFileRecord(RelativePath(run, path), lastChunk, lastChunkLength, 0);
        if (!cursor.recorded && cursor.Record(st) != 0) return -1;
        if (cursor.Advance() != 0) return -1;
    }
    if (cursor.walker.failed()) return -1;
    if (run.copied != run.job.totalSize) return Fail("'" + run.sourcePath + "' changed while it was split");
    return run.descriptor.failed() ? -1 : 0;
}

int SplitFolder(SplitRun& run) {
    struct stat st {};
    if (::stat(run.sourcePath.c_str(), &st) != 0) return Fail("cannot read", run.sourcePath, errno);
    if (run.meta.Add(MetaEntryOf('D', st, ".")) != 0) return -1;
    FileCursor cursor(run);
    if (cursor.Advance() != 0) return -1;
    int64_t lastChunkLength = 0;
    for (int64_t i = 0; i < run.chunkCount; ++i) {
        // The cursor carries the read position from chunk to chunk.
        const int64_t before = run.copied;
        if (FillChunkFromFiles(run, cursor, MakeChunkJob(run, i, 0)) != 0) return -1;
        lastChunkLength = run.copied - before;
    }
    return FinishFolder(run, cursor, lastChunkLength);
}

bool IsInside(const std::string& folder, const std::string& root) {
    return folder == root || (folder.size() > root.size() && folder.compare(0, root.size(), root) == 0 &&
                              (root.back() == '/' || folder[root.size()] == '/'));
}

std::string RealPath(const std::string& path) {
    std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr), &std::free);
    return resolved ? std::string(resolved.get()) : std::string();
}

// Everything that can be refused is refused here, before anything is written.
// Most checks need only the names. The files are measured only when the
// chunk folder already holds files, since only then can a source file be one
// of them. Whether the sizes still add up to the job's total is checked as
// the split goes.
int PrepareFolder(SplitRun& run) {
    FolderWalker walker(run.sourcePath, true, !run.existing.empty());
    walker.YieldFolders();
    if (run.report != nullptr) {
        walker.OnPassedOver([&run](const std::string& path, PassedOverKind kind) {
            run.report->passedOver.push_back(PassedOverEntry{kind, path});
        });
    }
    WalkEntry file;
    bool holdsFiles = false;
    while (walker.Next(file)) {
        holdsFiles = holdsFiles || !file.folder;
        if (CheckCancel() != 0) return -1;
        const std::string relative = RelativePath(run, file.path);
        if (relative.size() > kMaxNameBytes)
            return Fail("the path '" + relative + "' is longer than " + std::to_string(kMaxNameBytes) + " bytes");
        if (CheckPathLength(file.path) != 0 || (!file.folder && RefuseIfExisting(run, file) != 0)) return -1;
    }
    if (walker.failed()) return -1;
    // Its chunk set would join back as a file, not as a folder.
    if (!holdsFiles) return Fail("'" + run.sourcePath + "' holds no files: nothing to split");
    const std::string source = RealPath(run.sourcePath);
    // The chunk folder too, should it already be a link into the source.
    for (const std::string& output : {RealPath(run.job.outputFolder), RealPath(run.names.chunkFolder)}) {
        if (!source.empty() && !output.empty() && IsInside(output, source))
            return Fail("cannot split '" + run.sourcePath + "' into a folder inside it");
    }
    return 0;
}

// A descriptor, metadata or checksum file left by an earlier set.
int RemoveStale(const SplitRun& run, const std::string& path) {
    const std::string name = GetLastPathComponent(path);
    if (::unlinkat(run.chunkDir.get(), name.c_str(), 0) != 0 && errno != ENOENT)
        return Fail("cannot remove old", path, errno);
    return 0;
}

// The new set owns the chunk folder: no chunk file of the stem from an
// earlier set may stay beside it, nor outlive a split that fails.
int RemoveOldChunks(const SplitRun& run) {
    std::vector<std::string> stale;
    if (ListFolderNamesAt(run.chunkDir.get(), run.names.chunkFolder, [&](std::string_view name) {
            if (ChunkNumberOfName(name, run.names.stem) >= 0 || IsRecoveryName(name, run.names.stem))
                stale.emplace_back(name);
        }) != 0)
        return -1;
    for (const std::string& name : stale) {
        if (::unlinkat(run.chunkDir.get(), name.c_str(), 0) != 0 && errno != ENOENT)
            return Fail("cannot remove old chunk", run.names.chunkFolder + "/" + name, errno);
    }
    return 0;
}

// The chunk folder, never through a link; invalid without an error when
// there is none yet.
int OpenExistingChunkFolder(int outputDir, const ChunkSetNames& names, UniqueFd& chunkDir) {
    const std::string name = GetLastPathComponent(names.chunkFolder);
    chunkDir = OpenFolderAt(outputDir, name);
    if (chunkDir.valid() || errno == ENOENT) return 0;
    struct stat st {};
    if ((errno == ELOOP || errno == ENOTDIR) && ::fstatat(outputDir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISLNK(st.st_mode))
        return Fail("refusing to split into '" + names.chunkFolder + "': it is a symbolic link");
    return Fail("cannot open the chunk folder", names.chunkFolder, errno);
}

UniqueFd OpenOutputFolder(const std::string& outputFolder) {
    UniqueFd dir = OpenFolder(outputFolder, true);
    if (!dir.valid()) Fail("cannot open the output folder", outputFolder, errno);
    return dir;
}

// Looks at the chunk folder open as chunkDir (invalid: there is none). A
// totalSize below 0 matches any size: a stream's set is known by its name.
int LookForOtherSet(int chunkDir, const ChunkSetNames& names, int64_t totalSize, std::string& heldSource) {
    heldSource.clear();
    const std::string& folder = names.chunkFolder;
    if (chunkDir < 0) return 0;

    DescriptorHeader header{};
    const bool readable =
        ReadDescriptorHeaderAt(chunkDir, header) == 0 && FieldIsTerminated(header.sourceName, sizeof header.sourceName);
    const std::string held = readable ? FieldText(header.sourceName, sizeof header.sourceName) : std::string();
    std::string heldStem = held;
    StripExtension(heldStem);
    const bool sameSource = readable && held == names.sourceName && (totalSize < 0 || header.totalSize == totalSize);
    // Chunk files of the stem belong to the descriptor only when it names that stem.
    const bool stemIsItsOwn = readable && heldStem == names.stem;
    bool holdsItsChunks = false, holdsUnknownChunks = false;
    if (ListFolderNamesAt(chunkDir, folder, [&](std::string_view name) {
            if (readable && !sameSource) {
                const int64_t n = ChunkNumberOfName(name, heldStem);
                if (n >= 0 && n < header.chunkCount) holdsItsChunks = true;
            }
            if (!stemIsItsOwn && (ChunkNumberOfName(name, names.stem) >= 0 || IsRecoveryName(name, names.stem)))
                holdsUnknownChunks = true;
        }) != 0)
        return -1;
    if (holdsItsChunks) {
        heldSource = held;
        Fail("'" + folder + "' already holds the chunk set of '" + held + "'");
        return 1;
    }
    // Beside an unlocked marker they are what a dead split left.
    if (holdsUnknownChunks && !HoldsDeadTemporary(chunkDir)) {
        Fail("'" + folder + "' already holds chunk files of an unknown chunk set");
        return 1;
    }
    return 0;
}

std::string JoinScriptPath(const SplitRun& run) { return run.names.chunkFolder + "/" + JoinScriptName(run.names.stem); }

// The script goes in place before the descriptor, as the other files beside it.
int PlaceJoinScript(SplitRun& run) {
    if (!run.writeScript) return 0;
    if (run.script.Open(run.chunkDir.get(), JoinScriptPath(run)) != 0 ||
        run.script.Append(JoinScriptText(run.names.sourceName, run.names.stem, run.chunkCount, run.job.chunkSize,
                                         run.copied, run.writeChecksums)) != 0 ||
        run.script.Commit(run.sideFiles) != 0)
        return -1;
    run.scriptPlaced = true;
    return 0;
}

// Why a join script that was asked for is not written; "" when it is.
std::string NoJoinScriptReason(const SplitRun& run, bool folder) {
    if (run.job.joinScript != 1) return "";
    if (folder) return "no join script: a folder set needs Partwise to rebuild the tree";
    if (run.job.password[0] != '\0') return "no join script: it would join the chunks without the password";
    // Its name must fit where the stem did.
    if (JoinScriptName(run.names.stem).size() > kMaxNameBytes)
        return "no join script: its name would be longer than " + std::to_string(kMaxNameBytes) + " bytes";
    return "";
}

// Takes back what a split that did not finish wrote: the chunk files it
// created or replaced, the temporary files of its descriptor and checksum
// file, its marker, and the chunk folder when the split made it and nothing
// else is in it. Everything is closed first: a FUSE file system keeps an
// open file that is unlinked as a hidden one. Adds to the last error what it
// could not remove, or that nothing was left behind.
void RemoveUnfinishedSet(SplitRun& run) {
    run.descriptor.Discard();
    run.meta.Discard();
    run.checksums.Discard();
    run.script.Discard();
    run.pendingFlush = UniqueFd();
    run.lane.hasher.Start(-1, std::string());
    if (run.pairLane != nullptr) run.pairLane->hasher.Start(-1, std::string());
    const int dir = run.chunkDir.get();
    std::string notRemoved;
    int64_t notRemovedCount = 0;
    auto remove = [&](const std::string& name) {
        if (::unlinkat(dir, name.c_str(), 0) == 0 || errno == ENOENT) return;
        if (notRemovedCount++ == 0)
            notRemoved = "could not remove '" + run.names.chunkFolder + "/" + name + "': " + std::strerror(errno);
    };
    // The descriptor first: killed half-way, the clean-up must not leave one
    // that stands for a whole set.
    if (run.descriptorPlaced) remove(kDescriptorFileName);
    if (run.metaPlaced) remove(GetLastPathComponent(MetaFilePath(run.names.chunkFolder, run.names.stem)));
    if (run.checksumsPlaced) remove(GetLastPathComponent(ChecksumFilePath(run.names.chunkFolder, run.names.stem)));
    if (run.scriptPlaced) remove(JoinScriptName(run.names.stem));
    for (int64_t i = 0; i < run.chunksStarted; ++i) remove(ChunkFileName(run.names.stem, static_cast<int32_t>(i)));
    for (const std::string& name : run.recoveryMade) remove(name);
    run.marker = UniqueFd();
    if (!run.markerName.empty()) remove(run.markerName);
    std::string text = GetLastErrorText();
    // A folder that holds what others put there stays, and is named.
    if (run.madeFolder) {
        const std::string name = GetLastPathComponent(run.names.chunkFolder);
        run.chunkDir = UniqueFd();
        if (::unlinkat(run.outputDir.get(), name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT) {
            if (notRemovedCount++ == 0)
                notRemoved =
                    "could not remove the chunk folder '" + run.names.chunkFolder + "': " +
                    (errno == ENOTEMPTY || errno == EEXIST ? std::string("it holds files the split did not write")
                                                           : std::string(std::strerror(errno)));
        }
    }
    if (notRemovedCount == 0)
        text += "; nothing was left behind";
    else
        text += "; " + notRemoved +
                (notRemovedCount > 1 ? " (and " + std::to_string(notRemovedCount - 1) + " more)" : std::string());
    SetLastErrorText(text);
}

// Parity of the chunks just written, read back while the page cache still
// holds them, unless the split made it with them.
int WriteRecovery(SplitRun& run) {
    RecoverySet set;
    if (run.recoveryWritten) return 0;
    if (PlanRecovery(run, set) != 0) return -1;
    if (set.layout.perGroup == 0) return 0;
    // The chunks are read once more.
    Progress().totalBytes += run.job.totalSize;
    return WriteRecoveryFiles(set, run.recoveryMade);
}

// From here on the split changes the chunk folder, which it holds locked.
int WriteChunkSet(SplitRun& run, bool folder) {
    const int dir = run.chunkDir.get();
    run.durability = Durability(run.job.skipFlush != 1);
    run.flushEachFile = run.durability.enabled() && Durability::PerFile(dir);
    run.durability.FlushWholeFileSystem(!run.flushEachFile);
    run.sideFiles = Durability(run.flushEachFile);
    // Whatever a dead job left here goes first, and this split's marker
    // tells any later one that chunk files without a descriptor are its own.
    SweepTemporaries(dir);
    if (CreateTemporaryAt(dir, run.names.chunkFolder, run.marker, run.markerName) != 0) return -1;
    const std::string metaPath = MetaFilePath(run.names.chunkFolder, run.names.stem);
    const std::string checksumPath = ChecksumFilePath(run.names.chunkFolder, run.names.stem);
    if (RemoveStale(run, BuildDescriptorPath(run.names.chunkFolder)) != 0 || RemoveStale(run, metaPath) != 0 ||
        RemoveStale(run, checksumPath) != 0 || RemoveStale(run, JoinScriptPath(run)) != 0 || RemoveOldChunks(run) != 0)
        return -1;
    AtStep("split: writing");
    const bool stream = run.stream >= 0;
    ResetDescriptor(run.names.chunkFolder);
    SetSourceName(run.names.sourceName);
    // A stream's chunk records may go as far as its largest count.
    SetChunkCount(static_cast<int32_t>(stream ? run.maxChunks : run.chunkCount));
    SetTotalSize(run.job.totalSize);
    if (run.job.password[0] != '\0') SetPasswordDigest(run.job.password);
    if (run.descriptor.Open(dir) != 0 || run.meta.Open(dir, metaPath) != 0) return -1;
    run.writeChecksums = (stream || run.chunkCount > 0) && StemFitsChecksumFile(run.names.stem);
    if (run.writeChecksums && run.checksums.Open(dir, checksumPath) != 0) return -1;
    if ((stream ? SplitStream(run) : folder ? SplitFolder(run) : SplitSingleFile(run)) != 0 || WriteRecovery(run) != 0)
        return -1;
    if (stream) {
        SetChunkCount(static_cast<int32_t>(run.chunkCount));
        SetTotalSize(run.copied);
        // As for an empty file: no checksum file.
        if (run.chunkCount == 0) run.checksums.Discard();
        run.writeChecksums = run.writeChecksums && run.chunkCount > 0;
    }
    // On the disk in this order: the chunks, the files beside them, the
    // descriptor, which makes the set whole, and the folders' entries. A set
    // cut short by a power loss then has no descriptor.
    FlushPhase flushing;
    if (FlushPending(run) != 0 || run.meta.Commit(run.sideFiles) != 0) return -1;
    run.metaPlaced = true;
    if (run.writeChecksums && run.checksums.Commit(run.sideFiles) != 0) return -1;
    run.checksumsPlaced = run.writeChecksums;
    if (PlaceJoinScript(run) != 0 || run.descriptor.Commit(run.durability) != 0) return -1;
    run.descriptorPlaced = true;
    run.marker = UniqueFd();
    ::unlinkat(dir, run.markerName.c_str(), 0);
    if (run.durability.FlushFolder(dir, run.names.chunkFolder) != 0) return -1;
    return run.madeFolder ? run.durability.FlushFolder(run.outputDir.get(), run.job.outputFolder) : 0;
}

// Opens the chunk folder, making it when there is none, and locks it for
// this split alone.
int TakeChunkFolder(SplitRun& run) {
    run.outputDir = OpenOutputFolder(run.job.outputFolder);
    if (!run.outputDir.valid() || OpenExistingChunkFolder(run.outputDir.get(), run.names, run.chunkDir) != 0) return -1;
    if (!run.chunkDir.valid()) {
        const std::string name = GetLastPathComponent(run.names.chunkFolder);
        const bool made = ::mkdirat(run.outputDir.get(), name.c_str(), 0777) == 0;
        if (!made && errno != EEXIST) return Fail("cannot create folder", run.names.chunkFolder, errno);
        run.madeFolder = made;
        if (OpenExistingChunkFolder(run.outputDir.get(), run.names, run.chunkDir) != 0) return -1;
        if (!run.chunkDir.valid()) return Fail("cannot open the chunk folder", run.names.chunkFolder, errno);
    }
    if (LockFolder(run.chunkDir.get(), true, run.names.chunkFolder, "split") == 0) return 0;
    // Another split took the folder this one made: it is that split's now.
    run.madeFolder = false;
    return -1;
}

// A refused split leaves no folder it made.
int GiveBackChunkFolder(SplitRun& run) {
    run.chunkDir = UniqueFd();
    if (run.madeFolder)
        ::unlinkat(run.outputDir.get(), GetLastPathComponent(run.names.chunkFolder).c_str(), AT_REMOVEDIR);
    return -1;
}

// Each name the set will hold must fit one folder entry.
int CheckNameLengths(const SplitRun& run, int32_t lastIndex) {
    const std::string& stem = run.names.stem;
    for (const std::string& name :
         {GetLastPathComponent(run.names.chunkFolder), ChunkFileName(stem, lastIndex),
          GetLastPathComponent(ChecksumFilePath(".", stem)), GetLastPathComponent(MetaFilePath(".", stem))}) {
        if (name.size() > kMaxNameBytes)
            return Fail("the name '" + run.names.sourceName + "' is too long to split: the chunk set's name '" + name +
                        "' would be longer than " + std::to_string(kMaxNameBytes) + " bytes");
    }
    return 0;
}

// What every split does first: the counters and the report reset, the job's
// texts and chunk size checked.
int StartSplit(const SplitJob& job, SplitReport* report, int64_t totalBytes) {
    ClearLastError();
    IgnoreFileSizeSignal();
    if (report != nullptr) *report = SplitReport();
    Progress().bytesDone = 0;
    Progress().totalBytes = totalBytes;
    if (!FieldIsTerminated(job.sourcePath, sizeof job.sourcePath) ||
        !FieldIsTerminated(job.outputFolder, sizeof job.outputFolder) ||
        !FieldIsTerminated(job.password, sizeof job.password))
        return Fail("the split job holds a text without its terminating NUL");
    if (job.chunkSize <= 0) return Fail("the chunk size must be greater than 0, not " + std::to_string(job.chunkSize));
    return 0;
}

// The names and paths of the set, up to chunk lastIndex, must be ones the
// system takes.
int CheckSetNames(const SplitRun& run, int32_t lastIndex) {
    if (CheckNameLengths(run, lastIndex) != 0 || CheckPathLength(BuildDescriptorPath(run.names.chunkFolder)) != 0 ||
        CheckPathLength(MetaFilePath(run.names.chunkFolder, run.names.stem)) != 0 ||
        CheckPathLength(ChecksumFilePath(run.names.chunkFolder, run.names.stem)) != 0 ||
        CheckPathLength(ChunkFilePath(run.names.chunkFolder, run.names.stem, lastIndex)) != 0)
        return -1;
    return 0;
}

// Takes the chunk folder, makes every split's checks and the source's own
// (checkSource, once the folder's contents are known), then writes the set;
// a set that fails is taken back. The lock is held from the first look at
// the folder to the descriptor. A stream's size is unknown: its chunks may
// each be as large as the chunk size, and any set of its name is its own.
int WriteCheckedSet(SplitRun& run, bool folder, const std::function<int()>& checkSource) {
    const SplitJob& job = run.job;
    const bool stream = run.stream >= 0;
    if (TakeChunkFolder(run) != 0) return GiveBackChunkFolder(run);
    AtStep("split: chunk folder locked");
    if (ListExisting(run) != 0 || checkSource() != 0) return GiveBackChunkFolder(run);
    std::string heldSource;
    const int other = LookForOtherSet(run.chunkDir.get(), run.names, stream ? -1 : job.totalSize, heldSource);
    if (other < 0 || (other > 0 && job.replaceOtherSet != 1)) return GiveBackChunkFolder(run);
    // The largest file the split writes must fit where it goes: named as the
    // folder that was there before the split.
    const std::string writesIn = run.madeFolder ? std::string(job.outputFolder) : run.names.chunkFolder;
    if (CheckChunksFit(writesIn, stream ? job.chunkSize : std::min(job.chunkSize, job.totalSize)) != 0)
        return GiveBackChunkFolder(run);
    const std::string noScript = NoJoinScriptReason(run, folder);
    run.writeScript = job.joinScript == 1 && noScript.empty();
    if (run.writeScript && CheckPathLength(JoinScriptPath(run)) != 0) return GiveBackChunkFolder(run);
    if (run.report != nullptr) run.report->joinScriptNote = noScript;

    if (WriteChunkSet(run, folder) == 0) return 0;
    RemoveUnfinishedSet(run);
    return -1;
}

}  // namespace

const char* PassedOverKindName(PassedOverKind kind) {
    switch (kind) {
        case PassedOverKind::LinkToFolder:
            return "link to a folder";
        case PassedOverKind::DanglingLink:
            return "dangling link";
        case PassedOverKind::Fifo:
            return "FIFO";
        case PassedOverKind::Socket:
            return "socket";
        case PassedOverKind::Device:
            return "device";
    }
    return "entry";
}

std::string DescribePassedOver(const std::vector<PassedOverEntry>& entries) {
    static constexpr struct {
        PassedOverKind kind;
        const char* plural;
    } kKinds[] = {{PassedOverKind::LinkToFolder, "links to folders"},
                  {PassedOverKind::DanglingLink, "dangling links"},
                  {PassedOverKind::Fifo, "FIFOs"},
                  {PassedOverKind::Socket, "sockets"},
                  {PassedOverKind::Device, "devices"}};
    std::vector<std::string> parts;
    for (const auto& row : kKinds) {
        const auto n = std::count_if(entries.begin(), entries.end(),
                                     [&row](const PassedOverEntry& entry) { return entry.kind == row.kind; });
        if (n > 0) parts.push_back(std::to_string(n) + " " + (n == 1 ? PassedOverKindName(row.kind) : row.plural));
    }
    std::string text;
    for (std::size_t i = 0; i < parts.size(); ++i)
        text += (i == 0 ? "" : i + 1 == parts.size() ? " and " : ", ") + parts[i];
    return text.empty() ? text : "passed over " + text;
}

int RunSplit(const SplitJob& job, SplitReport* report) {
    if (StartSplit(job, report, job.totalSize) != 0) return -1;
    SplitRun run(job, report);
    struct stat st {};
    if (::stat(run.sourcePath.c_str(), &st) != 0) return Fail("cannot split", run.sourcePath, errno);
    const bool folder = S_ISDIR(st.st_mode);
    if (!folder && !S_ISREG(st.st_mode))
        return Fail("cannot split '" + run.sourcePath + "': not a regular file or folder");

    run.names = DeriveChunkSetNames(run.sourcePath, job.outputFolder);
    if (run.names.sourceName.empty()) return Fail("cannot take a name from the path '" + run.sourcePath + "'");
    if (run.names.sourceName.size() > kMaxNameBytes)
        return Fail("the name '" + run.names.sourceName + "' is longer than " + std::to_string(kMaxNameBytes) +
                    " bytes");
    if (job.totalSize < 0) return Fail("the size of '" + run.sourcePath + "' cannot be measured");
    run.chunkCount = ChunkCountFor(job.totalSize, job.chunkSize);
    if (run.chunkCount < 0)
        return Fail("a chunk size of " + std::to_string(job.chunkSize) + " bytes gives more than " +
                    std::to_string(kMaxChunkCount) + " chunks");
    if (CheckSetNames(run, run.chunkCount > 0 ? static_cast<int32_t>(run.chunkCount - 1) : 0) != 0) return -1;
    return WriteCheckedSet(run, folder, [&run, &st, folder] {
        if (folder) return PrepareFolder(run);
        if (st.st_size != run.job.totalSize) return Fail("'" + run.sourcePath + "' changed since it was measured");
        return RefuseIfExisting(run, WalkEntry{run.sourcePath, st.st_size, IdentityOf(st)});
    });
}

int RunSplitFromStream(const SplitJob& job, int sourceFd, int64_t maxChunks, SplitReport* report) {
    if (StartSplit(job, report, 0) != 0) return -1;
    SplitRun run(job, report);
    run.stream = sourceFd;
    run.maxChunks = std::clamp<int64_t>(maxChunks, 1, kMaxChunkCount);
    run.names = DeriveChunkSetNames(run.sourcePath, job.outputFolder);
    if (std::string problem = SourceNameProblem(run.names.sourceName); !problem.empty()) return Fail(problem);
    if (CheckSetNames(run, static_cast<int32_t>(run.maxChunks - 1)) != 0) return -1;
    return WriteCheckedSet(run, false, [&run, sourceFd] {
        // Standard input may be a file in the chunk folder itself.
        struct stat st {};
        if (::fstat(sourceFd, &st) != 0) return Fail("cannot read the stream of", run.names.sourceName, errno);
        return S_ISREG(st.st_mode) ? RefuseIfExisting(run, WalkEntry{run.sourcePath, st.st_size, IdentityOf(st)}) : 0;
    });
}

int FindOtherChunkSet(const SplitJob& job, std::string& heldSource) {
    if (!FieldIsTerminated(job.sourcePath, sizeof job.sourcePath) ||
        !FieldIsTerminated(job.outputFolder, sizeof job.outputFolder))
        return Fail("the split job holds a text without its terminating NUL");
    const ChunkSetNames names = DeriveChunkSetNames(job.sourcePath, job.outputFolder);
    heldSource.clear();
    UniqueFd outputDir(::open(job.outputFolder, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    // Where there is no folder to look at, the split itself fails with the reason.
    if (!outputDir.valid()) return 0;
    UniqueFd chunkDir;
    if (OpenExistingChunkFolder(outputDir.get(), names, chunkDir) != 0) return -1;
    return LookForOtherSet(chunkDir.get(), names, job.totalSize, heldSource);
}

}  // namespace partwise
