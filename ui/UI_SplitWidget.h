#pragma once
// The "Split File" tab: one source (file or folder), a chunk size in KB, MB or
// GB or a number of chunks, an output folder, an optional password, and
// "Split", which runs the split on a SplitDoingThread behind a progress dialog
// that can cancel it. A source is measured off the window's thread; one can
// also be dropped on the tab.
#include <QString>
#include <QWidget>

#include <cstdint>
#include <string>

class QCheckBox;
class QSpinBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QAction;
class QTimer;
class QToolButton;
class QTreeWidget;
class EngineCallThread;
class SplitDoingThread;
class UI_DialogWidget;
class UI_ProgressWidget;
class UI_SplitProject;
class UI_inputpwdWidget;
namespace partwise {
struct ChunkSizePreset;
struct SplitJob;
}  // namespace partwise

class UI_SplitWidget : public QWidget {
    Q_OBJECT
public:
    explicit UI_SplitWidget(QWidget* parent = nullptr);
    ~UI_SplitWidget() override;

    // Sets the tab's rectangle and lays out its children inside it.
    void placeWidgets(int x, int y, int w, int h);
    void addSourceRow(const QString& path, int64_t size);
    // Makes path the source: measures it on a worker thread, the window busy
    // meanwhile, then lists it and proposes a chunk size.
    void chooseSource(const QString& path);
    // "Split" is offered when a source of a known size is listed and an
    // output folder is set.
    void updateSplitButton();
    // chunkSize from the size field and unit; the count field follows.
    void computeFromSize();
    // chunkSize from the count field, rounded up so that the split makes no
    // more chunks than the count; the size field and unit follow.
    void computeFromCount();
    // A round chunk size of about a ninth of the source.
    void suggestChunkSize();
    // chunkSize is the preset's exact size until the size, unit or count is
    // edited; the size field shows it rounded down.
    void applyPreset(const partwise::ChunkSizePreset& preset);
    // While any job runs nothing here may start another engine action.
    void setEngineBusy(bool busy);
    // Cancels a running split as its Cancel button does.
    void cancelJob();

    UI_SplitProject* mainWindow = nullptr;
    int64_t totalSize = 102400;
    int64_t chunkSize = 0;
    QString sourcePath;

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private slots:
    void split_size_ComboBox_slots();
    void split_bysize_LineEidt_slots();
    void split_bycount_LineEidt_slots();
    void input_fileButton_slots();
    void input_folderButton_slots();
    void split_bysize_RadioButton_slots();
    void split_bycount_RadioButton_slots();
    void output_fileButton_slots();
    void delbutton_slots();
    void entry_pwd_CheckBox_slots(int state);
    void m_SplitDoingThread_Finished();
    void m_split_Button_slots();
    void m_split_Timer1_slots();
    void measure_Finished();
    void lookup_Finished();

private:
    // Where a dialog of anchorWidth goes: centred on the tab's width, from
    // its middle height down, over the main window.
    QPoint dialogAnchor(int anchorWidth) const;
    void enableSplitButton();
    // Asks before the split replaces the chunk set of another source, as
    // the lookup found; true when the split may go ahead, with
    // job.replaceOtherSet set when it was asked to.
    bool confirmReplacement(partwise::SplitJob& job);
    // Starts the split of the filled-in job.
    void startSplit();
    // A file of a chunk set is joined, not split: offers the Join tab.
    bool offerJoinTab(const QString& path);

    SplitDoingThread* m_SplitDoingThread;
    EngineCallThread* measureThread;
    // Looks for another source's chunk set where the split will write.
    EngineCallThread* lookupThread;
    struct OtherSet {
        int found = 0;  // FindOtherChunkSet's answer
        std::string heldSource;
        QString reason;
    };
    OtherSet otherSet;
    // "Cancel" was pressed since "Split": also before the split itself started.
    bool cancelPressed = false;
    // The source being measured, and its size once measured.
    QString measuringPath;
    int64_t measuredSize = -1;
    QPushButton* input_fileButton;
    QPushButton* input_folderButton;
    QTreeWidget* fileTree;
    QWidget* optionsWidget;
    QRadioButton* split_bysize_RadioButton;
    QLineEdit* split_bysize_LineEidt;
    QComboBox* split_size_ComboBox;
    // Beside the unit: the size presets and the join script for recipients.
    QToolButton* split_presets_Button;
    QAction* joinScriptAction;
    QRadioButton* split_bycount_RadioButton;
    QLineEdit* split_bycount_LineEidt;
    QCheckBox* deleteSourceCheckBox;
    QCheckBox* entry_pwd_CheckBox;
    QLabel* recoveryLabel;
    QSpinBox* recovery_SpinBox;
    QLabel* outPathLabel;
    QLineEdit* outPathLineEdit;
    QPushButton* output_fileButton;
    QPushButton* m_split_Button;
    UI_ProgressWidget* progressWidget;
    UI_DialogWidget* completeWidget;
    UI_inputpwdWidget* pwdWidget;
    QTimer* m_split_Timer1;

    bool splitAllowed = false;
    bool engineBusy = false;
    // The source of the running split, as its messages name it.
    QString jobSourcePath;
};
