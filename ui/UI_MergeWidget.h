#pragma once
// The "Join File" tab: "Add Folder" inspects a chunk folder and lists its
// chunks with a tick or a cross; "Join" warns before replacing an existing
// output, asks for the password of a protected set, and runs the join on a
// MergeDoingThread behind a progress dialog.
#include <QString>
#include <QWidget>

#include <cstdint>
#include <vector>

#include "partwise/verify.h"

class MergeDoingThread;
class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;
class QTreeWidget;
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
    void addChunkRow(const QString& path, int verdict, int64_t size);
    // While any job runs nothing here may start another engine action.
    void setEngineBusy(bool busy);

    UI_SplitProject* mainWindow = nullptr;
    // The listed set's password digest text; all zero for none.
    char passwordDigest[40];
    QString chunkFolder;
    QString sourceName;

private slots:
    void input_mergefileButton_slots();
    void output_mergefileButton_slots();
    void m_merge_Button_slots();
    void m_MergeDoingThread_Finished();
    void m_merge_Timer1_slots();

private:
    // Where a dialog of anchorWidth goes: centred on the tab's width, from
    // its middle height down, over the main window.
    QPoint dialogAnchor(int anchorWidth) const;
    void setJoinAllowed(bool allowed);
    // The line under the list; a descriptor cut short counts every chunk as damaged.
    void showSummary(int64_t totalSize, const std::vector<partwise::ChunkEntry>& entries, bool descriptorCutShort);

    MergeDoingThread* m_MergeDoingThread;
    QPushButton* input_mergefileButton;
    QTreeWidget* chunkTree;
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

    bool joinAllowed = false;
    bool engineBusy = false;
};
