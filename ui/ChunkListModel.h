#pragma once
// The Join tab's list: one row per chunk of the inspected set, its path, its
// size and a tick or a cross. A view over the inspection's result: no widget
// and no item object per row, so a set of any size lists at once.
#include <QAbstractTableModel>
#include <QPixmap>

#include <vector>

#include "partwise/chunk_check.h"

class ChunkListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    explicit ChunkListModel(QObject* parent = nullptr);

    void setEntries(std::vector<partwise::ChunkEntry> entries);
    void clear() { setEntries({}); }
    const std::vector<partwise::ChunkEntry>& entries() const { return m_entries; }

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

private:
    std::vector<partwise::ChunkEntry> m_entries;
    QPixmap m_right;
    QPixmap m_wrong;
};
