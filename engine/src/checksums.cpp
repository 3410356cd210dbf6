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

// One chunk against its line, or against its fingerprint when it has none.
int CheckChunk(const ChecksumTable& table, const ChunkRecord& record, FullCheckEntry& entry, ReadBackHasher& hasher) {
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

int CheckChunkSetFully(const std::string& chunkFolder, std::vector<FullCheckEntry>& entries, ChunkSetCheck& check) {
    ClearLastError();
    Progress().bytesDone = 0;
    DescriptorFile descriptor;
    if (ReadDescriptorHead(chunkFolder, descriptor) != 0) return -1;
    Progress().totalBytes = GetTotalSize();
    const std::string stem = StemOf(GetSourceName());
    std::vector<const ChunkRecord*> records;
    CopyChunkRecords(records);

    check = ChunkSetCheck();
    check.chunkCount = static_cast<int32_t>(records.size());
    const std::string checksumPath = ChecksumFilePath(chunkFolder, stem);
    ChecksumTable table;
    if (ReadChecksumFile(checksumPath, stem, check.chunkCount, table) < 0) return -1;
    if (table.loaded()) check.checksumFile = checksumPath;

    ReadBackHasher hasher;
    for (const ChunkRecord* record : records) {
        FullCheckEntry entry;
        entry.chunkIndex = record->chunkIndex;
        entry.chunkPath = ChunkFilePath(chunkFolder, stem, record->chunkIndex);
        if (CheckChunk(table, *record, entry, hasher) != 0) return -1;
        check.matched += entry.verdict == ChunkVerdict::kOk ? 1 : 0;
        check.partlyChecked += entry.verdict == ChunkVerdict::kUnchecked ? 1 : 0;
        entries.push_back(std::move(entry));
    }
    return 0;
}

}  // namespace partwise
