// The Join File tab: listing a chunk set, the overwrite note, the password,
// jobs through the worker thread, and deleting the chunks.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>
#include <QUrl>

#include <cstring>
#include <memory>

#include "FileChooser.h"
#include "UI_DialogWidget.h"
#include "UI_MergeWidget.h"
#include "UI_MyMessageBox.h"
#include "UI_SplitProject.h"
#include "partwise/fsutil.h"
#include "partwise/splitter.h"
#include "ui_test_support.h"

using uitest::child;

class JoinTabTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { uitest::loadImages(); }

    void init() {
        temp = std::make_unique<QTemporaryDir>();
        window = std::make_unique<UI_SplitProject>();
        window->move(41, 19);
        window->show();
        tab = child<UI_MergeWidget>(window.get(), "mergeWidget");
        content = uitest::pattern(10000, 7);
        uitest::writeFile(temp->filePath("src/report.final.doc"), content);
        QDir().mkpath(temp->filePath("out"));
    }

    void cleanup() {
        window.reset();
        temp.reset();
        uitest::resetInjectedAnswers();
    }

    // --- Listing ---

    void listsEveryChunkInOrderWithItsVerdict() {
        makeChunkSet(3000);
        QFile::remove(chunkFolder() + "/report_1.spt");
        addFolder(chunkFolder());
        QAbstractItemModel* model = chunkTree()->model();
        QCOMPARE(rows(), 4);
        QCOMPARE(model->columnCount(), 3);
        QCOMPARE(model->headerData(0, Qt::Horizontal).toString(), QString("Path"));
        QCOMPARE(model->headerData(1, Qt::Horizontal).toString(), QString("Size"));
        QCOMPARE(chunkTree()->iconSize(), QSize(20, 20));
        const QStringList sizes = {"3000", "-1", "3000", "1000"};
        for (int i = 0; i < 4; ++i) {
            QCOMPARE(model->index(i, 0).data().toString(), chunkFolder() + QString("/report_%1.spt").arg(i));
            QCOMPARE(model->index(i, 1).data().toString(), sizes[i]);
            // The tick or cross is the row's icon, drawn by the view: no widget per row.
            QVERIFY(chunkTree()->indexWidget(model->index(i, 2)) == nullptr);
            const QImage icon = model->index(i, 2).data(Qt::DecorationRole).value<QPixmap>().toImage();
            const QImage expected(i == 1 ? ":/image/wrong.png" : ":/image/right.png");
            QCOMPARE(icon, expected.convertToFormat(icon.format()));
        }
        QCOMPARE(output()->text(), temp->filePath("src"));
        QVERIFY(joinButton()->isEnabled());
    }

    // One line under the list sums the set up once every byte is checked.
    void summaryLineSumsUpTheSet_data() {
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("spoil");
        QTest::addColumn<QString>("summary");
        const QString made = "Makes \"report.final.doc\", 9.77 KB \u00b7 ";
        QTest::newRow("all good") << ""
                                  << "" << made + "no password \u00b7 4 chunks, every byte checked, all good";
        QTest::newRow("protected") << "p"
                                   << "" << made + "password-protected \u00b7 4 chunks, every byte checked, all good";
        QTest::newRow("one missing, one damaged")
            << ""
            << "chunks" << made + "no password \u00b7 2 of 4 chunks damaged or missing";
        QTest::newRow("no checksum file")
            << ""
            << "checksums" << made + "no password \u00b7 4 chunks, first KiB of each checked (no checksum file)";
    }
    void summaryLineSumsUpTheSet() {
        QFETCH(QString, password);
        QFETCH(QString, spoil);
        makeChunkSet(3000, password.toUtf8().constData());
        if (spoil == "chunks") {
            QFile::remove(chunkFolder() + "/report_1.spt");
            uitest::writeFile(chunkFolder() + "/report_3.spt", "x");
        }
        if (spoil == "checksums") QVERIFY(QFile::remove(chunkFolder() + "/report.xxh128"));
        auto* summary = child<QLabel>(tab, "summaryLabel");
        QVERIFY(summary->text().isEmpty());
        addFolder(chunkFolder());
        QTRY_VERIFY(!tab->checkingEveryByte());
        QTEST(summary->text(), "summary");
        QVERIFY(summary->sizeHint().width() <= summary->width());
        // Under the list, clear of the check box below.
        QVERIFY(summary->y() > chunkTree()->geometry().bottom());
        QVERIFY(summary->geometry().bottom() < child<QWidget>(tab, "deleteSourceCheckBox")->y());

        UI_MyMessageBox::setNextAnswer(1);
        addFolder(temp->filePath("out"));
        QVERIFY(summary->text().isEmpty());
    }

    void aSetASplitIsWritingSaysSo() {
        makeChunkSet(3000);
        const int lock = ::open(QFile::encodeName(chunkFolder()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        QCOMPARE(::flock(lock, LOCK_EX), 0);
        UI_MyMessageBox::setNextAnswer(1);
        addFolder(chunkFolder());
        ::close(lock);
        QCOMPARE(UI_MyMessageBox::answeredTexts(),
                 QStringList("'" + chunkFolder() + "' is being written by another split"));
        QVERIFY(!joinButton()->isEnabled());
    }

    void joinIsOfferedOnlyForAListedChunkSet() {
        makeChunkSet(3000);
        addFolder(chunkFolder());
        addFolder(QString());
        QVERIFY(!joinButton()->isEnabled());
        QCOMPARE(rows(), 4);

        UI_MyMessageBox::setNextAnswer(1);
        addFolder(temp->filePath("out"));
        QCOMPARE(UI_MyMessageBox::answeredTexts(), QStringList("input path is not valid!"));
        QCOMPARE(rows(), 0);
        QVERIFY(!joinButton()->isEnabled());

        addFolder(chunkFolder());
        output()->clear();
        UI_MyMessageBox::setNextAnswer(1);
        joinButton()->click();
        QCOMPARE(UI_MyMessageBox::answeredTexts().last(), "Not joined:\nno output folder is chosen");
        QVERIFY(!window->engineBusy());
    }

    void descriptorCutShortIsShownDamagedAndNotJoined() {
        makeChunkSet(3000);
        // The header and one chunk record of four.
        QVERIFY(QFile::resize(chunkFolder() + "/spt_config.brixspt", 352 + 37));
        UI_MyMessageBox::setNextAnswer(1);
        addFolder(chunkFolder());
        QCOMPARE(uitest::plainText(UI_MyMessageBox::answeredTexts().value(0)),
                 "Chunk set damaged:\nThe chunk set descriptor '" + chunkFolder() +
                     "/spt_config.brixspt' is cut short: it holds fewer records than its header counts.");
        QVERIFY(!joinButton()->isEnabled());
        QCOMPARE(rows(), 1);
        QVERIFY(child<QLabel>(tab, "summaryLabel")->text().endsWith("1 of 1 chunk damaged"));
        const QImage icon = chunkTree()->model()->index(0, 2).data(Qt::DecorationRole).value<QPixmap>().toImage();
        QCOMPARE(icon, QImage(":/image/wrong.png").convertToFormat(icon.format()));
    }

    // --- Joining ---

    void joinRebuildsTheFileInTheOutputFolder() {
        makeChunkSet(3000);
        addFolder(chunkFolder());
        output()->setText(temp->filePath("out"));
        QRect doneAt;
        QString openFolder;
        uitest::onModal("UI_DialogWidget", [&](QWidget* done) {
            doneAt = uitest::placedAt(done, window.get());
            openFolder = static_cast<UI_DialogWidget*>(done)->folderPath;
            child<QPushButton>(done, "okButton")->click();
        });
        joinButton()->click();
        QWidget* progress = tab->findChild<QWidget*>("joinProgressDialog");
        QCOMPARE(uitest::placedAt(progress, window.get()), uitest::placement("joinProgressDialog"));
        QCOMPARE(child<QLabel>(progress, "percentLabel")->text(), QString("0%"));
        QVERIFY(!child<QPushButton>(window.get(), "input_fileButton")->isEnabled());
        QVERIFY(!child<QPushButton>(tab, "input_mergefileButton")->isEnabled());
        waitForJob();

        QCOMPARE(uitest::readFile(temp->filePath("out/report.final.doc")), content);
        QCOMPARE(doneAt, uitest::placement("joinCompleteDialog"));
        QCOMPARE(openFolder, temp->filePath("out"));
        QVERIFY(!progress->isVisible());
        QVERIFY(joinButton()->isEnabled());
    }

    void overwriteNoteCancelLeavesTheOutputAlone() {
        makeChunkSet(3000);
        addFolder(chunkFolder());
        output()->setText(temp->filePath("out"));
        uitest::writeFile(temp->filePath("out/report.final.doc"), "older");
        QRect noteAt;
        QString noteText;
        uitest::onModal("UI_MyMessageBox", [&](QWidget* box) {
            noteAt = uitest::placedAt(box, window.get());
            noteText = child<QLabel>(box, "textLabel")->text();
            // Enter answers with the focused default, "Cancel".
            QVERIFY(uitest::activate(box));
            QCOMPARE(QApplication::focusWidget(), child<QWidget>(box, "cancelButton"));
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
        });
        joinButton()->click();
        QCOMPARE(noteAt, uitest::placement("overwriteNote"));
        QCOMPARE(noteText, QString("Note: The file \"report.final.doc\" already exists in the output folder. "
                                   "Partwise will overwrite it."));
        QVERIFY(!window->engineBusy());
        QCOMPARE(uitest::readFile(temp->filePath("out/report.final.doc")), QByteArray("older"));

        UI_MyMessageBox::setNextAnswer(1);
        finishWhenDone();
        joinButton()->click();
        waitForJob();
        QCOMPARE(uitest::readFile(temp->filePath("out/report.final.doc")), content);

        // A link that leads nowhere is there too: the note asks before it goes.
        QVERIFY(QFile::remove(temp->filePath("out/report.final.doc")));
        QVERIFY(QFile::link(temp->filePath("nowhere"), temp->filePath("out/report.final.doc")));
        UI_MyMessageBox::setNextAnswer(0);
        joinButton()->click();
        QCOMPARE(UI_MyMessageBox::answeredTexts().size(), 2);
        QVERIFY(QFileInfo(temp->filePath("out/report.final.doc")).isSymLink());
    }

    void overwriteNoteNamesAFolderAsAFolder() {
        makeChunkSet(3000);
        addFolder(chunkFolder());
        output()->setText(temp->filePath("out"));
        QDir().mkpath(temp->filePath("out/report.final.doc"));
        UI_MyMessageBox::setNextAnswer(0);
        joinButton()->click();
        QCOMPARE(UI_MyMessageBox::answeredTexts(),
                 QStringList("Note: The folder \"report.final.doc\" already exists in the output folder. "
                             "Partwise will overwrite it."));
    }

    // A missing output folder is made, with its parents, after asking; a
    // relative one is refused.
    void outputFolderIsCheckedBeforeTheJoin() {
        makeChunkSet(3000);
        addFolder(chunkFolder());
        output()->setText("out");
        UI_MyMessageBox::setNextAnswer(1);
        joinButton()->click();
        QVERIFY(!window->engineBusy());
        QCOMPARE(UI_MyMessageBox::answeredTexts(),
                 QStringList("The output folder must be a full path, starting with \"/\"."));

        const QString fresh = temp->filePath("new/deeper");
        output()->setText(fresh);
        UI_MyMessageBox::setNextAnswer(0);
        joinButton()->click();
        QVERIFY(!window->engineBusy());
        QVERIFY(!QFileInfo::exists(temp->filePath("new")));
        QCOMPARE(uitest::plainText(UI_MyMessageBox::answeredTexts().last()),
                 "The output folder \"" + fresh + "\" does not exist. Create it?");

        UI_MyMessageBox::setNextAnswer(1);
        finishWhenDone();
        joinButton()->click();
        waitForJob();
        QCOMPARE(uitest::readFile(fresh + "/report.final.doc"), content);
    }

    void protectedSetJoinsOnlyWithItsPassword() {
        makeChunkSet(4000, "p@ss");
        addFolder(chunkFolder());
        output()->setText(temp->filePath("out"));
        uitest::onModal("UI_inputpwdWidget",
                        [](QWidget* dialog) { child<QPushButton>(dialog, "type2_cancelButton")->click(); });
        joinButton()->click();
        QVERIFY(!window->engineBusy());
        QVERIFY(!QFile::exists(temp->filePath("out/report.final.doc")));

        QRect dialogAt;
        QString complaint;
        uitest::onModal("UI_inputpwdWidget", [&](QWidget* dialog) {
            dialogAt = uitest::placedAt(dialog, window.get());
            auto* entry = child<QLineEdit>(dialog, "type2_pwdLineEdit");
            QTest::mouseClick(entry, Qt::LeftButton);
            entry->setText("pass");
            child<QPushButton>(dialog, "type2_okButton")->click();
            complaint = child<QLabel>(dialog, "unlockErrorLabel")->text();
            entry->setText("p@ss");
            child<QPushButton>(dialog, "type2_okButton")->click();
        });
        finishWhenDone();
        joinButton()->click();
        waitForJob();
        QCOMPARE(dialogAt, uitest::placement("joinPasswordDialog"));
        QCOMPARE(complaint, QString("Sorry, your password is wrong"));
        QCOMPARE(uitest::readFile(temp->filePath("out/report.final.doc")), content);
    }

    // The join rebuilds the lost chunk, but the set still lacks it.
    void aRebuiltChunkStaysLostInTheList() {
        makeChunkSet(3000, "", "src/report.final.doc", 1);
        QVERIFY(QFile::remove(chunkFolder() + "/report_1.spt"));
        addFolder(chunkFolder());
        output()->setText(temp->filePath("out"));
        finishWhenDone();
        joinButton()->click();
        waitForJob();
        QCOMPARE(uitest::readFile(temp->filePath("out/report.final.doc")), content);
        QVERIFY(child<QLabel>(tab, "summaryLabel")
                    ->text()
                    .endsWith("1 of 4 chunks missing, repairable with recovery files"));
    }

    void chunksAreDeletedOnlyAfterASuccessfulJoin() {
        makeChunkSet(3000);
        addFolder(chunkFolder());
        output()->setText(temp->filePath("out"));
        child<QCheckBox>(tab, "deleteSourceCheckBox")->setChecked(true);
        // A chunk that vanished after listing makes the join fail.
        QVERIFY(QFile::rename(chunkFolder() + "/report_2.spt", temp->filePath("report_2.spt")));
        UI_MyMessageBox::setNextAnswer(1);
        joinButton()->click();
        waitForJob();
        QCOMPARE(UI_MyMessageBox::answeredTexts().size(), 1);
        const QString message = uitest::plainText(UI_MyMessageBox::answeredTexts()[0]);
        QVERIFY(message.startsWith("Joining failed:\n"));
        QCOMPARE(QDir(chunkFolder()).entryList(QDir::Files).size(), 6);
        QCOMPARE(rows(), 4);
        QVERIFY(!QFile::exists(temp->filePath("out/report.final.doc")));

        QVERIFY(QFile::rename(temp->filePath("report_2.spt"), chunkFolder() + "/report_2.spt"));
        finishWhenDone();
        joinButton()->click();
        waitForJob();
        QCOMPARE(uitest::readFile(temp->filePath("out/report.final.doc")), content);
        QCOMPARE(QDir(chunkFolder()).entryList(QDir::Files), QStringList("spt_config.brixspt"));
        QCOMPARE(rows(), 0);
        QVERIFY(child<QLabel>(tab, "summaryLabel")->text().isEmpty());
        QVERIFY(!joinButton()->isEnabled());
        // No note after a fully checked join: the one answered box is the failure.
        QCOMPARE(UI_MyMessageBox::answeredTexts().size(), 1);
    }

    // Damage past the first KiB: the first ticks cannot see it, the check of
    // every byte behind them and the join can.
    void aDamagedChunkIsFoundAfterItsTickAndFailsTheJoin() {
        makeChunkSet(3000);
        flipByte(chunkFolder() + "/report_2.spt", 2999);
        flipByte(chunkFolder() + "/report_1.spt", 2000);
        auto* summary = child<QLabel>(tab, "summaryLabel");
        // Queued, so it runs before anything the check hands over.
        QStringList listed;
        connect(
            chunkTree()->model(), &QAbstractItemModel::modelReset, this,
            [&] {
                listed = {summary->text(), QString::number(tickCount())};
            },
            Qt::QueuedConnection);
        addFolder(chunkFolder());
        QTRY_VERIFY(!tab->checkingEveryByte());
        QVERIFY2(listed.value(0).endsWith("no password \u00b7 4 chunks, checking every byte: 0%"),
                 qPrintable(listed.value(0)));
        QCOMPARE(listed.value(1), QString("4"));
        QVERIFY2(summary->text().endsWith("no password \u00b7 2 of 4 chunks damaged"), qPrintable(summary->text()));
        QCOMPARE(tickCount(), 2);
        QCOMPARE(chunkTree()->model()->index(2, 2).data(Qt::ToolTipRole).toString(),
                 QString("damaged: its bytes differ from its checksum"));

        output()->setText(temp->filePath("out"));
        child<QCheckBox>(tab, "deleteSourceCheckBox")->setChecked(true);
        UI_MyMessageBox::setNextAnswer(1);
        joinButton()->click();
        waitForJob();
        QCOMPARE(UI_MyMessageBox::answeredTexts().size(), 1);
        const QString message = uitest::plainText(UI_MyMessageBox::answeredTexts()[0]);
        QVERIFY2(message.contains(chunkFolder() + "/report_1.spt' is damaged"), qPrintable(message));
        QVERIFY(!QFile::exists(temp->filePath("out/report.final.doc")));
        QCOMPARE(QDir(chunkFolder()).entryList(QDir::Files).size(), 7);
        QCOMPARE(rows(), 4);
        // The refused chunk's row tells the join's reason.
        const QString refusal = chunkTree()->model()->index(1, 2).data(Qt::ToolTipRole).toString();
        QVERIFY2(uitest::plainText(refusal).contains(message.section(":\n", 1)), qPrintable(refusal));
        QVERIFY(summary->text().endsWith("2 of 4 chunks damaged"));
    }

    // Without a checksum file the join goes ahead, then says what it could
    // not check, and deletes the chunks only when the user says so there.
    void aSetWithoutChecksumsKeepsItsChunksUnlessConfirmed() {
        makeChunkSet(3000);
        QVERIFY(QFile::remove(chunkFolder() + "/report.xxh128"));
        addFolder(chunkFolder());
        output()->setText(temp->filePath("out"));
        const QString note =
            "Checked only in part:\nThis chunk set has no checksum file: only the first KiB of each chunk could be "
            "checked.";

        UI_MyMessageBox::setNextAnswer(1);
        finishWhenDone();
        joinButton()->click();
        waitForJob();
        QCOMPARE(uitest::readFile(temp->filePath("out/report.final.doc")), content);
        QCOMPARE(UI_MyMessageBox::answeredTexts(), QStringList(note));

        child<QCheckBox>(tab, "deleteSourceCheckBox")->setChecked(true);
        for (int answer : {0, 1}) {
            QVERIFY(QFile::remove(temp->filePath("out/report.final.doc")));
            UI_MyMessageBox::reset();
            UI_MyMessageBox::setNextAnswer(answer);
            finishWhenDone();
            joinButton()->click();
            waitForJob();
            QCOMPARE(UI_MyMessageBox::answeredTexts(), QStringList(note + " Delete the chunk files anyway?"));
            QCOMPARE(QDir(chunkFolder()).entryList(QDir::Files).size(), answer == 0 ? 6 : 1);
            QCOMPARE(rows(), answer == 0 ? 4 : 0);
        }
    }

    // A damaged checksum file stops the join; only the user's word joins
    // without it, and then the chunks stay whatever the box says.
    void aDamagedChecksumFileJoinsOnlyWhenConfirmedAndKeepsTheChunks() {
        makeChunkSet(3000);
        uitest::writeFile(chunkFolder() + "/report.xxh128",
                          uitest::readFile(chunkFolder() + "/report.xxh128").left(50));
        addFolder(chunkFolder());
        output()->setText(temp->filePath("out"));
        child<QCheckBox>(tab, "deleteSourceCheckBox")->setChecked(true);
        const qsizetype files = QDir(chunkFolder()).entryList(QDir::Files).size();
        for (int answer : {0, 1}) {
            for (int box = 0; box <= answer; ++box) UI_MyMessageBox::setNextAnswer(answer);
            if (answer == 1) finishWhenDone();
            joinButton()->click();
            waitForJob();
            QCOMPARE(QFile::exists(temp->filePath("out/report.final.doc")), answer == 1);
            QCOMPARE(QDir(chunkFolder()).entryList(QDir::Files).size(), files);
        }
        QVERIFY(uitest::plainText(UI_MyMessageBox::answeredTexts().value(1)).startsWith("Checksum file damaged:"));
        QVERIFY(uitest::plainText(UI_MyMessageBox::answeredTexts().value(2)).contains("The chunk files were kept"));
    }

    // --- Off the window's thread, Cancel, drops ---

    void inspectionRunsWhileTheWindowStaysLive() {
        makeChunkSet(1000);
        FileChooser::setNextAnswer(chunkFolder());
        child<QPushButton>(tab, "input_mergefileButton")->click();
        // Back from the click before the set is read: the window is busy, not frozen.
        QVERIFY(window->engineBusy());
        QVERIFY(!child<QPushButton>(tab, "input_mergefileButton")->isEnabled());
        QVERIFY(!child<QPushButton>(window.get(), "input_fileButton")->isEnabled());
        QCOMPARE(window->cursor().shape(), Qt::BusyCursor);
        QTRY_VERIFY_WITH_TIMEOUT(!window->engineBusy(), 60000);
        QCOMPARE(rows(), 10);
        QVERIFY(joinButton()->isEnabled());
        QCOMPARE(window->cursor().shape(), Qt::ArrowCursor);
    }

    void cancelStopsTheJoinAndKeepsTheChunks() {
        // Large enough that the join is still running when Cancel is pressed.
        uitest::makeFilledFile(temp->filePath("src/report.final.doc"), 400);
        makeChunkSet(1 << 20);
        addFolder(chunkFolder());
        output()->setText(temp->filePath("out"));
        child<QCheckBox>(tab, "deleteSourceCheckBox")->setChecked(true);
        UI_MyMessageBox::setNextAnswer(1);
        joinButton()->click();
        QWidget* progress = tab->findChild<QWidget*>("joinProgressDialog");
        QTest::keyClick(progress, Qt::Key_Escape);
        QVERIFY(progress->isVisible());
        child<QPushButton>(progress, "cancelButton")->click();
        QVERIFY(!child<QPushButton>(progress, "cancelButton")->isEnabled());
        waitForJob();
        QCOMPARE(UI_MyMessageBox::answeredTexts(), QStringList("Cancelled"));
        QVERIFY(!progress->isVisible());
        QCOMPARE(QDir(temp->filePath("out")).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList());
        // 400 chunks, the metadata and checksum files and the descriptor.
        QCOMPARE(QDir(chunkFolder()).entryList(QDir::Files).size(), 403);
        QCOMPARE(rows(), 400);
        QVERIFY(joinButton()->isEnabled());
    }

    void dropListsAChunkFolderOrItsDescriptorAndRefusesTheRest() {
        makeChunkSet(3000);
        QVERIFY(!drop({QUrl::fromLocalFile(temp->filePath("src/report.final.doc"))}));
        QVERIFY(!drop({QUrl::fromLocalFile(temp->filePath("src"))}));
        QVERIFY(!drop({QUrl::fromLocalFile(chunkFolder()), QUrl::fromLocalFile(chunkFolder())}));
        QVERIFY(!drop({QUrl("https://example.org/report_spt")}));
        QCOMPARE(rows(), 0);
        QVERIFY(output()->text().isEmpty());

        QVERIFY(drop({QUrl::fromLocalFile(chunkFolder() + "/")}));
        QTRY_VERIFY_WITH_TIMEOUT(!window->engineBusy(), 60000);
        QCOMPARE(rows(), 4);
        QCOMPARE(output()->text(), temp->filePath("src"));

        UI_MyMessageBox::setNextAnswer(1);
        addFolder(temp->filePath("out"));  // no chunk set: clears the list
        QCOMPARE(rows(), 0);
        QVERIFY(drop({QUrl::fromLocalFile(chunkFolder() + "/spt_config.brixspt")}));
        QTRY_VERIFY_WITH_TIMEOUT(!window->engineBusy(), 60000);
        QCOMPARE(rows(), 4);
        QVERIFY(joinButton()->isEnabled());
    }

private:
    QTreeView* chunkTree() { return child<QTreeView>(tab, "chunkTree"); }
    int rows() { return chunkTree()->model()->rowCount(); }

    bool drop(const QList<QUrl>& urls) { return uitest::drop(tab, urls); }

    static void flipByte(const QString& path, qint64 offset) {
        QByteArray bytes = uitest::readFile(path);
        bytes[offset] = char(~bytes[offset]);
        uitest::writeFile(path, bytes);
    }

    int tickCount() {
        const QImage tick(":/image/right.png");
        QAbstractItemModel* model = chunkTree()->model();
        int ticks = 0;
        for (int i = 0; i < rows(); ++i) {
            const QImage icon = model->index(i, 2).data(Qt::DecorationRole).value<QPixmap>().toImage();
            ticks += icon == tick.convertToFormat(icon.format()) ? 1 : 0;
        }
        return ticks;
    }
    QLineEdit* output() { return child<QLineEdit>(tab, "outPathLineEdit"); }
    QPushButton* joinButton() { return child<QPushButton>(tab, "m_merge_Button"); }
    QString chunkFolder() const { return temp->filePath("src/report_spt"); }

    // Splits src/report.final.doc with the engine, into src/report_spt.
    void makeChunkSet(qint64 chunkSize, const char* password = "", const QString& source = "src/report.final.doc",
                      int32_t recoveryFiles = 0) {
        partwise::SplitJob job;
        std::memset(&job, 0, sizeof job);
        std::strcpy(job.sourcePath, QFile::encodeName(temp->filePath(source)));
        std::strcpy(job.outputFolder, QFile::encodeName(temp->filePath("src")));
        std::strcpy(job.password, password);
        job.totalSize = partwise::GetPathSize(job.sourcePath);
        job.chunkSize = chunkSize;
        job.recoveryCount = recoveryFiles;
        QCOMPARE(partwise::RunSplit(job), 0);
    }

    // "Add Folder", waiting for the inspection to finish.
    void addFolder(const QString& folder) {
        FileChooser::setNextAnswer(folder);
        child<QPushButton>(tab, "input_mergefileButton")->click();
        QTRY_VERIFY_WITH_TIMEOUT(!window->engineBusy(), 60000);
    }

    void finishWhenDone() {
        uitest::onModal("UI_DialogWidget", [](QWidget* done) { child<QPushButton>(done, "okButton")->click(); });
    }

    void waitForJob() { QTRY_VERIFY_WITH_TIMEOUT(!window->engineBusy() && uitest::pendingModalActions() == 0, 60000); }

    std::unique_ptr<QTemporaryDir> temp;
    std::unique_ptr<UI_SplitProject> window;
    UI_MergeWidget* tab = nullptr;
    QByteArray content;
};

QTEST_MAIN(JoinTabTest)
#include "join_tab_test.moc"
