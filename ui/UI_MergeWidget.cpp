#include "UI_MergeWidget.h"

#include <QByteArray>
#include <QCheckBox>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QTimer>
#include <QTreeView>

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "ChunkListModel.h"
#include "ChunkSetSummary.h"
#include "DroppedPath.h"
#include "EngineCallThread.h"
#include "FileChooser.h"
#include "FullCheckThread.h"
#include "MergeDoingThread.h"
#include "OutputFolder.h"
#include "Removal.h"
#include "UI_DialogWidget.h"
#include "UI_MyMessageBox.h"
#include "UI_ProgressWidget.h"
#include "UI_SplitProject.h"
#include "UI_inputpwdWidget.h"
#include "WidgetLook.h"
#include "partwise/chunk_check.h"
#include "partwise/descriptor.h"
#include "partwise/errors.h"
#include "partwise/fsutil.h"
#include "partwise/job_checks.h"
#include "partwise/joiner.h"
#include "partwise/media.h"
#include "partwise/progress.h"

UI_MergeWidget::UI_MergeWidget(QWidget* parent) : QWidget(parent) {
    useArial(this, 10);

    input_mergefileButton = named(new QPushButton(this), "input_mergefileButton");
    chunkTree = named(new QTreeView(this), "chunkTree");
    chunkModel = named(new ChunkListModel(this), "chunkModel");
    chunkTree->setModel(chunkModel);
    chunkTree->setRootIsDecorated(false);
    // Every row alike: the view lays out a million rows without measuring them.
    chunkTree->setUniformRowHeights(true);
    chunkTree->setIconSize(QSize(20, 20));
    chunkTree->header()->setStretchLastSection(false);
    chunkTree->horizontalScrollBar()->setFixedHeight(10);
    chunkTree->horizontalScrollBar()->setStyleSheet("QScrollBar:horizontal{height: 10px;}");

    summaryLabel = named(new QLabel(this), "summaryLabel");
    deleteSourceCheckBox = named(new QCheckBox(this), "deleteSourceCheckBox");
    outPathLabel = named(new QLabel(this), "outPathLabel");
    outPathLineEdit = named(new QLineEdit(this), "outPathLineEdit");
    output_mergefileButton = named(new QPushButton(this), "output_mergefileButton");
    m_merge_Button = named(new QPushButton(this), "m_merge_Button");

    progressWidget = named(new UI_ProgressWidget(this), "joinProgressDialog");
    progressWidget->setCaption("Joining...");
    progressWidget->hide();
    completeWidget = named(new UI_DialogWidget(this), "joinCompleteDialog");
    completeWidget->setCaption("Joining Completed!");
    completeWidget->hide();
    pwdWidget = named(new UI_inputpwdWidget, "joinPasswordDialog");
    pwdWidget->hide();

    input_mergefileButton->setText("Add Folder");
    deleteSourceCheckBox->setText("Delete source files after joining");
    outPathLabel->setText("OutPath");
    output_mergefileButton->setText("...");
    m_merge_Button->setText("Join");

    connect(input_mergefileButton, &QPushButton::clicked, this, &UI_MergeWidget::input_mergefileButton_slots);
    connect(output_mergefileButton, &QPushButton::clicked, this, &UI_MergeWidget::output_mergefileButton_slots);
    connect(m_merge_Button, &QPushButton::clicked, this, &UI_MergeWidget::m_merge_Button_slots);
    inspectThread = new EngineCallThread;
    connect(inspectThread, &QThread::finished, this, &UI_MergeWidget::inspection_Finished);
    removeThread = new EngineCallThread;
    connect(removeThread, &QThread::finished, this, &UI_MergeWidget::removal_Finished);
    fullCheckThread = new FullCheckThread;
    checkTimer = new QTimer(this);
    connect(checkTimer, &QTimer::timeout, this, [this] { showSummary(); });
    connect(progressWidget, &UI_ProgressWidget::closeAsked, this, [this] { mainWindow->close(); });
    connect(progressWidget, &UI_ProgressWidget::cancelRequested, this, [] { partwise::RequestCancel(); });
    m_MergeDoingThread = new MergeDoingThread;
    connect(m_MergeDoingThread, &QThread::finished, this, &UI_MergeWidget::m_MergeDoingThread_Finished);
    m_merge_Timer1 = new QTimer;
    connect(m_merge_Timer1, &QTimer::timeout, this, &UI_MergeWidget::m_merge_Timer1_slots);

    setAcceptDrops(true);
    setJoinAllowed(false);
    std::memset(passwordDigest, 0, sizeof passwordDigest);
}

