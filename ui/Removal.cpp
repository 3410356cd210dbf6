#include "Removal.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <algorithm>

bool RemoveFile(const QString& path) { return QFile::remove(path) || !QFileInfo(path).exists(); }

namespace {

// What is left below root, as paths below it: every entry that is not a
// folder, and every folder that holds nothing else left.
QStringList LeftBelow(const QString& root, const QSet<QString>& listed) {
    QStringList left;
    const QDir base(root);
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo entry = it.nextFileInfo();
        if (listed.contains(entry.filePath())) continue;  // could not be deleted: reported apart
        const bool emptyFolder =
            entry.isDir() && !entry.isSymLink() &&
            QDir(entry.filePath()).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
        if (emptyFolder || !entry.isDir() || entry.isSymLink()) left << base.relativeFilePath(entry.filePath());
    }
    left.sort();
    return left;
}

}  // namespace

QStringList ListSubFolders(const QString& path) {
    QStringList folders;
    QDirIterator it(path, QDir::Dirs | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot | QDir::NoSymLinks,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) folders << it.next();
    return folders;
}

bool RemoveFolderTree(const QString& path, const std::vector<std::string>& files, const QStringList& folders,
                      QStringList& kept) {
    kept.clear();
    if (!QDir(path).exists()) return true;
    bool removedFiles = true;
    QSet<QString> listed;
    // The folders on the way to each listed file, below and including path.
    QSet<QString> held;
    const QString root = QDir::cleanPath(path);
    for (const std::string& file : files) {
        const QString filePath = QDir::cleanPath(QFile::decodeName(file.c_str()));
        listed.insert(filePath);
        removedFiles = RemoveFile(filePath) && removedFiles;
        for (QString folder = QFileInfo(filePath).path(); folder.startsWith(root) && !held.contains(folder);
             folder = QFileInfo(folder).path()) {
            held.insert(folder);
            if (folder == root) break;
        }
    }
    for (const QString& folder : folders) {
        const QString clean = QDir::cleanPath(folder);
        if (clean.startsWith(root + "/")) held.insert(clean);
    }
    // Deepest first: a longer path can never be a parent of a shorter one.
    QStringList emptied(held.begin(), held.end());
    std::sort(emptied.begin(), emptied.end(),
              [](const QString& a, const QString& b) { return a.size() != b.size() ? a.size() > b.size() : a < b; });
    // A folder that still holds something stays, and so do its parents.
    for (const QString& folder : emptied) QDir().rmdir(folder);
    if (QDir(path).exists()) kept = LeftBelow(path, listed);
    return removedFiles;
}
