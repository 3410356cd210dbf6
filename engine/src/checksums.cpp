#include "partwise/checksums.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include "checksum_file.h"
#include "descriptor_stream.h"
#include "fail.h"
#include "fingerprint.h"
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

// Up to this size a chunk is hashed here rather than handed to the hasher's
// thread: for small chunks the hand-over costs more than the hash.
constexpr int64_t kHashHereLimit = 1 << 20;

// One chunk against its line, or against its fingerprint when it has none.
int CheckChunk(const ChecksumTable& table, const ChunkRecord& record, FullCheckEntry& entry, ReadBackHasher& hasher,
               std::vector<char>& buffer) {
    UniqueFd fd = OpenForReading(entry.chunkPath);
    struct stat st {};
    if (!fd.valid()) {
        if (errno == ENOENT) return 0;
        return Fail("cannot open chunk", entry.chunkPath, errno);
    }
    if (::fstat(fd.get(), &st) != 0) return Fail("cannot read chunk", entry.chunkPath, errno);
    if (!S_ISREG(st.st_mode)) return Fail("chunk '" + entry.chunkPath + "' is not a regular file");
    entry.chunkFileSize = st.st_size;
    Digest128 expected;
    if (!table.Get(entry.chunkIndex, expected)) {
        const bool same = FingerprintOpenFile(fd.get()) == FieldText(record.fingerprint, 32);
        entry.verdict = same ? ChunkVerdict::kUnchecked : ChunkVerdict::kDamaged;
        Progress().bytesDone.fetch_add(st.st_size, std::memory_order_relaxed);
        return 0;
    }
    if (st.st_size <= kHashHereLimit) {
        ChunkHasher here;
        const int64_t n = HashRange(here, fd.get(), entry.chunkPath, 0, st.st_size, buffer);
        if (n < 0) return -1;
        if (n != st.st_size) return Fail("chunk '" + entry.chunkPath + "' changed while it was read");
        Progress().bytesDone.fetch_add(n, std::memory_order_relaxed);
        entry.verdict = here.Final() == expected ? ChunkVerdict::kOk : ChunkVerdict::kDamaged;
        return 0;
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
    entry.verdict = hasher.Final() == expected ? ChunkVerdict::kOk : ChunkVerdict::kDamaged;
    return 0;
}

}  // namespace

std::string ChecksumFileFor(const std::string& chunkFolder, const std::string& sourceName) {
    return ChecksumFilePath(chunkFolder, StemOf(sourceName));
}

bool NameFitsChecksumFile(const std::string& sourceName) { return StemFitsChecksumFile(StemOf(sourceName)); }

const char* VerdictWord(ChunkVerdict verdict) {
    switch (verdict) {
        case ChunkVerdict::kOk:
            return "ok";
        case ChunkVerdict::kDamaged:
            return "damaged";
        case ChunkVerdict::kMissing:
            return "missing";
        case ChunkVerdict::kUnchecked:
            return "unchecked";
    }
    return "?";
}

int CheckChunkSetFully(const std::string& chunkFolder, ChunkSetCheck& check, const FullCheckVisitor& visit) {
    ClearLastError();
    Progress().bytesDone = 0;
    DescriptorFile descriptor;
    if (ReadDescriptorHeaderOnly(chunkFolder, descriptor) != 0) return -1;
    Progress().totalBytes = GetTotalSize();
    const std::string stem = StemOf(GetSourceName());

    // The records the file holds, counted first: the header's count is not
    // to be trusted with the size of the checksum table.
    check = ChunkSetCheck();
    ChunkRecord record;
    int r = 0;
    for (ChunkRecordReader counter(descriptor); (r = counter.Next(record)) > 0;) ++check.chunkCount;
    if (r < 0) return -1;
    const std::string checksumPath = ChecksumFilePath(chunkFolder, stem);
    ChecksumTable table;
    if (ReadChecksumFile(checksumPath, stem, check.chunkCount, table) < 0) return -1;
    if (table.loaded()) check.checksumFile = checksumPath;

    ReadBackHasher hasher;
    std::vector<char> buffer;
    ChunkRecordReader reader(descriptor);
    for (int32_t i = 0; i < check.chunkCount && (r = reader.Next(record)) > 0; ++i) {
        FullCheckEntry entry;
        entry.chunkIndex = record.chunkIndex;
        entry.chunkPath = ChunkFilePath(chunkFolder, stem, record.chunkIndex);
        if (CheckChunk(table, record, entry, hasher, buffer) != 0) return -1;
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
