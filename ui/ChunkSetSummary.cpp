#include "ChunkSetSummary.h"

#include "partwise/progress.h"

QString chunkHealthText(const ChunkHealth& health) {
    const QString chunks = QString("%1 %2").arg(health.chunks).arg(health.chunks == 1 ? "chunk" : "chunks");
    const int64_t bad = health.damaged + health.missing;
    if (bad > 0) {
        const char* what = health.missing == 0 ? "damaged" : health.damaged == 0 ? "missing" : "damaged or missing";
        const char* recovery = health.repairable < 0   ? ""
                               : health.repairable > 0 ? ", repairable with recovery files"
                                                       : ", too many for the recovery files";
        return QString("%1 of %2 %3%4").arg(bad).arg(chunks, what, recovery);
    }
    using Stage = ChunkHealth::Stage;
    if (health.stage == Stage::kChecking) return chunks + QString(", checking every byte: %1%").arg(health.percent);
    if (health.whole == health.chunks) return chunks + ", every byte checked, all good";
    if (health.stage == Stage::kNoChecksums) return chunks + ", first KiB of each checked (no checksum file)";
    if (health.stage == Stage::kChecked)
        return chunks + QString(", %1 checked by their first KiB only (no checksum)").arg(health.headOnly);
    return chunks + ", first KiB of each checked";
}

QString chunkSetSummary(const QString& sourceName, int64_t totalSize, bool passwordSet, const QString& health) {
    return QString("Makes \"%1\", %2 \u00b7 %3 \u00b7 %4")
        .arg(sourceName, QString::fromStdString(partwise::FormatSize(totalSize)),
             passwordSet ? "password-protected" : "no password", health);
}
