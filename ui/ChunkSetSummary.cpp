#include "ChunkSetSummary.h"

#include "partwise/progress.h"

QString chunkSetSummary(const QString& sourceName, int64_t totalSize, bool passwordSet, int chunkCount,
                        int badChunkCount) {
    const QString chunks = chunkCount == 1 ? "chunk" : "chunks";
    const QString health =
        badChunkCount == 0 ? QString("%1 %2, all good").arg(chunkCount).arg(chunks)
                           : QString("%1 of %2 %3 damaged or missing").arg(badChunkCount).arg(chunkCount).arg(chunks);
    return QString("Makes \"%1\", %2 \u00b7 %3 \u00b7 %4")
        .arg(sourceName, QString::fromStdString(partwise::FormatSize(totalSize)),
             passwordSet ? "password-protected" : "no password", health);
}
