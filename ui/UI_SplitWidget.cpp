#include "UI_SplitWidget.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>

#include <algorithm>
#include <cstring>

#include "DroppedPath.h"
#include "EngineCallThread.h"
#include "FileChooser.h"
#include "OutputFolder.h"
#include "SplitDoingThread.h"
#include "UI_DialogWidget.h"
#include "UI_MergeWidget.h"
#include "UI_MyMessageBox.h"
#include "UI_ProgressWidget.h"
#include "UI_SplitProject.h"
#include "UI_inputpwdWidget.h"
#include "WidgetLook.h"
#include "partwise/checksums.h"
#include "partwise/chunk_names.h"
#include "partwise/errors.h"
#include "partwise/fsutil.h"
#include "partwise/job_checks.h"
#include "partwise/media.h"
#include "partwise/progress.h"
#include "partwise/splitter.h"

namespace {

constexpr int64_t kUnitBytes[] = {1024, 1048576, 1073741824};  // "KB", "MB", "GB"

// The quotient, plus 1 when the remainder is not 0.
int64_t quotientRoundedUp(int64_t total, int64_t part) { return total / part + (total % part != 0 ? 1 : 0); }

// What a folder source kept after its deletion, a few names and a count.
QString keptText(const partwise::SourceRemoval& removal) {
    QStringList named;
    for (const std::string& path : removal.keptSample) named << "'" + QFile::decodeName(path.c_str()) + "'";
    QString text = "the chunk set does not hold " + named.join(", ");
    const int64_t more = removal.keptCount - int64_t(removal.keptSample.size());
    if (more > 0) text += QString(" and %1 more").arg(more);
    return text + ", so " + (removal.keptCount == 1 ? "it was" : "they were") + " not deleted.";
}

// What a folder split passed over: the counts, a few names below root.
QString passedOverText(const partwise::SplitReport& report, const QString& root) {
    constexpr int kNamed = 5;
    QStringList named;
    const QDir base(root);
    for (const partwise::PassedOverEntry& entry : report.passedOver) {
        if (named.size() == kNamed) break;
        named << "'" + base.relativeFilePath(QFile::decodeName(entry.path.c_str())) + "'";
    }
    QString text = "The split " + QString::fromStdString(partwise::DescribePassedOver(report.passedOver)) +
                   ", which the chunk set does not hold: " + named.join(", ");
    const int more = int(report.passedOver.size()) - kNamed;
    return more > 0 ? text + QString(" and %1 more.").arg(more) : text + ".";
}

// A chunk file or a descriptor: joined, never split.
bool isChunkSetFile(const QString& path) {
    return QFileInfo(path).isFile() && !UI_MergeWidget::chunkFolderOf(path).isEmpty();
}

// A field's number, or 0 when it is empty, 0 or past 32 bits.
int64_t fieldNumber(const QLineEdit* field) { return qMax(0, field->text().toInt()); }

// A field's number; an empty field, 0, or a number past 32 bits becomes "1".
int64_t positiveFieldValue(QLineEdit* field) {
    const int64_t value = fieldNumber(field);
    if (value > 0) return value;
    field->setText("1");
    return 1;
}

}  // namespace

