#include "partwise/verify.h"

#include <sys/stat.h>

#include "descriptor_stream.h"
#include "partwise/descriptor.h"
#include "partwise/errors.h"
#include "partwise/fsutil.h"
#include "partwise/md5.h"
#include "partwise/progress.h"
#include "partwise/splitter.h"

namespace partwise {

int InspectChunkSet(const std::string& chunkFolder, std::vector<ChunkEntry>& entries, std::string& passwordDigest,
                    std::string& sourceName) {
    ClearLastError();
    Progress().bytesDone = 0;
    // The file records are not needed to check the chunks.
    DescriptorFile descriptor;
    if (ReadDescriptorHead(chunkFolder, descriptor) != 0) return -1;
    Progress().totalBytes = GetTotalSize();
    sourceName = GetSourceName();
    passwordDigest = GetPasswordDigest();
    std::string stem = sourceName;
    StripExtension(stem);

    std::vector<const ChunkRecord*> records;
    CopyChunkRecords(records);
    entries.reserve(entries.size() + records.size());
    for (const ChunkRecord* record : records) {
        ChunkEntry entry;
        entry.chunkIndex = record->chunkIndex;
        entry.recordedFingerprint = FieldText(record->fingerprint, 32);
        entry.chunkPath = ChunkFilePath(chunkFolder, stem, record->chunkIndex);
        struct stat st {};
        const bool isFile = ::stat(entry.chunkPath.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
        entry.chunkFileSize = isFile ? st.st_size : -1;
        // A missing chunk is bad even when no fingerprint was recorded for it.
        entry.verdict = isFile && ChunkFingerprint(entry.chunkPath) == entry.recordedFingerprint ? 0 : -1;
        entries.push_back(std::move(entry));
    }
    return 0;
}

}  // namespace partwise