UI_MergeWidget::~UI_MergeWidget() {
    // The window refuses to close while a join runs; it goes only when a stop
    // signal has cancelled it, and the join cleans up before its thread ends.
    fullCheckThread->stop();
    m_MergeDoingThread->wait();
    inspectThread->wait();
    removeThread->wait();
    delete m_MergeDoingThread;
    delete inspectThread;
    delete removeThread;
    delete fullCheckThread;
    delete m_merge_Timer1;
    delete pwdWidget;
}

void UI_MergeWidget::placeWidgets(int x, int y, int w, int h) {
    setGeometry(x, y, w, h);
    input_mergefileButton->setGeometry(0, 0, 100, 30);
    chunkTree->setGeometry(0, 40, w, 130);
    chunkTree->setColumnWidth(2, 30);
    chunkTree->setColumnWidth(1, 120);
    chunkTree->setColumnWidth(0, chunkTree->width() - 170);
    summaryLabel->setGeometry(0, 172, w, 24);
    deleteSourceCheckBox->setGeometry(0, 200, 300, 30);
    outPathLabel->setGeometry(0, h - 98, 60, 30);
    outPathLineEdit->setGeometry(60, h - 100, 360, 26);
    output_mergefileButton->setGeometry(420, h - 100, 35, 26);
    m_merge_Button->setGeometry(500, h - 120, 100, 50);
    progressWidget->placeDialog((w - 360) / 2, (h - 96) / 2, 360, 96);
    completeWidget->placeDialog((w - 240) / 2, (h - 80) / 2, 260, 80);
}

QPoint UI_MergeWidget::dialogAnchor(int anchorWidth) const {
    return mainWindow->pos() + QPoint((width() - anchorWidth) / 2, height() / 2);
}

void UI_MergeWidget::setJoinAllowed(bool allowed) {
    joinAllowed = allowed;
    m_merge_Button->setEnabled(joinAllowed && !engineBusy);
}

void UI_MergeWidget::setEngineBusy(bool busy) {
    engineBusy = busy;
    input_mergefileButton->setEnabled(!busy);
    m_merge_Button->setEnabled(joinAllowed && !busy);
}

void UI_MergeWidget::cancelJob() {
    if (m_MergeDoingThread->isRunning()) progressWidget->cancel();
}

QString UI_MergeWidget::chunkFolderOf(const QString& path) {
    const QFileInfo info(path);
    const QString descriptorName = QString::fromLatin1(partwise::kDescriptorFileName);
    const auto holdsDescriptor = [&](const QString& folder) {
        return QFileInfo(folder + "/" + descriptorName).isFile();
    };
    if (info.isDir() && holdsDescriptor(info.absoluteFilePath())) return QDir::cleanPath(info.absoluteFilePath());
    if (!info.isFile()) return {};
    static const QRegularExpression chunkName("^.+_[0-9]+\\.spt$");
    if (info.fileName() == descriptorName ||
        (chunkName.match(info.fileName()).hasMatch() && holdsDescriptor(info.absolutePath())))
        return info.absolutePath();
    return {};
}

void UI_MergeWidget::showSummary() {
    if (chunkModel->rowCount() == 0 && sourceName.isEmpty()) return summaryLabel->clear();
    const ChunkRows& rows = chunkModel->rows();
    ChunkHealth health;
    health.chunks = int64_t(rows.size());
    health.damaged = rows.count(RowCheck::kHeadBad) + rows.count(RowCheck::kDamaged) + rows.count(RowCheck::kRefused);
    health.missing = rows.count(RowCheck::kMissing);
    health.whole = rows.count(RowCheck::kWhole);
    health.headOnly = rows.count(RowCheck::kHeadOnly);
    health.stage = checkStage;
    health.percent = checkStage == ChunkHealth::Stage::kChecking ? partwise::GetPercentDone() : 0;
    if (recovery.layout.perGroup > 0 && health.damaged + health.missing > 0) {
        std::vector<int32_t> lost;
        for (std::size_t row = 0; row < rows.size(); ++row) {
            const RowCheck check = rows.check(row);
            if (check == RowCheck::kHeadBad || check == RowCheck::kDamaged || check == RowCheck::kRefused ||
                check == RowCheck::kMissing)
                lost.push_back(rows.chunkIndex(row));
        }
        health.repairable = recovery.Covers(lost) ? 1 : 0;
    }
    // A long name gives way in its middle, so the chunks' figures stay in sight.
    const QString name = summaryLabel->fontMetrics().elidedText(sourceName, Qt::ElideMiddle, summaryLabel->width() / 2);
    summaryLabel->setText(chunkSetSummary(name, inspected.totalSize, inspected.hasPassword(), chunkHealthText(health)));
}

