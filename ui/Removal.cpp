#include "Removal.h"

#include <QFile>
#include <QFileInfo>

#include "partwise/chunk_names.h"

bool RemoveFile(const QString& path) { return QFile::remove(path) || !QFileInfo(path).exists(); }

int removeJoinedSet(const JoinedSet& set, int64_t& kept) {
    const auto remove = [&kept](const std::string& path) {
        kept += RemoveFile(QFile::decodeName(path.c_str())) ? 0 : 1;
    };
    for (const int32_t index : set.chunkIndexes) remove(partwise::ChunkFilePath(set.chunkFolder, set.stem, index));
    if (!set.checksumFile.empty()) remove(set.checksumFile);
    for (const std::string& path : set.otherFiles) remove(path);
    return 0;
}
