#include "Removal.h"

#include <QFile>
#include <QFileInfo>

bool RemoveFile(const QString& path) { return QFile::remove(path) || !QFileInfo(path).exists(); }