void UI_MergeWidget::startFullCheck() {
    const int run = ++checkRun;
    checkStage = ChunkHealth::Stage::kChecking;
    summaryLabel->setToolTip(QString());
    const auto takeBatch = [this, run](const FullCheckThread::Batch& batch) {
        if (run != checkRun) return;
        chunkModel->applyFullCheck(batch.firstRecord, batch.chunkIndexes, batch.verdicts, batch.reasons);
        showSummary();
    };
    const auto takeEnd = [this, run](int result, const partwise::ChunkSetCheck& check, const QString& reason) {
        if (run != checkRun) return;
        checkTimer->stop();
        using Stage = ChunkHealth::Stage;
        checkStage = result != 0                  ? Stage::kFirstKiB
                     : check.checksumFile.empty() ? Stage::kNoChecksums
                                                  : Stage::kChecked;
        // The line has room for the verdicts only; why the check stopped short is a hover away.
        if (result != 0) summaryLabel->setToolTip("Every byte could not be checked: " + reason);
        showSummary();
    };
    partwise::Progress().bytesDone = 0;
    showSummary();
    fullCheckThread->startCheck(QFile::encodeName(chunkFolder).toStdString(), takeBatch, takeEnd);
    checkTimer->start(200);
}

void UI_MergeWidget::stopFullCheck() {
    fullCheckThread->stop();
    ++checkRun;
    checkTimer->stop();
    if (checkStage != ChunkHealth::Stage::kChecking) return;
    checkStage = ChunkHealth::Stage::kFirstKiB;
    showSummary();
}

void UI_MergeWidget::input_mergefileButton_slots() {
    setJoinAllowed(false);
    const QString folder = FileChooser::existingFolder(this, tr("Select Merge source Folder"), QDir::homePath());
    if (folder.isEmpty()) return;
    listChunkFolder(folder);
}

void UI_MergeWidget::listChunkFolder(const QString& folder) {
    if (engineBusy) return;
    stopFullCheck();
    setJoinAllowed(false);
    QDir parentFolder(folder);
    parentFolder.cdUp();
    outPathLineEdit->setText(parentFolder.absolutePath());
    chunkFolder = folder;
    std::memset(passwordDigest, 0, sizeof passwordDigest);
    chunkModel->clear();
    summaryLabel->clear();
    checkStage = ChunkHealth::Stage::kFirstKiB;

    struct Inspected {
        partwise::ChunkSetSummary summary;
        ChunkRows rows;
        partwise::RecoveryOutline recovery;
    };
    mainWindow->setEngineBusy(true);
    inspectThread->startCall<Inspected>(
        [path = QFile::encodeName(folder).toStdString()](Inspected& found) {
            const int result = partwise::InspectChunkSet(
                path, found.summary, [&found](const partwise::ChunkEntry& entry) { found.rows.add(entry); });
            if (result == 0 && partwise::ReadRecoveryOutline(path, found.recovery) != 0) found.recovery = {};
            return result;
        },
        [this](Inspected& found) {
            inspected = std::move(found.summary);
            inspectedRows = std::move(found.rows);
            inspectedRecovery = std::move(found.recovery);
        });
}

void UI_MergeWidget::inspection_Finished() {
    mainWindow->setEngineBusy(false);
    if (inspectThread->result() < 0) {
        sourceName.clear();
        // A set a split is writing says so; anything else is no chunk set.
        const bool busy = partwise::ChunkFolderBusy(QFile::encodeName(chunkFolder).toStdString()) == 1;
        showMessage(mainWindow, QString(),
                    busy ? QString::fromStdString(partwise::GetLastErrorText()) : tr("input path is not valid!"), true,
                    false);
        return;
    }
    // A descriptor cut short cannot be joined, whatever its chunks say.
    const bool damaged = inspected.cutShort;
    if (damaged) inspectedRows.markAllBad();
    sourceName = QFile::decodeName(inspected.sourceName.c_str());
    // A digest too long for the field is cut, never dropped: the set still asks.
    qstrncpy(passwordDigest, inspected.passwordDigest.c_str(), sizeof passwordDigest);
    std::string stem = inspected.sourceName;
    partwise::StripExtension(stem);
    chunkModel->setRows(QFile::encodeName(chunkFolder).toStdString(), std::move(stem), std::move(inspectedRows));
    inspectedRows = ChunkRows();
    recovery = std::move(inspectedRecovery);
    inspectedRecovery = {};
    showSummary();
    if (damaged) {
        showFailure(
            mainWindow, "Chunk set damaged",
            "The chunk set descriptor '" +
                QFile::decodeName(partwise::BuildDescriptorPath(QFile::encodeName(chunkFolder).toStdString()).c_str()) +
                "' is cut short: it holds fewer records than its header counts.");
        return;
    }
    setJoinAllowed(true);
    startFullCheck();
}

