#include "Removal.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

bool RemoveFile(const QString& path) { return QFile::remove(path) || !QFileInfo(path).exists(); }

bool RemoveFolderTree(const QString& path, const std::vector<std::string>& files) {
    if (!QDir(path).exists()) return true;
    bool removedFiles = true;
    for (const std::string& file : files) removedFiles = RemoveFile(QFile::decodeName(file.c_str())) && removedFiles;
    // Breadth first, so that the reversed list removes children before parents.
    QStringList folders{path};
    for (qsizetype i = 0; i < folders.size(); ++i) {
        const QFileInfoList entries =
            QDir(folders[i])
                .entryInfoList(QDir::Dirs | QDir::Hidden | QDir::NoSymLinks | QDir::NoDotAndDotDot, QDir::Name);
        for (const QFileInfo& entry : entries) folders << entry.filePath();
    }
    // A folder that still holds something the walk skipped stays, and so do
    // its parents; the other empty folders still go.
    for (auto folder = folders.crbegin(); folder != folders.crend(); ++folder) QDir().rmdir(*folder);
    return removedFiles;
}