UI_SplitWidget::UI_SplitWidget(QWidget* parent) : QWidget(parent) {
    useArial(this, 10);

    input_fileButton = named(new QPushButton(this), "input_fileButton");
    input_folderButton = named(new QPushButton(this), "input_folderButton");
    fileTree = named(new QTreeWidget(this), "fileTree");
    fileTree->setColumnCount(4);
    fileTree->setRootIsDecorated(false);
    fileTree->setHeaderLabels({tr("Name"), tr("Path"), tr("Size"), tr("")});
    fileTree->horizontalScrollBar()->setFixedHeight(10);
    fileTree->horizontalScrollBar()->setStyleSheet("QScrollBar:horizontal{height: 10px;}");

    optionsWidget = named(new QWidget(this), "optionsWidget");
    split_bysize_RadioButton = named(new QRadioButton(optionsWidget), "split_bysize_RadioButton");
    split_bysize_LineEidt = named(new QLineEdit(optionsWidget), "split_bysize_LineEidt");
    split_size_ComboBox = named(new QComboBox(optionsWidget), "split_size_ComboBox");
    split_presets_Button = named(new QToolButton(optionsWidget), "split_presets_Button");
    split_bycount_RadioButton = named(new QRadioButton(optionsWidget), "split_bycount_RadioButton");
    split_bycount_LineEidt = named(new QLineEdit(optionsWidget), "split_bycount_LineEidt");
    deleteSourceCheckBox = named(new QCheckBox(optionsWidget), "deleteSourceCheckBox");
    entry_pwd_CheckBox = named(new QCheckBox(optionsWidget), "entry_pwd_CheckBox");
    recoveryLabel = named(new QLabel(optionsWidget), "recoveryLabel");
    recovery_SpinBox = named(new QSpinBox(optionsWidget), "recovery_SpinBox");
    outPathLabel = named(new QLabel(this), "outPathLabel");
    outPathLineEdit = named(new QLineEdit(this), "outPathLineEdit");
    output_fileButton = named(new QPushButton(this), "output_fileButton");
    m_split_Button = named(new QPushButton(this), "m_split_Button");

    // A child, as the Join tab's: it stays above the window.
    progressWidget = named(new UI_ProgressWidget(this), "splitProgressDialog");
    progressWidget->setCaption("Splitting...");
    progressWidget->hide();
    // Modeless, as the Join tab's: a modal one would keep the main window
    // from being closed, which must say that a split runs.
    completeWidget = named(new UI_DialogWidget, "splitCompleteDialog");
    completeWidget->setCaption("Splitting Completed!");
    completeWidget->hide();
    completeWidget->setModal(true);
    pwdWidget = named(new UI_inputpwdWidget, "splitPasswordDialog");
    pwdWidget->setModal(true);
    pwdWidget->hide();

    // Empty is acceptable, so that a field can be retyped; it is repaired when
    // the editing finishes.
    auto* digitsOnly = new QRegularExpressionValidator(QRegularExpression("[0-9]*"), this);
    split_bysize_LineEidt->setValidator(digitsOnly);
    split_bycount_LineEidt->setValidator(digitsOnly);

    outPathLabel->setText("OutPath");
    input_fileButton->setText("Add File");
    input_folderButton->setText("Add Folder");
    output_fileButton->setText("...");
    split_bysize_RadioButton->setText("Split File Size");
    split_bycount_RadioButton->setText("Split File Count");
    m_split_Button->setText("Split");
    deleteSourceCheckBox->setText("Delete source file after splitting");
    // Nothing is encrypted: the password guards the join only.
    entry_pwd_CheckBox->setText("Password protect");
    recoveryLabel->setText("Recovery chunks");
    recovery_SpinBox->setRange(0, 50);
    // They rebuild lost chunks; they hide nothing.
    const QString recoveryTip =
        "Files of parity written beside the chunks: any this many lost or damaged chunks of a group of up to "
        "256 chunks are rebuilt when the set is joined. They do not encrypt or hide anything.";
    recoveryLabel->setToolTip(recoveryTip);
    recovery_SpinBox->setToolTip(recoveryTip);

    split_size_ComboBox->addItems({"KB", "MB", "GB"});
    QFont comboFont = font();
    comboFont.setPointSize(9);
    split_size_ComboBox->setFont(comboFont);
    // "KB", "MB" and "GB" must show whole in the 40-pixel box.
    useSlimArrow(split_size_ComboBox);

    split_presets_Button->setText("Presets");
    split_presets_Button->setPopupMode(QToolButton::InstantPopup);
    auto* presetsMenu = new QMenu(split_presets_Button);
    for (const partwise::ChunkSizePreset& preset : partwise::ChunkSizePresets()) {
        QAction* action = presetsMenu->addAction(QString("%1 (%2)").arg(preset.name, preset.purpose));
        action->setObjectName(QString("preset_") + preset.name);
        connect(action, &QAction::triggered, this, [this, &preset] { applyPreset(preset); });
    }
    presetsMenu->addSeparator();
    joinScriptAction = presetsMenu->addAction("Add a join script for recipients");
    joinScriptAction->setObjectName("joinScriptAction");
    joinScriptAction->setCheckable(true);
    split_presets_Button->setMenu(presetsMenu);

    m_split_Timer1 = new QTimer;
    connect(m_split_Timer1, &QTimer::timeout, this, &UI_SplitWidget::m_split_Timer1_slots);
    measureThread = new EngineCallThread;
    connect(measureThread, &QThread::finished, this, &UI_SplitWidget::measure_Finished);
    lookupThread = new EngineCallThread;
    connect(lookupThread, &QThread::finished, this, &UI_SplitWidget::lookup_Finished);
    connect(progressWidget, &UI_ProgressWidget::closeAsked, this, [this] { mainWindow->close(); });
    connect(progressWidget, &UI_ProgressWidget::cancelRequested, this, [this] {
        cancelPressed = true;
        partwise::RequestCancel();
    });
    m_SplitDoingThread = new SplitDoingThread;
    connect(m_SplitDoingThread, &QThread::finished, this, &UI_SplitWidget::m_SplitDoingThread_Finished);
    connect(split_size_ComboBox, &QComboBox::currentIndexChanged, this, &UI_SplitWidget::split_size_ComboBox_slots);
    connect(split_bysize_LineEidt, &QLineEdit::textEdited, this, &UI_SplitWidget::split_bysize_LineEidt_slots);
    connect(split_bycount_LineEidt, &QLineEdit::textEdited, this, &UI_SplitWidget::split_bycount_LineEidt_slots);
    connect(split_bysize_LineEidt, &QLineEdit::editingFinished, this, [this] {
        if (fieldNumber(split_bysize_LineEidt) == 0) computeFromSize();
        enableSplitButton();
    });
    connect(split_bycount_LineEidt, &QLineEdit::editingFinished, this, [this] {
        if (fieldNumber(split_bycount_LineEidt) == 0) computeFromCount();
        enableSplitButton();
    });
    connect(input_fileButton, &QPushButton::clicked, this, &UI_SplitWidget::input_fileButton_slots);
    connect(input_folderButton, &QPushButton::clicked, this, &UI_SplitWidget::input_folderButton_slots);
    connect(output_fileButton, &QPushButton::clicked, this, &UI_SplitWidget::output_fileButton_slots);
    connect(split_bysize_RadioButton, &QRadioButton::clicked, this, &UI_SplitWidget::split_bysize_RadioButton_slots);
    connect(split_bycount_RadioButton, &QRadioButton::clicked, this, &UI_SplitWidget::split_bycount_RadioButton_slots);
    connect(m_split_Button, &QPushButton::clicked, this, &UI_SplitWidget::m_split_Button_slots);
    connect(entry_pwd_CheckBox, &QCheckBox::stateChanged, this, &UI_SplitWidget::entry_pwd_CheckBox_slots);

    setAcceptDrops(true);
    totalSize = 102400;
    split_bysize_RadioButton->setChecked(true);
    split_bysize_RadioButton_slots();
    updateSplitButton();
}

