#pragma once
// The Join tab's list: one row per chunk of the inspected set, its path, its
// size and a tick or a cross. A view over the inspection's result: no widget,
// no item object and no string per row, so a set of any size lists at once.
#include <QAbstractTableModel>
#include <QPixmap>
#include <QString>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "partwise/checksums.h"
#include "partwise/chunk_check.h"

// How far a chunk has been checked, and what was found.
enum class RowCheck : uint8_t {
    kHeadGood,  // its size and first KiB match its record; the rest not checked yet
    kHeadBad,   // its size or first KiB differ from its record
    kMissing,
    kWhole,     // every byte matches its checksum
    kDamaged,   // its bytes differ from its checksum
    kHeadOnly,  // no checksum for it: its size and first KiB match, the rest cannot be checked
    kRefused,   // the join refused it, for the list's refusal reason
};
constexpr std::size_t kRowCheckKinds = 7;

// What the list keeps of each chunk, flat: the index its record names, its
// size (-1 when missing), how far it is checked and why it is not good. The
// path follows from the index, so a chunk costs about 14 bytes.
class ChunkRows {
public:
    // In the order the inspection hands them over.
    void add(const partwise::ChunkEntry& entry);
    void markAllBad();
    std::size_t size() const { return m_indexes.size(); }
    int32_t chunkIndex(std::size_t row) const { return m_indexes[row]; }
    int64_t fileSize(std::size_t row) const { return m_sizes[row]; }
    RowCheck check(std::size_t row) const { return m_checks[row]; }
    partwise::ChunkReason reason(std::size_t row) const { return m_reasons[row]; }
    void setCheck(std::size_t row, RowCheck check, partwise::ChunkReason reason);
    // Rows in each RowCheck, indexed by its value.
    int64_t count(RowCheck check) const { return m_counts[static_cast<std::size_t>(check)]; }
    const std::vector<int32_t>& chunkIndexes() const { return m_indexes; }

private:
    std::vector<int32_t> m_indexes;
    std::vector<int64_t> m_sizes;
    std::vector<RowCheck> m_checks;
    std::vector<partwise::ChunkReason> m_reasons;
    std::array<int64_t, kRowCheckKinds> m_counts{};
};

class ChunkListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    explicit ChunkListModel(QObject* parent = nullptr);

    // The rows of the set in chunkFolder whose chunks are named after stem.
    void setRows(std::string chunkFolder, std::string stem, ChunkRows rows);
    void clear() { setRows({}, {}, {}); }
    const ChunkRows& rows() const { return m_rows; }
    const std::string& chunkFolder() const { return m_chunkFolder; }
    const std::string& stem() const { return m_stem; }
    // The chunk file of a row, in the file system's encoding.
    std::string chunkPath(int row) const;

    // The verdicts of every byte checked, for the rows from firstRow on; a
    // row that names another chunk, or that the join refused, keeps its own.
    void applyFullCheck(int32_t firstRow, const std::vector<int32_t>& chunkIndexes,
                        const std::vector<partwise::ChunkVerdict>& verdicts,
                        const std::vector<partwise::ChunkReason>& reasons);
    // The join refused the chunk chunkIndex for reason.
    void markRefused(int32_t chunkIndex, const QString& reason);
    // A join read every chunk whole and each matched its checksum; those it
    // rebuilt from the recovery files are still lost in the set.
    void markAllWhole(const std::vector<partwise::RebuiltChunk>& rebuilt = {});

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

private:
    void rowsChanged(int first, int last);

    std::string m_chunkFolder;
    std::string m_stem;
    ChunkRows m_rows;
    QString m_refusal;
    QPixmap m_right;
    QPixmap m_wrong;
};
