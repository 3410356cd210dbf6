#include "ChunkListModel.h"

#include <QFile>

#include "partwise/chunk_names.h"

void ChunkRows::add(const partwise::ChunkEntry& entry) {
    m_indexes.push_back(entry.chunkIndex);
    m_sizes.push_back(entry.chunkFileSize);
    m_good.push_back(entry.verdict == 0);
}

ChunkListModel::ChunkListModel(QObject* parent)
    : QAbstractTableModel(parent), m_right(":/image/right.png"), m_wrong(":/image/wrong.png") {}

void ChunkListModel::setRows(std::string chunkFolder, std::string stem, ChunkRows rows) {
    beginResetModel();
    m_chunkFolder = std::move(chunkFolder);
    m_stem = std::move(stem);
    m_rows = std::move(rows);
    endResetModel();
}

std::string ChunkListModel::chunkPath(int row) const {
    return partwise::ChunkFilePath(m_chunkFolder, m_stem, m_rows.chunkIndex(static_cast<std::size_t>(row)));
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
    if (role == Qt::DecorationRole && index.column() == 2) return m_rows.good(row) ? m_right : m_wrong;
    return {};
}

QVariant ChunkListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
    static const char* const kTitles[] = {"Path", "Size", ""};
    return section >= 0 && section < 3 ? QVariant(tr(kTitles[section])) : QVariant();
}
