#pragma once
// Deleting what a finished job made unnecessary: a split's source, a join's
// chunk files. Only ever called after the job succeeded.
#include <QString>

#include <string>
#include <vector>

// Removes the file at path. True when it is gone (also when it was gone
// before).
bool RemoveFile(const QString& path);

// Deletes the listed files of the folder tree at path, then every folder of
// the tree that is empty afterwards, deepest first. Symbolic links to folders
// are neither followed nor removed, and what the split passed over stays.
// True when every listed file is gone.
bool RemoveFolderTree(const QString& path, const std::vector<std::string>& files);
