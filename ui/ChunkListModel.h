#pragma once
// The Join tab's list: one row per chunk of the inspected set, its path, its
// size and a tick or a cross. A view over the inspection's result: no widget,
// no item object and no string per row, so a set of any size lists at once.
#include <QAbstractTableModel>
#include <QPixmap>

#include <cstdint>
#include <string>
#include <vector>

#include "partwise/chunk_check.h"

// What the list keeps of each chunk, flat: the index its record names, its
// size (-1 when missing) and whether it is good. The path follows from the
// index, so a chunk costs about 12 bytes.
class ChunkRows {
public:
    // In the order the inspection hands them over.
    void add(const partwise::ChunkEntry& entry);
    void markAllBad() { m_good.assign(m_good.size(), false); }
    std::size_t size() const { return m_indexes.size(); }
    int32_t chunkIndex(std::size_t row) const { return m_indexes[row]; }
    int64_t fileSize(std::size_t row) const { return m_sizes[row]; }
    bool good(std::size_t row) const { return m_good[row]; }

private:
    std::vector<int32_t> m_indexes;
    std::vector<int64_t> m_sizes;
    std::vector<bool> m_good;
};

class ChunkListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    explicit ChunkListModel(QObject* parent = nullptr);

    // The rows of the set in chunkFolder whose chunks are named after stem.
    void setRows(std::string chunkFolder, std::string stem, ChunkRows rows);
    void clear() { setRows({}, {}, {}); }
    // The chunk file of a row, in the file system's encoding.
    std::string chunkPath(int row) const;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

private:
    std::string m_chunkFolder;
    std::string m_stem;
    ChunkRows m_rows;
    QPixmap m_right;
    QPixmap m_wrong;
};
