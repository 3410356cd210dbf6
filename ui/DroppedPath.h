#pragma once
// What a drag brings to the window: one local file or folder, or nothing.
#include <QDir>
#include <QFileInfo>
#include <QMimeData>
#include <QUrl>

// The dragged path when the drag holds exactly one local file or folder that
// exists; empty for anything else, which the window refuses.
inline QString droppedPath(const QMimeData* mime) {
    if (mime == nullptr || !mime->hasUrls() || mime->urls().size() != 1) return {};
    const QUrl url = mime->urls().first();
    if (!url.isLocalFile()) return {};
    const QFileInfo info(url.toLocalFile());
    return info.exists() ? QDir::cleanPath(info.absoluteFilePath()) : QString();
}
