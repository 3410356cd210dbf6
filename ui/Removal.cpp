#include "Removal.h"

#include <QFile>
#include <QFileInfo>

#include "partwise/fsutil.h"
#include "partwise/recovery.h"
#include "partwise/removal.h"

bool RemoveFile(const QString& path) { return QFile::remove(path) || !QFileInfo(path).exists(); }

int removeJoinedSet(const JoinedSet& set, int64_t& kept) {
    std::vector<std::string> others;
    if (!set.checksumFile.empty()) others.push_back(partwise::GetLastPathComponent(set.checksumFile));
    for (const std::string& path : set.otherFiles) others.push_back(partwise::GetLastPathComponent(path));
    // Found here, off the window's thread: finding them lists the whole folder.
    for (const std::string& path : partwise::RecoveryPathsIn(set.chunkFolder, set.stem))
        others.push_back(partwise::GetLastPathComponent(path));
    const int64_t left = partwise::RemoveChunkSetFiles(set.chunkFolder, set.stem, set.chunkIndexes, others);
    kept = left < 0 ? static_cast<int64_t>(set.chunkIndexes.size() + others.size()) : left;
    return 0;
}