UI_SplitWidget::~UI_SplitWidget() {
    // The window refuses to close while a split runs; it goes only when a stop
    // signal has cancelled it, and the split cleans up before its thread ends.
    m_SplitDoingThread->wait();
    measureThread->wait();
    lookupThread->wait();
    delete m_SplitDoingThread;
    delete measureThread;
    delete lookupThread;
    delete m_split_Timer1;
    delete progressWidget;
    delete completeWidget;
    delete pwdWidget;
}

void UI_SplitWidget::placeWidgets(int x, int y, int w, int h) {
    setGeometry(x, y, w, h);
    input_fileButton->setGeometry(0, 0, 100, 30);
    input_folderButton->setGeometry(105, 0, 100, 30);
    fileTree->setGeometry(0, 40, w, 70);
    optionsWidget->setGeometry(0, 140, w, 200);
    split_bysize_RadioButton->setGeometry(0, 0, 120, 30);
    split_bysize_LineEidt->setGeometry(120, 0, 60, 24);
    split_size_ComboBox->setGeometry(180, 0, 40, 24);
    split_presets_Button->setGeometry(225, 0, 80, 24);
    split_bycount_RadioButton->setGeometry(0, 40, 120, 30);
    split_bycount_LineEidt->setGeometry(120, 40, 100, 24);
    deleteSourceCheckBox->setGeometry(0, 80, 300, 24);
    entry_pwd_CheckBox->setGeometry(0, 120, qMax(100, entry_pwd_CheckBox->sizeHint().width()), 24);
    recoveryLabel->setGeometry(180, 120, 110, 24);
    recovery_SpinBox->setGeometry(290, 120, 60, 24);
    outPathLabel->setGeometry(0, h - 98, 60, 30);
    outPathLineEdit->setGeometry(60, h - 100, 360, 26);
    output_fileButton->setGeometry(420, h - 100, 35, 26);
    m_split_Button->setGeometry(500, h - 120, 100, 50);

    fileTree->setColumnWidth(3, 60);
    fileTree->setColumnWidth(2, 100);
    fileTree->setColumnWidth(1, fileTree->width() - 290);
    fileTree->setColumnWidth(0, 120);
}

