#include "partwise/chunk_check.h"

#include <fcntl.h>
#include <sys/stat.h>

#include "descriptor_stream.h"
#include "fingerprint.h"
#include "folder_ops.h"
#include "partwise/chunk_names.h"
#include "partwise/descriptor.h"
#include "partwise/errors.h"
#include "partwise/fsutil.h"
#include "partwise/md5.h"
#include "partwise/progress.h"
#include "posix_file.h"

namespace partwise {
namespace {

// The header's part of the summary, from the state just loaded.
ChunkSetSummary SummaryOfHeader() {
    ChunkSetSummary summary;
    summary.sourceName = GetSourceName();
    summary.passwordDigest = GetPasswordDigest();
    summary.totalSize = GetTotalSize();
    summary.chunkCount = GetChunkCount();
    summary.cutShort = DescriptorIsTruncated();
    Progress().totalBytes = summary.totalSize;
    return summary;
}

// Checks the chunk file of one record and counts its verdict. The chunk is
// opened by name in the chunk folder, open as folderFd (AT_FDCWD with a
// whole path when the folder could not be opened).
ChunkEntry CheckChunk(int folderFd, const std::string& chunkFolder, const std::string& stem, const ChunkRecord& record,
                      ChunkSetSummary& summary) {
    ChunkEntry entry;
    entry.chunkIndex = record.chunkIndex;
    entry.recordedFingerprint = FieldText(record.fingerprint, 32);
    entry.chunkPath = ChunkFilePath(chunkFolder, stem, record.chunkIndex);
    const std::string name = folderFd == AT_FDCWD ? entry.chunkPath : ChunkFileName(stem, record.chunkIndex);
    // Opened once: the fstat and the fingerprint's read share the descriptor.
    // One that cannot be opened is still measured when it is there.
    struct stat st {};
    const UniqueFd fd = OpenChunkAt(folderFd, name);
    const bool there =
        fd.valid() ? ::fstat(fd.get(), &st) == 0 : ::fstatat(folderFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    const bool isFile = there && S_ISREG(st.st_mode);
    entry.chunkFileSize = isFile ? st.st_size : -1;
    entry.reason = !there        ? (fd.valid() ? ChunkReason::kUnreadable : ChunkReason::kMissing)
                   : !isFile     ? ChunkReason::kNotARegularFile
                   : !fd.valid() ? ChunkReason::kUnreadable
                                 : ChunkReason::kNone;
    // An empty recorded fingerprint differs from every chunk's, as in the join.
    if (entry.reason == ChunkReason::kNone && FingerprintOpenFile(fd.get(), st.st_size) != entry.recordedFingerprint)
        entry.reason = ChunkReason::kFingerprintDiffers;
    entry.verdict = entry.reason == ChunkReason::kNone ? 0 : -1;
    ++(entry.reason == ChunkReason::kMissing ? summary.missingChunks
       : entry.verdict == 0                  ? summary.goodChunks
                                             : summary.damagedChunks);
    return entry;
}

std::string StemOf(std::string sourceName) {
    StripExtension(sourceName);
    return sourceName;
}

}  // namespace

int ReadChunkSetHeader(const std::string& chunkFolder, ChunkSetSummary& summary) {
    ClearLastError();
    DescriptorFile descriptor;
    if (ReadDescriptorHeaderOnly(chunkFolder, descriptor) != 0) return -1;
    summary = SummaryOfHeader();
    return 0;
}

int ChunkFolderBusy(const std::string& chunkFolder) {
    const UniqueFd folder = OpenFolder(chunkFolder, true);
    return folder.valid() && LockFolder(folder.get(), false, chunkFolder, "split") != 0 ? 1 : 0;
}

int InspectChunkSet(const std::string& chunkFolder, ChunkSetSummary& summary, const ChunkVisitor& visit) {
    ClearLastError();
    Progress().bytesDone = 0;
    // Read under a shared lock: a split writing the set refuses, and is refused.
    const UniqueFd folder = OpenFolder(chunkFolder, true);
    if (folder.valid() && LockFolder(folder.get(), false, chunkFolder, "split") != 0) return -1;
    DescriptorFile descriptor;
    if (ReadDescriptorHeaderOnly(chunkFolder, descriptor) != 0) return -1;
    summary = SummaryOfHeader();
    const std::string stem = StemOf(summary.sourceName);
    const int folderFd = folder.valid() ? folder.get() : AT_FDCWD;
    ChunkRecordReader reader(descriptor);
    ChunkRecord record;
    int r = 0;
    while ((r = reader.Next(record)) > 0) {
        const ChunkEntry entry = CheckChunk(folderFd, chunkFolder, stem, record, summary);
        if (visit) visit(entry);
    }
    return r;
}

int InspectChunkSet(const std::string& chunkFolder, std::vector<ChunkEntry>& entries, std::string& passwordDigest,
                    std::string& sourceName) {
    ClearLastError();
    Progress().bytesDone = 0;
    // The chunk records stay in the state, as ReadDescriptor leaves them; the
    // file records are not needed to check the chunks.
    DescriptorFile descriptor;
    if (ReadDescriptorHead(chunkFolder, descriptor) != 0) return -1;
    ChunkSetSummary summary = SummaryOfHeader();
    const std::string stem = StemOf(summary.sourceName);
    std::vector<const ChunkRecord*> records;
    CopyChunkRecords(records);
    entries.reserve(entries.size() + records.size());
    for (const ChunkRecord* record : records)
        entries.push_back(CheckChunk(AT_FDCWD, chunkFolder, stem, *record, summary));
    passwordDigest = summary.passwordDigest;
    sourceName = summary.sourceName;
    return 0;
}

}  // namespace partwise