void UI_MergeWidget::dragEnterEvent(QDragEnterEvent* event) {
    if (!engineBusy && !chunkFolderOf(droppedPath(event->mimeData())).isEmpty()) event->acceptProposedAction();
}

void UI_MergeWidget::dropEvent(QDropEvent* event) {
    const QString folder = chunkFolderOf(droppedPath(event->mimeData()));
    if (engineBusy || folder.isEmpty()) return;
    event->acceptProposedAction();
    listChunkFolder(folder);
}

void UI_MergeWidget::output_mergefileButton_slots() {
    const QString folder = FileChooser::existingFolder(this, tr("Select Output Folder"), QDir::homePath());
    if (!folder.isEmpty()) outPathLineEdit->setText(folder);
}

void UI_MergeWidget::m_merge_Button_slots() {
    const QPoint windowPos = mainWindow->pos();
    const QSize windowSize = mainWindow->size();
    const QString outputFolder = outPathLineEdit->text();
    const QByteArray chunkBytes = QFile::encodeName(chunkFolder);
    const QByteArray outputBytes = QFile::encodeName(outputFolder);
    const std::string problem = partwise::JoinOptionsProblem(chunkBytes.toStdString(), outputBytes.toStdString(), {});
    if (!problem.empty()) {
        showFailure(mainWindow, "Not joined", QString::fromStdString(problem));
        return;
    }
    if (!readyOutputFolder(mainWindow, outputFolder)) return;

    const QFileInfo existing(outputFolder + "/" + sourceName);
    // lstat, as the join itself looks: a link that leads nowhere is replaced too.
    struct stat st {};
    const bool present = ::lstat(QFile::encodeName(existing.absoluteFilePath()).constData(), &st) == 0;
    if (present) {
        UI_MyMessageBox note;
        note.setObjectName("overwriteNote");
        note.placeDialog(windowPos.x() + (windowSize.width() - 240) / 2, windowPos.y() + windowSize.height() / 2, 260,
                         140);
        // The label wraps only at blanks: a long name gives way in its middle
        // to fit one line.
        const QString name = note.fontMetrics().elidedText(sourceName, Qt::ElideMiddle, 200);
        note.setContent(QString(),
                        QString("Note: The %1 \"%2\" already exists in the output folder. Partwise will overwrite it.")
                            .arg(existing.isDir() ? "folder" : "file", name),
                        true, true);
        note.setCancelDefault();
        if (note.run() == 0) return;
    }

    if (passwordDigest[0] != '\0') {
        pwdWidget->storedDigest = passwordDigest;
        pwdWidget->setUnlockMode(true);
        const QPoint at = dialogAnchor(240);
        pwdWidget->placeDialog(at.x(), at.y(), 260, 160);
        pwdWidget->execDialog();
        if (pwdWidget->unlocked != 1) return;
    }

    std::memset(m_MergeDoingThread->chunkFolderPath, 0, sizeof m_MergeDoingThread->chunkFolderPath);
    std::memset(m_MergeDoingThread->outputFolderPath, 0, sizeof m_MergeDoingThread->outputFolderPath);
    std::memcpy(m_MergeDoingThread->chunkFolderPath, chunkBytes.constData(), chunkBytes.size());
    std::memcpy(m_MergeDoingThread->outputFolderPath, outputBytes.constData(), outputBytes.size());
    // What the user was asked about, a dangling link included.
    m_MergeDoingThread->replaceExisting = present;
    m_MergeDoingThread->ignoreChecksums = false;
    startJoin();
}

void UI_MergeWidget::startJoin() {
    const QPoint at = dialogAnchor(360);
    progressWidget->placeDialog(at.x(), at.y(), 360, 96);
    progressWidget->startJob();
    progressWidget->show();
    mainWindow->setEngineBusy(true);
    partwise::ClearCancel();
    m_MergeDoingThread->start(QThread::InheritPriority);
    m_merge_Timer1->start(500);  // restarts a running timer
}

void UI_MergeWidget::m_merge_Timer1_slots() {
    progressWidget->setPercent(partwise::GetPercentDone());
    progressWidget->showRate(partwise::GetBytesDone(), partwise::GetTotalBytes(), partwise::IsFlushing());
}

