#include "ChunkListModel.h"

#include <unordered_set>

#include <QFile>

#include "partwise/chunk_names.h"

namespace {

bool looksGood(RowCheck check) {
    return check == RowCheck::kHeadGood || check == RowCheck::kWhole || check == RowCheck::kHeadOnly;
}

RowCheck rowCheckOf(partwise::ChunkVerdict verdict) {
    switch (verdict) {
        case partwise::ChunkVerdict::kOk:
            return RowCheck::kWhole;
        case partwise::ChunkVerdict::kDamaged:
            return RowCheck::kDamaged;
        case partwise::ChunkVerdict::kMissing:
            return RowCheck::kMissing;
        case partwise::ChunkVerdict::kUnchecked:
            return RowCheck::kHeadOnly;
    }
    return RowCheck::kDamaged;
}

// The verdict's word and its reason, in the words of `partwise-cli list`.
QString toolTipOf(RowCheck check, partwise::ChunkReason reason) {
    using partwise::ChunkVerdict;
    const auto because = [reason](const char* word) {
        return QString("%1: %2").arg(QLatin1String(word), QLatin1String(partwise::ReasonText(reason)));
    };
    switch (check) {
        case RowCheck::kHeadGood:
            return QString(partwise::QuickVerdictWord(0)) +
                   ": its size and first KiB match; the rest is not checked yet";
        case RowCheck::kHeadBad:
            return because(partwise::QuickVerdictWord(-1));
        case RowCheck::kMissing:
            return because(partwise::VerdictWord(ChunkVerdict::kMissing));
        case RowCheck::kWhole:
            return QString(partwise::VerdictWord(ChunkVerdict::kOk)) + ": every byte matches its checksum";
        case RowCheck::kDamaged:
            return because(partwise::VerdictWord(ChunkVerdict::kDamaged));
        case RowCheck::kHeadOnly:
            return QString(partwise::VerdictWord(ChunkVerdict::kUnchecked)) +
                   ": no checksum file; its size and first KiB match";
        case RowCheck::kRefused:
            break;
    }
    return {};
}

}  // namespace

void ChunkRows::add(const partwise::ChunkEntry& entry) {
    m_indexes.push_back(entry.chunkIndex);
    m_sizes.push_back(entry.chunkFileSize);
    const RowCheck check = entry.chunkFileSize < 0 ? RowCheck::kMissing
                           : entry.verdict == 0    ? RowCheck::kHeadGood
                                                   : RowCheck::kHeadBad;
    m_checks.push_back(check);
    m_reasons.push_back(entry.reason);
    ++m_counts[static_cast<std::size_t>(check)];
}

void ChunkRows::markAllBad() {
    for (std::size_t row = 0; row < size(); ++row) setCheck(row, RowCheck::kHeadBad, m_reasons[row]);
}

void ChunkRows::setCheck(std::size_t row, RowCheck check, partwise::ChunkReason reason) {
    --m_counts[static_cast<std::size_t>(m_checks[row])];
    ++m_counts[static_cast<std::size_t>(check)];
    m_checks[row] = check;
    m_reasons[row] = reason;
}

ChunkListModel::ChunkListModel(QObject* parent)
    : QAbstractTableModel(parent), m_right(":/image/right.png"), m_wrong(":/image/wrong.png") {}

void ChunkListModel::setRows(std::string chunkFolder, std::string stem, ChunkRows rows) {
    beginResetModel();
    m_chunkFolder = std::move(chunkFolder);
    m_stem = std::move(stem);
    m_rows = std::move(rows);
    m_refusal.clear();
    endResetModel();
}

std::string ChunkListModel::chunkPath(int row) const {
    return partwise::ChunkFilePath(m_chunkFolder, m_stem, m_rows.chunkIndex(static_cast<std::size_t>(row)));
}

void ChunkListModel::rowsChanged(int first, int last) {
    if (first <= last) emit dataChanged(index(first, 2), index(last, 2), {Qt::DecorationRole, Qt::ToolTipRole});
}

void ChunkListModel::applyFullCheck(int32_t firstRow, const std::vector<int32_t>& chunkIndexes,
                                    const std::vector<partwise::ChunkVerdict>& verdicts,
                                    const std::vector<partwise::ChunkReason>& reasons) {
    const auto end = std::min<std::size_t>(m_rows.size(), std::size_t(firstRow) + verdicts.size());
    for (std::size_t row = std::size_t(firstRow); row < end; ++row) {
        const std::size_t i = row - std::size_t(firstRow);
        if (m_rows.chunkIndex(row) == chunkIndexes[i] && m_rows.check(row) != RowCheck::kRefused)
            m_rows.setCheck(row, rowCheckOf(verdicts[i]), reasons[i]);
    }
    rowsChanged(firstRow, int(end) - 1);
}

void ChunkListModel::markRefused(int32_t chunkIndex, const QString& reason) {
    for (std::size_t row = 0; row < m_rows.size(); ++row) {
        if (m_rows.chunkIndex(row) != chunkIndex) continue;
        m_rows.setCheck(row, RowCheck::kRefused, m_rows.reason(row));
        m_refusal = reason;
        rowsChanged(int(row), int(row));
        return;
    }
}

void ChunkListModel::markAllWhole(const std::vector<partwise::RebuiltChunk>& rebuilt) {
    std::unordered_set<int32_t> lost;
    for (const partwise::RebuiltChunk& chunk : rebuilt) lost.insert(chunk.chunkIndex);
    for (std::size_t row = 0; row < m_rows.size(); ++row)
        if (lost.count(m_rows.chunkIndex(row)) == 0)
            m_rows.setCheck(row, RowCheck::kWhole, partwise::ChunkReason::kNone);
    rowsChanged(0, rowCount() - 1);
}

int ChunkListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int ChunkListModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : 3; }

QVariant ChunkListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount()) return {};
    const auto row = static_cast<std::size_t>(index.row());
    if (role == Qt::DisplayRole && index.column() == 0) return QFile::decodeName(chunkPath(index.row()).c_str());
    if (role == Qt::DisplayRole && index.column() == 1) return QString::number(m_rows.fileSize(row), 10);
    if (role == Qt::DecorationRole && index.column() == 2) return looksGood(m_rows.check(row)) ? m_right : m_wrong;
    if (role == Qt::ToolTipRole) {
        const RowCheck check = m_rows.check(row);
        if (check != RowCheck::kRefused) return toolTipOf(check, m_rows.reason(row));
        // Rich text wraps, and a zero-width space after each "/" lets a long path wrap too.
        return "<p>" + m_refusal.toHtmlEscaped().replace('/', QStringLiteral("/\u200B")) + "</p>";
    }
    return {};
}

QVariant ChunkListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
    static const char* const kTitles[] = {"Path", "Size", ""};
    return section >= 0 && section < 3 ? QVariant(tr(kTitles[section])) : QVariant();
}
