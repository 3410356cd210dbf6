#pragma once
// Deleting what a finished job made unnecessary: a split's source, a join's
// chunk files. Only ever called after the job succeeded.
#include <QString>
#include <QStringList>

#include <string>
#include <vector>

// Removes the file at path. True when it is gone (also when it was gone
// before).
bool RemoveFile(const QString& path);

// Deletes the listed files of the folder tree at path, then, deepest first,
// the folders that hold nothing afterwards among those that held a listed
// file and the listed folders (those a chunk set records). Other folders, and
// what the split passed over (links to folders, FIFOs, ...), stay; kept
// receives what is left that was not listed, as paths below path: each entry
// that is not a folder, and each folder that holds nothing else. True when
// every listed file is gone.
bool RemoveFolderTree(const QString& path, const std::vector<std::string>& files, const QStringList& folders,
                      QStringList& kept);

// Every folder below path, links to folders not followed.
QStringList ListSubFolders(const QString& path);
