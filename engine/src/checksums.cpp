#include "partwise/checksums.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include "cancel.h"
#include "checksum_file.h"
#include "descriptor_stream.h"
#include "fail.h"
#include "fingerprint.h"
#include "folder_ops.h"
#include "partwise/chunk_names.h"
#include "partwise/descriptor.h"
#include "partwise/errors.h"
#include "partwise/fsutil.h"
#include "partwise/progress.h"
#include "posix_file.h"
#include "read_back_hasher.h"

namespace partwise {
namespace {

std::string StemOf(const std::string& sourceName) {
    std::string stem = sourceName;
    StripExtension(stem);
    return stem;
}

// The verdict of a chunk hashed whole.
int Verdict(FullCheckEntry& entry, bool matches) {
    entry.verdict = matches ? ChunkVerdict::kOk : ChunkVerdict::kDamaged;
    entry.reason = matches ? ChunkReason::kNone : ChunkReason::kChecksumDiffers;
    return 0;
}

// Gives entry its verdict for a chunk that is not hashed.
int Judge(FullCheckEntry& entry, ChunkVerdict verdict, ChunkReason reason) {
    entry.verdict = verdict;
    entry.reason = reason;
    if (entry.chunkFileSize > 0) Progress().bytesDone.fetch_add(entry.chunkFileSize, std::memory_order_relaxed);
    return 0;
}

// One chunk against its fingerprint and its line: the checks the join makes,
// on the chunk opened by its name in the chunk folder, as the join opens it.
int CheckChunk(const ChecksumTable& table, const ChunkRecord& record, int chunkDir, const std::string& stem,
               FullCheckEntry& entry, ReadBackHasher& hasher, std::vector<char>& buffer) {
    UniqueFd fd = OpenChunkAt(chunkDir, ChunkFileName(stem, entry.chunkIndex));
    struct stat st {};
    if (!fd.valid()) {
        if (errno == ENOENT) return Judge(entry, ChunkVerdict::kMissing, ChunkReason::kMissing);
        if (errno == ELOOP) return Judge(entry, ChunkVerdict::kDamaged, ChunkReason::kNotARegularFile);
        return Fail("cannot open chunk", entry.chunkPath, errno);
    }
    if (::fstat(fd.get(), &st) != 0) return Fail("cannot read chunk", entry.chunkPath, errno);
    if (!S_ISREG(st.st_mode)) return Judge(entry, ChunkVerdict::kDamaged, ChunkReason::kNotARegularFile);
    entry.chunkFileSize = st.st_size;
    if (const ChunkReason fault = table.LineFault(entry.chunkIndex); fault != ChunkReason::kNone)
        return Judge(entry, ChunkVerdict::kDamaged, fault);
    if (FingerprintOpenFile(fd.get(), st.st_size) != FieldText(record.fingerprint, 32))
        return Judge(entry, ChunkVerdict::kDamaged, ChunkReason::kFingerprintDiffers);
    Digest128 expected;
    if (!table.Get(entry.chunkIndex, expected)) return Judge(entry, ChunkVerdict::kUnchecked, ChunkReason::kNone);
    if (st.st_size <= kInHandLimit) {
        ChunkHasher here;
        const int64_t n = HashRange(here, fd.get(), entry.chunkPath, 0, st.st_size, buffer);
        if (n < 0) return -1;
        if (n != st.st_size) return Fail("chunk '" + entry.chunkPath + "' changed while it was read");
        Progress().bytesDone.fetch_add(n, std::memory_order_relaxed);
        return Verdict(entry, here.Final() == expected);
    }
    if (hasher.Start(fd.get(), entry.chunkPath) != 0) return -1;
    // In slices, so that the progress moves within a large chunk.
    constexpr int64_t kSlice = 8 << 20;
    for (int64_t at = 0; at < st.st_size;) {
        const int64_t next = std::min<int64_t>(st.st_size, at + kSlice);
        if (hasher.Finish(next) != 0) return -1;
        Progress().bytesDone.fetch_add(next - at, std::memory_order_relaxed);
        at = next;
    }
    return Verdict(entry, hasher.Final() == expected);
}

}  // namespace

std::string ChecksumFileFor(const std::string& chunkFolder, const std::string& sourceName) {
    return ChecksumFilePath(chunkFolder, StemOf(sourceName));
}

bool NameFitsChecksumFile(const std::string& sourceName) { return StemFitsChecksumFile(StemOf(sourceName)); }

int CheckChunkSetFully(const std::string& chunkFolder, ChunkSetCheck& check, const FullCheckVisitor& visit) {
    ClearLastError();
    Progress().bytesDone = 0;
    const UniqueFd lock = OpenFolder(chunkFolder, true);
    if (lock.valid() && LockFolder(lock.get(), false, chunkFolder, "split") != 0) return -1;
    DescriptorFile descriptor;
    if (ReadDescriptorHeaderOnly(chunkFolder, descriptor) != 0) return -1;
    Progress().totalBytes = GetTotalSize();
    const std::string stem = StemOf(GetSourceName());

    // The records the file holds, counted first: the header's count is not
    // to be trusted with the size of the checksum table.
    check = ChunkSetCheck();
    ChunkRecord record;
    int r = 0;
    for (ChunkRecordReader counter(descriptor); (r = counter.Next(record)) > 0 && CheckCancel() == 0;)
        ++check.chunkCount;
    if (CheckCancel() != 0) return -1;
    if (r < 0) return -1;
    const std::string checksumPath = ChecksumFilePath(chunkFolder, stem);
    ChecksumTable table;
    if (ReadChecksumFile(checksumPath, stem, check.chunkCount, table) < 0) return -1;
    if (table.loaded()) check.checksumFile = checksumPath;

    const UniqueFd chunkDir = OpenFolder(chunkFolder, true);
    if (!chunkDir.valid()) return Fail("cannot open the chunk folder", chunkFolder, errno);
    ReadBackHasher hasher;
    std::vector<char> buffer;
    ChunkRecordReader reader(descriptor);
    for (int32_t i = 0; i < check.chunkCount && (r = reader.Next(record)) > 0; ++i) {
        if (CheckCancel() != 0) return -1;
        FullCheckEntry entry;
        entry.chunkIndex = record.chunkIndex;
        entry.chunkPath = ChunkFilePath(chunkFolder, stem, record.chunkIndex);
        if (CheckChunk(table, record, chunkDir.get(), stem, entry, hasher, buffer) != 0) return -1;
        check.matched += entry.verdict == ChunkVerdict::kOk ? 1 : 0;
        check.partlyChecked += entry.verdict == ChunkVerdict::kUnchecked ? 1 : 0;
        if (visit) visit(entry);
    }
    return r < 0 ? -1 : 0;
}

int CheckChunkSetFully(const std::string& chunkFolder, std::vector<FullCheckEntry>& entries, ChunkSetCheck& check) {
    return CheckChunkSetFully(chunkFolder, check,
                              [&entries](const FullCheckEntry& entry) { entries.push_back(entry); });
}

}  // namespace partwise
