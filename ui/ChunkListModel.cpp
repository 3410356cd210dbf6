#include "ChunkListModel.h"

#include <QFile>

ChunkListModel::ChunkListModel(QObject* parent)
    : QAbstractTableModel(parent), m_right(":/image/right.png"), m_wrong(":/image/wrong.png") {}

void ChunkListModel::setEntries(std::vector<partwise::ChunkEntry> entries) {
    beginResetModel();
    m_entries = std::move(entries);
    endResetModel();
}

int ChunkListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_entries.size());
}

int ChunkListModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : 3; }

QVariant ChunkListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount()) return {};
    const partwise::ChunkEntry& entry = m_entries[static_cast<std::size_t>(index.row())];
    if (role == Qt::DisplayRole && index.column() == 0) return QFile::decodeName(entry.chunkPath.c_str());
    if (role == Qt::DisplayRole && index.column() == 1) return QString::number(entry.chunkFileSize, 10);
    if (role == Qt::DecorationRole && index.column() == 2) return entry.verdict == 0 ? m_right : m_wrong;
    return {};
}

QVariant ChunkListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
    static const char* const kTitles[] = {"Path", "Size", ""};
    return section >= 0 && section < 3 ? QVariant(tr(kTitles[section])) : QVariant();
}
