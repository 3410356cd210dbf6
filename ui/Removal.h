#pragma once
// Deleting what a finished join made unnecessary: its chunk files. Only ever
// called after the join succeeded.
#include <QString>

// Removes the file at path. True when it is gone (also when it was gone
// before).
bool RemoveFile(const QString& path);