QPoint UI_SplitWidget::dialogAnchor(int anchorWidth) const {
    return mainWindow->pos() + QPoint((width() - anchorWidth) / 2, height() / 2);
}

void UI_SplitWidget::addSourceRow(const QString& path, int64_t size) {
    auto* removeButton = named(new QPushButton("Remove"), "removeButton");
    connect(removeButton, &QPushButton::clicked, this, &UI_SplitWidget::delbutton_slots);
    sourcePath = path;
    auto* row = new QTreeWidgetItem({QDir(path).dirName(), path, QString::fromStdString(partwise::FormatSize(size))});
    fileTree->addTopLevelItem(row);
    fileTree->setItemWidget(row, 3, removeButton);
}

void UI_SplitWidget::updateSplitButton() {
    splitAllowed = fileTree->topLevelItemCount() > 0 && totalSize >= 0 && !outPathLineEdit->text().isEmpty();
    enableSplitButton();
}

void UI_SplitWidget::enableSplitButton() {
    // A field being retyped may hold no number for a while; what the tab
    // itself writes (a count of 0 for an empty source) does not count.
    const auto retyping = [](const QLineEdit* field) { return field->isModified() && fieldNumber(field) == 0; };
    m_split_Button->setEnabled(splitAllowed && !engineBusy && !retyping(split_bysize_LineEidt) &&
                               !retyping(split_bycount_LineEidt));
}

void UI_SplitWidget::setEngineBusy(bool busy) {
    engineBusy = busy;
    input_fileButton->setEnabled(!busy);
    input_folderButton->setEnabled(!busy);
    enableSplitButton();
}

void UI_SplitWidget::cancelJob() {
    if (m_SplitDoingThread->isRunning()) progressWidget->cancel();
}

void UI_SplitWidget::computeFromSize() {
    split_bysize_LineEidt->setToolTip(QString());
    const int64_t units = positiveFieldValue(split_bysize_LineEidt);
    const int unitIndex = qBound(0, split_size_ComboBox->currentIndex(), 2);
    chunkSize = units * kUnitBytes[unitIndex];
    split_bycount_LineEidt->setText(QString::number(quotientRoundedUp(totalSize, chunkSize), 10));
}

void UI_SplitWidget::computeFromCount() {
    int64_t count = positiveFieldValue(split_bycount_LineEidt);
    // The command line's rule: rounded up, never more chunks than the count.
    chunkSize = partwise::ChunkSizeForCount(totalSize, count);
    // Chunks held up at the minimum make fewer than typed; a source of 0 bytes,
    // or of no measurable size, still shows 1.
    if (chunkSize == partwise::kMinChunkSizeForCount)
        count = qMax<int64_t>(1, partwise::ChunkCountFor(totalSize, chunkSize));
    split_bycount_LineEidt->setText(QString::number(count, 10));
    split_bysize_LineEidt->setToolTip(QString());

    int unitIndex = 2;
    while (unitIndex > 0 && chunkSize < kUnitBytes[unitIndex]) --unitIndex;
    split_bysize_LineEidt->setText(QString::number(chunkSize / kUnitBytes[unitIndex], 10));
    // The exact chunkSize stays until the user edits the size or the unit.
    const QSignalBlocker keepChunkSize(split_size_ComboBox);
    split_size_ComboBox->setCurrentIndex(unitIndex);
    enableSplitButton();
}