void UI_MergeWidget::deleteChunks(const QString& checksumFile) {
    JoinedSet set;
    set.chunkFolder = chunkModel->chunkFolder();
    set.stem = chunkModel->stem();
    set.chunkIndexes = chunkModel->rows().chunkIndexes();
    set.checksumFile = QFile::encodeName(checksumFile).toStdString();
    // The metadata file and the join script go with the chunks they were written beside.
    const std::string name = QFile::encodeName(sourceName).toStdString();
    set.otherFiles = {partwise::MetadataFilePath(set.chunkFolder, name),
                      partwise::JoinScriptFileFor(set.chunkFolder, name)};
    chunkModel->clear();
    sourceName.clear();
    summaryLabel->clear();
    setJoinAllowed(false);
    removalKept = 0;
    mainWindow->setEngineBusy(true);
    removeThread->startCall<int64_t>([set = std::move(set)](int64_t& kept) { return removeJoinedSet(set, kept); },
                                     [this](int64_t& kept) { removalKept = kept; });
}

void UI_MergeWidget::removal_Finished() {
    mainWindow->setEngineBusy(false);
    if (removalKept > 0 && !mainWindow->stopping())
        showFailure(mainWindow, "Chunks not deleted", QString("%1 chunk files could not be deleted.").arg(removalKept));
}

void UI_MergeWidget::m_MergeDoingThread_Finished() {
    m_merge_Timer1->stop();
    mainWindow->setEngineBusy(false);
    progressWidget->hide();
    if (mainWindow->stopping()) return;
    const partwise::ChunkSetCheck& check = m_MergeDoingThread->check;
    // The chunk the join refused shows why in its row, after the box has gone too.
    const int32_t refused = check.refusedChunk >= 0 ? check.refusedChunk : check.damagedChunk;
    // A damaged checksum file is no fault of the chunk's.
    if (m_MergeDoingThread->result() != 0 && refused >= 0 && !check.checksumFault) {
        chunkModel->markRefused(refused, m_MergeDoingThread->errorText());
        showSummary();
    }
    if (offerJoinWithoutChecksums()) return;
    if (showJobFailure(mainWindow, *m_MergeDoingThread, "Joining failed", "The output was not completed.")) return;
    if (check.everyChunkMatched()) {
        chunkModel->markAllWhole(check.rebuilt);
        checkStage = ChunkHealth::Stage::kChecked;
        showSummary();
    }
    const QString checksumFile = QFile::decodeName(check.checksumFile.c_str());
    const bool deleteWanted = deleteSourceCheckBox->checkState() == Qt::Checked;
    const bool passedOver = m_MergeDoingThread->ignoreChecksums;
    // Only after every chunk matched its checksum: the chunks may be the only
    // copy of the data.
    if (deleteWanted && !passedOver && check.everyChunkMatched()) deleteChunks(checksumFile);

    completeWidget->folderPath = outPathLineEdit->text();
    const QPoint at = dialogAnchor(240);
    completeWidget->placeDialog(at.x(), at.y(), 260, 80);
    completeWidget->exec();

    if (check.everyChunkMatched()) return;
    // The completion dialog has room for its caption only.
    const int unchecked = check.chunkCount - check.matched;
    const QString text = checksumFile.isEmpty()
                             ? QString(
                                   "This chunk set has no checksum file: only the first KiB of each chunk could be "
                                   "checked.")
                             : QString("%1 of %2 chunks have no checksum: only their first KiB could be checked.")
                                   .arg(unchecked)
                                   .arg(check.chunkCount);
    if (passedOver) {
        // Never deleted: with the damaged file passed over, nothing vouches for them.
        showFailure(
            mainWindow, "Checked only in part",
            QString("The damaged checksum file was passed over: only the first KiB of each chunk could be "
                    "checked.") +
                (deleteWanted ? " The chunk files were kept: they may hold the only sound copy of the data." : ""));
    } else if (!deleteWanted)
        showFailure(mainWindow, "Checked only in part", text);
    else if (confirmLoss(mainWindow, "Checked only in part", text + " Delete the chunk files anyway?"))
        deleteChunks(checksumFile);
}

bool UI_MergeWidget::offerJoinWithoutChecksums() {
    const MergeDoingThread& job = *m_MergeDoingThread;
    if (job.result() == 0 || job.cancelled() || !job.check.checksumFault || job.ignoreChecksums) return false;
    if (confirmLoss(mainWindow, "Checksum file damaged",
                    job.errorText() +
                        "\nNothing was written. Join anyway, checking each chunk by its size and first KiB alone? "
                        "The chunk files will be kept.")) {
        m_MergeDoingThread->ignoreChecksums = true;
        startJoin();
    }
    return true;
}
