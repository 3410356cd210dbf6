#pragma once
// The "Join File" tab: "Add Folder" (or a chunk folder dropped on the tab)
// inspects a chunk folder off the window's thread and lists its chunks with a
// tick or a cross; "Join" warns before replacing an existing output, asks for
// the password of a protected set, and runs the join on a MergeDoingThread
// behind a progress dialog that can cancel it.
#include <QString>
#include <QWidget>

#include <cstdint>
#include <vector>

#include "ChunkListModel.h"
#include "ChunkSetSummary.h"
#include "partwise/chunk_check.h"
#include "partwise/recovery.h"

class EngineCallThread;
class FullCheckThread;
class MergeDoingThread;
class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;
class QTreeView;
class UI_DialogWidget;
class UI_ProgressWidget;
class UI_SplitProject;
class UI_inputpwdWidget;

class UI_MergeWidget : public QWidget {
    Q_OBJECT
public:
    explicit UI_MergeWidget(QWidget* parent = nullptr);
    ~UI_MergeWidget() override;

    // Sets the tab's rectangle and lays out its children inside it.
    void placeWidgets(int x, int y, int w, int h);
    // Inspects folder on a worker thread and lists it when done; the window
    // is busy meanwhile.
    void listChunkFolder(const QString& folder);
    // The chunk folder that path stands for: a folder holding a descriptor,
    // the descriptor itself, or a chunk file beside one. Empty for anything else.
    static QString chunkFolderOf(const QString& path);
    // While any job runs nothing here may start another engine action.
    void setEngineBusy(bool busy);
    // Stops the check of every byte and waits for its thread; every other
    // engine action does this before it starts.
    void stopFullCheck();
    bool checkingEveryByte() const { return checkStage == ChunkHealth::Stage::kChecking; }
    // Cancels a running join as its Cancel button does.
    void cancelJob();

    UI_SplitProject* mainWindow = nullptr;
    // The listed set's password digest text; all zero for none.
    char passwordDigest[40];
    QString chunkFolder;
    QString sourceName;

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private slots:
    void input_mergefileButton_slots();
    void output_mergefileButton_slots();
    void m_merge_Button_slots();
    void m_MergeDoingThread_Finished();
    void m_merge_Timer1_slots();
    void inspection_Finished();
    void removal_Finished();

private:
    // Where a dialog of anchorWidth goes: centred on the tab's width, from
    // its middle height down, over the main window.
    QPoint dialogAnchor(int anchorWidth) const;
    void setJoinAllowed(bool allowed);
    // Shows the progress dialog and starts the join the thread is set up for.
    void startJoin();
    // After a join refused for a damaged checksum file: offers to join
    // without it, Cancel the default. True when the failure was that one.
    bool offerJoinWithoutChecksums();
    // The line under the list, from the listed set and its rows.
    void showSummary();
    // Checks every byte of the listed set in the background; the rows and
    // the line under the list follow.
    void startFullCheck();
    // Empties the list and deletes the listed chunks and the set's checksum
    // and metadata files on a worker thread.
    void deleteChunks(const QString& checksumFile);

    MergeDoingThread* m_MergeDoingThread;
    EngineCallThread* inspectThread;
    EngineCallThread* removeThread;
    FullCheckThread* fullCheckThread;
    QTimer* checkTimer;
    QPushButton* input_mergefileButton;
    QTreeView* chunkTree;
    ChunkListModel* chunkModel;
    QLabel* summaryLabel;
    QCheckBox* deleteSourceCheckBox;
    QLabel* outPathLabel;
    QLineEdit* outPathLineEdit;
    QPushButton* output_mergefileButton;
    QPushButton* m_merge_Button;
    UI_ProgressWidget* progressWidget;
    UI_DialogWidget* completeWidget;
    UI_inputpwdWidget* pwdWidget;
    QTimer* m_merge_Timer1;

    // The listed set's header part and, until listed, its rows as inspected.
    partwise::ChunkSetSummary inspected;
    ChunkRows inspectedRows;
    // What the set's recovery files could rebuild, by their names and sizes.
    partwise::RecoveryOutline recovery;
    partwise::RecoveryOutline inspectedRecovery;
    ChunkHealth::Stage checkStage = ChunkHealth::Stage::kFirstKiB;
    // Counts the checks started and stopped: what a stopped one still hands
    // over is dropped.
    int checkRun = 0;
    // Chunk files the last deletion could not remove.
    int64_t removalKept = 0;

    bool joinAllowed = false;
    bool engineBusy = false;
};