void UI_SplitWidget::suggestChunkSize() {
    int64_t value = totalSize / 9;
    int scale = 0;
    while (value > 1024) {
        value /= 1024;
        ++scale;
    }
    int digits = 0;
    while (value > 10) {
        value /= 10;
        ++digits;
    }
    while (digits-- > 0) value *= 10;
    if (value < 1) value = 1;
    split_bysize_LineEidt->setText(QString::number(value, 10));
    if (scale <= 1)
        split_size_ComboBox->setCurrentIndex(0);
    else if (scale <= 3)
        split_size_ComboBox->setCurrentIndex(scale - 1);
    computeFromSize();
}

void UI_SplitWidget::applyPreset(const partwise::ChunkSizePreset& preset) {
    split_bysize_RadioButton->setChecked(true);
    split_bysize_RadioButton_slots();
    chunkSize = preset.bytes;
    // The largest unit that shows the size to within 0.1%: fat32's
    // 4,294,967,295 bytes as 4095 MB rather than 3 GB.
    int unitIndex = 2;
    while (unitIndex > 0 && (chunkSize % kUnitBytes[unitIndex]) * 1000 > chunkSize) --unitIndex;
    split_bysize_LineEidt->setText(QString::number(chunkSize / kUnitBytes[unitIndex], 10));
    split_bysize_LineEidt->setToolTip(QString("%1: exactly %2 bytes per chunk")
                                          .arg(preset.name, QLocale(QLocale::English).toString(qlonglong(chunkSize))));
    split_bycount_LineEidt->setText(QString::number(quotientRoundedUp(totalSize, chunkSize), 10));
    const QSignalBlocker keepChunkSize(split_size_ComboBox);
    split_size_ComboBox->setCurrentIndex(unitIndex);
}

void UI_SplitWidget::split_size_ComboBox_slots() { computeFromSize(); }

// An edit that leaves no number waits for more typing, or for the editing to
// finish, which repairs it.
void UI_SplitWidget::split_bysize_LineEidt_slots() {
    if (fieldNumber(split_bysize_LineEidt) > 0) computeFromSize();
    enableSplitButton();
}

void UI_SplitWidget::split_bycount_LineEidt_slots() {
    if (fieldNumber(split_bycount_LineEidt) > 0) computeFromCount();
    enableSplitButton();
}

bool UI_SplitWidget::offerJoinTab(const QString& path) {
    if (!isChunkSetFile(path)) return false;
    if (askToGoOn(mainWindow, "'" + path + "' belongs to a chunk set: it is joined, not split.", "Open on Join tab"))
        mainWindow->openPath(path);
    return true;
}

void UI_SplitWidget::chooseSource(const QString& path) {
    if (engineBusy || offerJoinTab(path)) return;
    fileTree->clear();
    updateSplitButton();
    QDir parentFolder(path);
    parentFolder.cdUp();
    outPathLineEdit->setText(parentFolder.absolutePath());
    // Deleting is chosen for one source, never carried over to the next.
    deleteSourceCheckBox->setChecked(false);
    measuringPath = path;
    mainWindow->setEngineBusy(true);
    measureThread->startCall<int64_t>(
        [source = QFile::encodeName(path).toStdString()](int64_t& size) {
            partwise::ClearLastError();
            size = partwise::GetPathSize(source);
            return size < 0 ? -1 : 0;
        },
        [this](int64_t& size) { measuredSize = size; });
}

void UI_SplitWidget::measure_Finished() {
    mainWindow->setEngineBusy(false);
    totalSize = measuredSize;
    addSourceRow(measuringPath, totalSize);
    if (totalSize < 0)
        showFailure(mainWindow, "The size of '" + measuringPath + "' cannot be measured", measureThread->errorText());
    // A folder starts as ten chunks, a file as a round size.
    if (QFileInfo(measuringPath).isDir()) {
        split_bycount_LineEidt->setText("10");
        computeFromCount();
    } else {
        suggestChunkSize();
    }
    updateSplitButton();
}

void UI_SplitWidget::input_fileButton_slots() {
    // "(*)": on this system "*.*" would hide every file without an extension.
    const QString path = FileChooser::openFile(this, tr("Open File"), QDir::homePath(), tr("(*)"));
    if (!path.isEmpty()) chooseSource(path);
}

void UI_SplitWidget::input_folderButton_slots() {
    const QString path = FileChooser::existingFolder(this, tr("Select Split source Folder"), QDir::homePath());
    if (!path.isEmpty()) chooseSource(path);
}

void UI_SplitWidget::dragEnterEvent(QDragEnterEvent* event) {
    if (!engineBusy && !droppedPath(event->mimeData()).isEmpty()) event->acceptProposedAction();
}

void UI_SplitWidget::dropEvent(QDropEvent* event) {
    const QString path = droppedPath(event->mimeData());
    if (engineBusy || path.isEmpty()) return;
    event->acceptProposedAction();
    // The question waits until the drop has ended.
    if (isChunkSetFile(path))
        QTimer::singleShot(0, this, [this, path] { offerJoinTab(path); });
    else
        chooseSource(path);
}

void UI_SplitWidget::split_bysize_RadioButton_slots() {
    split_size_ComboBox->setEnabled(false);
    split_bysize_LineEidt->setEnabled(false);
    split_bycount_LineEidt->setEnabled(false);
    if (split_bysize_RadioButton->isChecked()) {
        split_size_ComboBox->setEnabled(true);
        split_bysize_LineEidt->setEnabled(true);
    } else {
        split_bycount_LineEidt->setEnabled(true);
    }
}

void UI_SplitWidget::split_bycount_RadioButton_slots() { split_bysize_RadioButton_slots(); }

void UI_SplitWidget::output_fileButton_slots() {
    const QString folder = FileChooser::existingFolder(this, tr("Select Output Folder"), QDir::homePath());
    if (folder.isEmpty()) return;
    outPathLineEdit->setText(folder);
    updateSplitButton();
}

void UI_SplitWidget::delbutton_slots() {
    fileTree->clear();
    updateSplitButton();
}

void UI_SplitWidget::entry_pwd_CheckBox_slots(int state) {
    const QPoint at = dialogAnchor(240);
    pwdWidget->placeDialog(at.x(), at.y(), 260, 180);
    if (state == 0) return;
    pwdWidget->execDialog();
    if (pwdWidget->passwordSet != 1) entry_pwd_CheckBox->setCheckState(Qt::Unchecked);
}

void UI_SplitWidget::m_split_Button_slots() {
    partwise::SplitJob& job = m_SplitDoingThread->job;
    const QByteArray source = QFile::encodeName(sourcePath);
    const QByteArray output = QFile::encodeName(outPathLineEdit->text());
    const QByteArray password =
        entry_pwd_CheckBox->checkState() == Qt::Checked ? pwdWidget->passwordText.toUtf8() : QByteArray();
    const std::string problem =
        partwise::SplitOptionsProblem(source.toStdString(), output.toStdString(), password.toStdString(), chunkSize);
    if (!problem.empty()) {
        showFailure(mainWindow, "Not split", QString::fromStdString(problem));
        return;
    }
    if (!readyOutputFolder(mainWindow, outPathLineEdit->text())) return;

    std::memset(&job, 0, sizeof job);
    std::memcpy(job.sourcePath, source.constData(), source.size());
    std::memcpy(job.outputFolder, output.constData(), output.size());
    job.totalSize = totalSize;
    job.chunkSize = chunkSize;
    std::memcpy(job.password, password.constData(), password.size());
    job.joinScript = joinScriptAction->isChecked() ? 1 : 0;
    job.recoveryCount = recovery_SpinBox->value();
    // Each chunk takes a block of disk and a file entry however small it is.
    const int64_t chunkCount = partwise::ChunkCountFor(totalSize, chunkSize);
    if (chunkCount > partwise::kManyChunks &&
        !confirmLoss(
            mainWindow, "Many chunks",
            QString::fromStdString("This makes " + partwise::FormatCount(chunkCount) + " chunks. Split anyway?")))
        return;

    // The lookup is the split's first step: its progress window shows now.
    m_SplitDoingThread->removeSource = deleteSourceCheckBox->checkState() == Qt::Checked;
    jobSourcePath = sourcePath;
    const QPoint at = dialogAnchor(360);
    progressWidget->placeDialog(at.x(), at.y(), 360, 96);
    progressWidget->startJob();
    progressWidget->show();
    cancelPressed = false;

    otherSet = OtherSet();
    mainWindow->setEngineBusy(true);
    lookupThread->startCall<OtherSet>(
        [job](OtherSet& found) {
            found.found = partwise::FindOtherChunkSet(job, found.heldSource);
            found.reason = QString::fromStdString(partwise::GetLastErrorText());
            return 0;
        },
        [this](OtherSet& found) { otherSet = std::move(found); });
}

void UI_SplitWidget::lookup_Finished() {
    // The window stays busy while it asks: nothing else may start meanwhile.
    if (!mainWindow->stopping() && !cancelPressed && confirmReplacement(m_SplitDoingThread->job)) {
        startSplit();
        return;
    }
    mainWindow->setEngineBusy(false);
    progressWidget->hide();
    if (cancelPressed && !mainWindow->stopping()) showMessage(mainWindow, QString(), "Cancelled", true, false);
}

void UI_SplitWidget::startSplit() {
    partwise::ClearCancel();
    m_SplitDoingThread->start(QThread::InheritPriority);
    m_split_Timer1->start(500);  // restarts a running timer
}

void UI_SplitWidget::m_split_Timer1_slots() {
    progressWidget->setPercent(partwise::GetPercentDone());
    progressWidget->showRate(partwise::GetBytesDone(), partwise::GetTotalBytes(), partwise::IsFlushing());
}

void UI_SplitWidget::m_SplitDoingThread_Finished() {
    m_split_Timer1->stop();
    mainWindow->setEngineBusy(false);
    progressWidget->hide();
    if (mainWindow->stopping()) return;
    if (showJobFailure(mainWindow, *m_SplitDoingThread, "Splitting failed", "The chunk set was not completed.")) return;
    const partwise::SourceRemoval& removal = m_SplitDoingThread->removal;
    if (m_SplitDoingThread->removeSource) {
        if (!removal.setIsSound)
            showFailure(mainWindow, "Source kept",
                        "The new chunk set did not pass its check, so the source was not deleted.");
        else if (removal.filesNotRemoved > 0)
            showFailure(mainWindow, "Source not deleted",
                        "Some files of '" + jobSourcePath + "' could not be deleted.");
    }
    const partwise::SplitJob& job = m_SplitDoingThread->job;
    if (job.totalSize > 0 &&
        !partwise::NameFitsChecksumFile(partwise::DeriveChunkSetNames(job.sourcePath, "").sourceName))
        showFailure(mainWindow, "No checksum file",
                    "The source's name holds a line break, which a checksum file cannot record: the chunk set "
                    "has none, so only the first KiB of each chunk can be checked.");

    completeWidget->folderPath = QFile::decodeName(m_SplitDoingThread->job.outputFolder);
    const QPoint at = dialogAnchor(240);
    completeWidget->placeDialog(at.x(), at.y(), 260, 80);
    completeWidget->show();
    // The completion dialog has room for its caption only.
    const partwise::SplitReport& report = m_SplitDoingThread->report;
    if (!report.passedOver.empty())
        showFailure(mainWindow, "Passed over in '" + jobSourcePath + "'", passedOverText(report, jobSourcePath));
    if (removal.keptCount > 0) showFailure(mainWindow, "Kept in '" + jobSourcePath + "'", keptText(removal));
    if (!report.joinScriptNote.empty())
        showFailure(mainWindow, "No join script",
                    QString::fromStdString(report.joinScriptNote).replace(0, 1, "N") + ".");
}

bool UI_SplitWidget::confirmReplacement(partwise::SplitJob& job) {
    // A folder that cannot be looked at is the split's own failure to report.
    if (otherSet.found != 1) return true;
    const QString newSource =
        QFile::decodeName(partwise::DeriveChunkSetNames(job.sourcePath, job.outputFolder).sourceName.c_str());
    const QString text = otherSet.reason + ".\nReplace " + (otherSet.heldSource.empty() ? "them" : "it") +
                         " with the chunk set of '" + newSource + "'?";
    if (!confirmLoss(mainWindow, "Chunk folder in use", text)) return false;
    job.replaceOtherSet = 1;
    return true;
}
