// The Split File tab: chunk size arithmetic, the Split button's rule, the
// password box, jobs through the worker thread, and deleting the source.
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QStyleOptionComboBox>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>
#include <QUrl>

#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

#include "FileChooser.h"
#include "UI_MyMessageBox.h"
#include "UI_SplitProject.h"
#include "UI_SplitWidget.h"
#include "partwise/chunk_check.h"
#include "ui_test_support.h"

using uitest::child;

class SplitTabTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { uitest::loadImages(); }

    void init() {
        temp = std::make_unique<QTemporaryDir>();
        window = std::make_unique<UI_SplitProject>();
        window->move(37, 23);
        window->show();
        tab = child<UI_SplitWidget>(window.get(), "splitWidget");
    }

    void cleanup() {
        window.reset();
        temp.reset();
        uitest::resetInjectedAnswers();
    }

    // --- Chunk size arithmetic ---

    void addFileSuggestsARoundChunkSize_data() {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<QString>("units");
        QTest::addColumn<QString>("unit");
        QTest::addColumn<QString>("count");
        QTest::addColumn<qint64>("chunkSize");
        QTest::newRow("700 MB") << qint64(734003200) << "70"
                                << "MB"
                                << "10" << qint64(73400320);
        QTest::newRow("4 GB") << qint64(4294967296) << "400"
                              << "MB"
                              << "11" << qint64(419430400);
        QTest::newRow("10 GB") << qint64(10737418240) << "1"
                               << "GB"
                               << "10" << qint64(1073741824);
        QTest::newRow("5000 bytes") << qint64(5000) << "500"
                                    << "KB"
                                    << "1" << qint64(512000);
        QTest::newRow("empty file") << qint64(0) << "1"
                                    << "KB"
                                    << "0" << qint64(1024);
    }
    void addFileSuggestsARoundChunkSize() {
        QFETCH(qint64, size);
        addFile(size);
        QTEST(field("split_bysize_LineEidt")->text(), "units");
        QTEST(combo()->currentText(), "unit");
        QTEST(field("split_bycount_LineEidt")->text(), "count");
        QTEST(qint64(tab->chunkSize), "chunkSize");
    }

    // The count's exact chunk size stays although the unit changes to show
    // it; editing the unit afterwards recomputes from what the field shows.
    void addFolderStartsAsTenChunks() {
        uitest::makeSparseFile(temp->filePath("tree/a.bin"), 30000000);
        uitest::makeSparseFile(temp->filePath("tree/sub/b.bin"), 20000000);
        FileChooser::setNextAnswer(temp->filePath("tree"));
        button("input_folderButton")->click();
        QVERIFY(uitest::idle(window.get()));
        QCOMPARE(field("split_bysize_LineEidt")->text(), QString("4"));
        QCOMPARE(combo()->currentText(), QString("MB"));
        QCOMPARE(field("split_bycount_LineEidt")->text(), QString("10"));
        QCOMPARE(tab->chunkSize, qint64(5000000));
        QCOMPARE(child<QLineEdit>(tab, "outPathLineEdit")->text(), temp->path());

        QVERIFY(uitest::activate(window.get()));
        combo()->setFocus();
        QTest::keyClick(combo(), Qt::Key_Up);
        QCOMPARE(combo()->currentText(), QString("KB"));
        QCOMPARE(tab->chunkSize, qint64(4096));
        QCOMPARE(field("split_bycount_LineEidt")->text(), QString("12208"));
    }

    void typedCountSetsTheChunkSize_data() {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("count");
        QTest::addColumn<qint64>("chunkSize");
        QTest::addColumn<QString>("units");
        QTest::newRow("1,000,001 in 10") << qint64(1000001) << "10"
                                         << "10" << qint64(100001) << "97";
        // Chunks under 1 KB: the count falls to the number of KB, and the
        // chunks are 1 KB.
        QTest::newRow("5,000 in 9") << qint64(5000) << "9"
                                    << "5" << qint64(1024) << "1";
        // Nothing to divide: one chunk of 1 KB is offered.
        QTest::newRow("0 in 4") << qint64(0) << "4"
                                << "1" << qint64(1024) << "1";
    }
    void typedCountSetsTheChunkSize() {
        QFETCH(qint64, size);
        QFETCH(QString, typed);
        addFile(size);
        child<QRadioButton>(tab, "split_bycount_RadioButton")->click();
        QVERIFY(!field("split_bysize_LineEidt")->isEnabled());
        field("split_bycount_LineEidt")->selectAll();
        QTest::keyClicks(field("split_bycount_LineEidt"), typed);
        QTEST(field("split_bycount_LineEidt")->text(), "count");
        QTEST(qint64(tab->chunkSize), "chunkSize");
        QTEST(field("split_bysize_LineEidt")->text(), "units");
        QCOMPARE(combo()->currentText(), QString("KB"));
    }

    // A field may be empty while it is retyped, with "Split" off meanwhile;
    // finishing the edit repairs an empty or zero field to "1".
    void fieldsCanBeRetypedAndAreRepairedWhenLeft_data() {
        QTest::addColumn<bool>("countField");
        QTest::addColumn<int>("finish");  // a key, or 0 for a click on the other field's radio button
        QTest::newRow("size, Tab") << false << int(Qt::Key_Tab);
        QTest::newRow("size, Enter") << false << int(Qt::Key_Return);
        QTest::newRow("size, click elsewhere") << false << 0;
        QTest::newRow("count, Tab") << true << int(Qt::Key_Tab);
        QTest::newRow("count, Enter") << true << int(Qt::Key_Return);
    }
    void fieldsCanBeRetypedAndAreRepairedWhenLeft() {
        QFETCH(bool, countField);
        QFETCH(int, finish);
        addFile(100000);
        if (countField) child<QRadioButton>(tab, "split_bycount_RadioButton")->click();
        QLineEdit* edited = field(countField ? "split_bycount_LineEidt" : "split_bysize_LineEidt");
        QPushButton* splitButton = button("m_split_Button");
        QVERIFY(uitest::activate(window.get()));
        QTest::mouseClick(edited, Qt::LeftButton);
        QVERIFY(edited->hasFocus());

        edited->selectAll();
        QTest::keyClicks(edited, "20");
        QCOMPARE(edited->text(), QString("20"));
        QCOMPARE(tab->chunkSize, countField ? qint64(5000) : qint64(20480));
        QTest::keyClick(edited, Qt::Key_Backspace);
        QTest::keyClick(edited, Qt::Key_Backspace);
        QCOMPARE(edited->text(), QString());
        QVERIFY(!splitButton->isEnabled());
        QTest::keyClicks(edited, "0");
        QCOMPARE(edited->text(), QString("0"));
        QVERIFY(!splitButton->isEnabled());

        if (finish != 0)
            QTest::keyClick(edited, Qt::Key(finish));
        else
            QTest::mouseClick(child<QRadioButton>(tab, "split_bycount_RadioButton"), Qt::LeftButton);
        QCOMPARE(edited->text(), QString("1"));
        QVERIFY(splitButton->isEnabled());
        QCOMPARE(tab->chunkSize, countField ? qint64(100000) : qint64(1024));
    }

    // "Delete source file after splitting" is chosen for one source only.
    void newSourceUnticksDeleteSource() {
        auto* deleteSource = child<QCheckBox>(tab, "deleteSourceCheckBox");
        addFile(5000);
        deleteSource->setChecked(true);
        FileChooser::setNextAnswer(QString());
        button("input_fileButton")->click();
        QVERIFY(deleteSource->isChecked());
        addFile(6000);
        QVERIFY(!deleteSource->isChecked());
        deleteSource->setChecked(true);
        QDir().mkpath(temp->filePath("tree"));
        FileChooser::setNextAnswer(temp->filePath("tree"));
        button("input_folderButton")->click();
        QVERIFY(!deleteSource->isChecked());
    }

    // The 40-pixel unit box shows its units whole.
    void unitBoxShowsWholeUnits() {
        QComboBox* units = combo();
        QStyleOptionComboBox option;
        option.initFrom(units);
        option.editable = false;
        const QRect text =
            units->style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, units);
        QCOMPARE(units->width(), 40);
        for (int i = 0; i < units->count(); ++i)
            QVERIFY2(units->fontMetrics().horizontalAdvance(units->itemText(i)) <= text.width(),
                     qPrintable(units->itemText(i)));
        const QRect arrow =
            units->style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxArrow, units);
        QVERIFY(!arrow.intersects(text) && units->rect().contains(arrow));
    }

    // A preset's exact size stays until the unit is edited; the field shows it
    // rounded down in the largest unit that is within 0.1% of it.
    void presetSetsAnExactChunkSize() {
        addFile(10737418240);
        child<QAction>(tab, "preset_fat32")->trigger();
        QCOMPARE(qint64(tab->chunkSize), qint64(4294967295));
        QCOMPARE(field("split_bysize_LineEidt")->text(), QString("4095"));
        QCOMPARE(combo()->currentText(), QString("MB"));
        QVERIFY(field("split_bysize_LineEidt")->toolTip().contains("4,294,967,295"));
        combo()->setCurrentIndex(2);
        QCOMPARE(qint64(tab->chunkSize), qint64(4095) << 30);
        QVERIFY(field("split_bysize_LineEidt")->toolTip().isEmpty());
    }

    void joinScriptIsAskedForInThePresetsMenu() {
        addFile(3000);
        child<QAction>(tab, "joinScriptAction")->trigger();
        split();
        QVERIFY(QFile::exists(temp->filePath("f_spt/join-f.sh")));
    }

    void recoveryChunksGoToTheSplit() {
        addFile(3000);
        child<QSpinBox>(tab, "recovery_SpinBox")->setValue(2);
        split();
        QVERIFY(QFile::exists(temp->filePath("f_spt/f_r2_0_1.spr")));
    }

    // --- The Split button and its refusals ---

    void splitIsOfferedWithASourceAndAnOutputFolder() {
        QPushButton* split = button("m_split_Button");
        QVERIFY(!split->isEnabled());
        FileChooser::setNextAnswer(QString());
        button("input_fileButton")->click();
        QVERIFY(uitest::idle(window.get()));
        QVERIFY(!split->isEnabled());
        addFile(5000);
        QVERIFY(split->isEnabled());

        // Typing does not apply the rule; pressing Split then asks for a folder.
        child<QLineEdit>(tab, "outPathLineEdit")->clear();
        QVERIFY(split->isEnabled());
        UI_MyMessageBox::setNextAnswer(1);
        split->click();
        QCOMPARE(UI_MyMessageBox::answeredTexts(), QStringList("Not split:\nno output folder is chosen"));
        QVERIFY(!window->engineBusy());

        const QString units = field("split_bysize_LineEidt")->text();
        button("removeButton")->click();
        QVERIFY(!split->isEnabled());
        QCOMPARE(field("split_bysize_LineEidt")->text(), units);
    }

    // A missing output folder is made, with its parents, after asking; a
    // relative one is refused, not taken from the working folder.
    void outputFolderIsCheckedBeforeTheSplit() {
        addFile(3000);
        QLineEdit* out = child<QLineEdit>(tab, "outPathLineEdit");
        out->setText("parts");
        UI_MyMessageBox::setNextAnswer(1);
        button("m_split_Button")->click();
        QVERIFY(!window->engineBusy());
        QCOMPARE(UI_MyMessageBox::answeredTexts(),
                 QStringList("The output folder must be a full path, starting with \"/\"."));

        const QString fresh = temp->filePath("new/parts");
        out->setText(fresh);
        UI_MyMessageBox::setNextAnswer(0);
        button("m_split_Button")->click();
        QVERIFY(!window->engineBusy());
        QVERIFY(!QFileInfo::exists(temp->filePath("new")));

        UI_MyMessageBox::setNextAnswer(1);
        split();
        QCOMPARE(uitest::plainText(UI_MyMessageBox::answeredTexts().last()),
                 "The output folder \"" + fresh + "\" does not exist. Create it?");
        QCOMPARE(inspect(fresh + "/f_spt").chunks, 1);

        // A file where the folder should be is named as such.
        uitest::writeFile(temp->filePath("plain"), "x");
        out->setText(temp->filePath("plain"));
        UI_MyMessageBox::setNextAnswer(1);
        button("m_split_Button")->click();
        QVERIFY(!window->engineBusy());
        QVERIFY(uitest::plainText(UI_MyMessageBox::answeredTexts().last()).contains("is not a folder"));
    }

    void overlongPathIsRefusedBeforeAnyJob() {
        QString deep = temp->path();
        for (int i = 0; i < 5; ++i) deep += "/" + QString(220, 'd');
        uitest::writeFile(deep + "/f.bin", "x");
        FileChooser::setNextAnswer(deep + "/f.bin");
        button("input_fileButton")->click();
        QVERIFY(uitest::idle(window.get()));
        child<QLineEdit>(tab, "outPathLineEdit")->setText(temp->path());
        UI_MyMessageBox::setNextAnswer(1);
        button("m_split_Button")->click();
        QCOMPARE(UI_MyMessageBox::answeredTexts().size(), 1);
        QVERIFY(UI_MyMessageBox::answeredTexts()[0].contains("1023 bytes"));
        QVERIFY(!window->engineBusy());
    }

    void sourceOfUnknownSizeIsNotOffered() {
        FileChooser::setNextAnswer(temp->filePath("gone.bin"));
        UI_MyMessageBox::setNextAnswer(1);
        button("input_fileButton")->click();
        QVERIFY(uitest::idle(window.get()));
        QVERIFY(!button("m_split_Button")->isEnabled());
        QCOMPARE(uitest::plainText(UI_MyMessageBox::answeredTexts().value(0)),
                 "The size of '" + temp->filePath("gone.bin") + "' cannot be measured:\ncannot find '" +
                     temp->filePath("gone.bin") + "': No such file or directory");
    }

    void cancelledPasswordUnticksPasswordProtect() {
        auto* protect = child<QCheckBox>(tab, "entry_pwd_CheckBox");
        QCOMPARE(protect->text(), QString("Password protect"));
        QVERIFY(protect->width() >= protect->sizeHint().width());
        QRect shownAt;
        uitest::onModal("UI_inputpwdWidget", [&](QWidget* dialog) {
            shownAt = uitest::placedAt(dialog, window.get());
            child<QPushButton>(dialog, "cancelButton")->click();
        });
        protect->click();
        QVERIFY(!protect->isChecked());
        QCOMPARE(shownAt, uitest::placement("splitPasswordDialog"));

        addFile(3000);
        split();
        QCOMPARE(inspect(temp->filePath("f_spt")).digest, std::string());
    }

    // --- Jobs ---

    void splitRunsOnTheThreadAndLocksBothTabs() {
        addFile(3 * 1048576 + 5);
        field("split_bysize_LineEidt")->setText("1");
        combo()->setCurrentIndex(1);
        button("m_split_Button")->click();
        QWidget* progress = uitest::topLevel("splitProgressDialog");
        QVERIFY(progress->isVisible());
        QCOMPARE(uitest::placedAt(progress, window.get()), uitest::placement("splitProgressDialog"));
        for (const char* name :
             {"input_fileButton", "input_folderButton", "m_split_Button", "input_mergefileButton", "m_merge_Button"})
            QVERIFY2(!child<QPushButton>(window.get(), name)->isEnabled(), name);
        // Closing now only brings a note, which goes when the job ends; a
        // modal progress window would keep the close box from reaching it.
        QVERIFY(!progress->isModal());
        QVERIFY(!window->close());
        QPointer<QWidget> note = uitest::topLevel("busyNote");
        QVERIFY(note && note->isVisible());

        QTRY_VERIFY_WITH_TIMEOUT(!window->engineBusy(), 60000);
        QTRY_VERIFY(note.isNull());
        QWidget* done = uitest::topLevel("splitCompleteDialog");
        QVERIFY(done->isVisible() && !progress->isVisible());
        QCOMPARE(uitest::placedAt(done, window.get()), uitest::placement("splitCompleteDialog"));
        QVERIFY(button("m_split_Button")->isEnabled());
        QVERIFY(child<QPushButton>(window.get(), "input_mergefileButton")->isEnabled());
        QCOMPARE(inspect(temp->filePath("f_spt")).chunks, 4);
    }

    void sourceIsDeletedOnlyAfterASuccessfulSplit() {
        addFile(70000);
        auto* deleteSource = child<QCheckBox>(tab, "deleteSourceCheckBox");
        deleteSource->setChecked(true);
        // The file grows after it was measured: the split must fail.
        QFile grown(temp->filePath("f.bin"));
        QVERIFY(grown.open(QIODevice::Append) && grown.write("more") == 4);
        grown.close();
        UI_MyMessageBox::setNextAnswer(1);
        button("m_split_Button")->click();
        QTRY_VERIFY_WITH_TIMEOUT(!window->engineBusy(), 60000);
        QCOMPARE(QFile(temp->filePath("f.bin")).size(), qint64(70004));
        QVERIFY(!uitest::topLevel("splitCompleteDialog")->isVisible());
        QCOMPARE(UI_MyMessageBox::answeredTexts().size(), 1);
        const QString message = uitest::plainText(UI_MyMessageBox::answeredTexts()[0]);
        QVERIFY(message.startsWith("Splitting failed:\n"));

        addFile(70000);
        deleteSource->setChecked(true);
        split();
        QVERIFY(!QFile::exists(temp->filePath("f.bin")));
        QCOMPARE(inspect(temp->filePath("f_spt")).chunks, 10);
        QCOMPARE(child<QTreeWidget>(tab, "fileTree")->topLevelItemCount(), 1);
    }

    // report.v1.doc and report.v2.doc share the chunk folder report_spt.
    void moreThanAMillionChunksAreConfirmedFirst() {
        addFile(qint64(3) << 30);  // sparse: 1 KiB chunks, the smallest the tab makes
        child<QRadioButton>(tab, "split_bycount_RadioButton")->click();
        field("split_bycount_LineEidt")->selectAll();
        QTest::keyClicks(field("split_bycount_LineEidt"), "3145728");
        UI_MyMessageBox::setNextAnswer(0);
        button("m_split_Button")->click();
        QCOMPARE(uitest::plainText(UI_MyMessageBox::answeredTexts().value(0)),
                 "Many chunks:\nThis makes 3,145,728 chunks. Split anyway?");
        QVERIFY(!window->engineBusy());
        QVERIFY(!QFile::exists(temp->filePath("f_spt")));
    }

    void anotherSourcesSetIsReplacedOnlyWhenConfirmed() {
        addFile(3000, "report.v1.doc");
        split();
        addFile(2000, "report.v2.doc");
        child<QCheckBox>(tab, "deleteSourceCheckBox")->setChecked(true);
        QString text;
        bool cancelIsDefault = false;
        uitest::onModal("UI_MyMessageBox", [&](QWidget* box) {
            text = uitest::plainText(child<QLabel>(box, "textLabel")->text());
            cancelIsDefault = child<QPushButton>(box, "cancelButton")->isDefault();
            QTest::keyClick(box, Qt::Key_Return);
        });
        button("m_split_Button")->click();
        QTRY_COMPARE(uitest::pendingModalActions(), 0);
        QCOMPARE(text, "Chunk folder in use:\n'" + temp->filePath("report_spt") +
                           "' already holds the chunk set of 'report.v1.doc'.\nReplace it with the chunk set of "
                           "'report.v2.doc'?");
        QVERIFY(cancelIsDefault);
        QVERIFY(!window->engineBusy());
        QVERIFY(!uitest::topLevel("splitProgressDialog")->isVisible());
        QVERIFY(QFile::exists(temp->filePath("report.v2.doc")));
        QCOMPARE(inspect(temp->filePath("report_spt")).name, std::string("report.v1.doc"));

        UI_MyMessageBox::setNextAnswer(1);
        split();
        QCOMPARE(inspect(temp->filePath("report_spt")).name, std::string("report.v2.doc"));
        QVERIFY(!QFile::exists(temp->filePath("report.v2.doc")));
    }

    void failedSplitSaysNothingWasLeftBehind() {
        uitest::writeFile(temp->filePath("tree/a"), "abcd");
        FileChooser::setNextAnswer(temp->filePath("tree"));
        button("input_folderButton")->click();
        QVERIFY(uitest::idle(window.get()));
        uitest::writeFile(temp->filePath("tree/b"), "x");  // after it was measured
        UI_MyMessageBox::setNextAnswer(1);
        button("m_split_Button")->click();
        QTRY_VERIFY_WITH_TIMEOUT(!window->engineBusy(), 60000);
        // One chunk of 1 KB holds the whole tree, so the change shows at its end.
        QCOMPARE(
            uitest::plainText(UI_MyMessageBox::answeredTexts().value(0)),
            "Splitting failed:\n'" + temp->filePath("tree") + "' changed while it was split; nothing was left behind");
        QVERIFY(!QFileInfo::exists(temp->filePath("tree_spt")));
    }

    void aNameWithALineBreakGetsNoChecksumFile() {
        addFile(5000, "line\nbreak.bin");
        UI_MyMessageBox::setNextAnswer(1);
        split();
        QCOMPARE(UI_MyMessageBox::answeredTexts().size(), 1);
        QVERIFY(UI_MyMessageBox::answeredTexts()[0].contains("only the first KiB of each chunk can be checked"));

        addFile(5000);
        split();
        QCOMPARE(UI_MyMessageBox::answeredTexts().size(), 1);
    }

    void folderDeletionTakesOnlyWhatWasSplit() {
        uitest::writeFile(temp->filePath("tree/a.txt"), "a");
        uitest::writeFile(temp->filePath("tree/.hidden/b.txt"), "b");
        QDir().mkpath(temp->filePath("tree/bare/deeper"));
        QDir().mkpath(temp->filePath("tree/x"));
        QVERIFY(mkfifo(QFile::encodeName(temp->filePath("tree/x/pipe")).constData(), 0600) == 0);
        uitest::writeFile(temp->filePath("outside/keep.txt"), "keep");
        QDir().mkpath(temp->filePath("outside/empty"));
        QVERIFY(QFile::link(temp->filePath("outside"), temp->filePath("tree/link")));
        FileChooser::setNextAnswer(temp->filePath("tree"));
        button("input_folderButton")->click();
        QVERIFY(uitest::idle(window.get()));
        child<QCheckBox>(tab, "deleteSourceCheckBox")->setChecked(true);
        UI_MyMessageBox::setNextAnswer(1);  // what the split passed over
        UI_MyMessageBox::setNextAnswer(1);  // what the deletion kept
        split();

        QVERIFY(!QFile::exists(temp->filePath("tree/a.txt")));
        QVERIFY(!QDir(temp->filePath("tree/.hidden")).exists());
        // The set records the folders that held no file, so they go too.
        QVERIFY(!QDir(temp->filePath("tree/bare")).exists());
        QCOMPARE(uitest::plainText(UI_MyMessageBox::answeredTexts().value(0)),
                 "Passed over in '" + temp->filePath("tree") +
                     "':\nThe split passed over 1 link to a folder and 1 FIFO, which the chunk set does not hold: "
                     "'link', 'x/pipe'.");
        QCOMPARE(uitest::plainText(UI_MyMessageBox::answeredTexts().value(1)),
                 "Kept in '" + temp->filePath("tree") +
                     "':\nthe chunk set does not hold 'link', 'x/pipe', so they were not deleted.");
        // What the walk skipped stays, and so do its folders.
        QVERIFY(QFileInfo(temp->filePath("tree/link")).isSymLink());
        QVERIFY(QFileInfo::exists(temp->filePath("tree/x/pipe")));
        QCOMPARE(uitest::readFile(temp->filePath("outside/keep.txt")), QByteArray("keep"));
        QVERIFY(QDir(temp->filePath("outside/empty")).exists());
    }

    // --- Off the window's thread, Cancel, drops ---

    void measuringRunsWhileTheWindowStaysLive() {
        uitest::makeSparseFile(temp->filePath("f.bin"), 734003200);
        FileChooser::setNextAnswer(temp->filePath("f.bin"));
        button("input_fileButton")->click();
        // Back from the click before the source is measured and listed.
        QVERIFY(window->engineBusy());
        QVERIFY(!button("input_folderButton")->isEnabled());
        QVERIFY(!child<QPushButton>(window.get(), "input_mergefileButton")->isEnabled());
        QVERIFY(uitest::idle(window.get()));
        QCOMPARE(child<QTreeWidget>(tab, "fileTree")->topLevelItem(0)->text(2), QString("700.00 M"));
        QCOMPARE(field("split_bysize_LineEidt")->text(), QString("70"));
        QVERIFY(button("m_split_Button")->isEnabled());
    }

    void cancelStopsTheSplitAndKeepsTheSource() {
        uitest::makeFilledFile(temp->filePath("f.bin"), 400);
        FileChooser::setNextAnswer(temp->filePath("f.bin"));
        button("input_fileButton")->click();
        QVERIFY(uitest::idle(window.get()));
        child<QCheckBox>(tab, "deleteSourceCheckBox")->setChecked(true);
        UI_MyMessageBox::setNextAnswer(1);
        button("m_split_Button")->click();
        QWidget* progress = uitest::topLevel("splitProgressDialog");
        QTest::keyClick(progress, Qt::Key_Escape);
        QVERIFY(progress->isVisible());
        child<QPushButton>(progress, "cancelButton")->click();
        QVERIFY(uitest::idle(window.get()));
        QCOMPARE(UI_MyMessageBox::answeredTexts(), QStringList("Cancelled"));
        QVERIFY(!progress->isVisible());
        QVERIFY(!uitest::topLevel("splitCompleteDialog")->isVisible());
        QVERIFY(!QFileInfo::exists(temp->filePath("f_spt")));
        QCOMPARE(QFile(temp->filePath("f.bin")).size(), qint64(400 << 20));

        // The next split runs to its end: the cancel belonged to the last one.
        child<QCheckBox>(tab, "deleteSourceCheckBox")->setChecked(false);
        addFile(5000);
        split();
        QCOMPARE(inspect(temp->filePath("f_spt")).chunks, 1);
    }

    void dropMakesAFileOrFolderTheSourceAndRefusesTheRest() {
        uitest::writeFile(temp->filePath("tree/a.bin"), uitest::pattern(5000));
        uitest::writeFile(temp->filePath("f.bin"), uitest::pattern(5000));
        QVERIFY(!drop({QUrl::fromLocalFile(temp->filePath("missing.bin"))}));
        QVERIFY(!drop({QUrl::fromLocalFile(temp->filePath("f.bin")), QUrl::fromLocalFile(temp->filePath("tree"))}));
        QVERIFY(!drop({QUrl("https://example.org/f.bin")}));
        QCOMPARE(child<QTreeWidget>(tab, "fileTree")->topLevelItemCount(), 0);

        QVERIFY(drop({QUrl::fromLocalFile(temp->filePath("f.bin"))}));
        QVERIFY(uitest::idle(window.get()));
        QCOMPARE(tab->sourcePath, temp->filePath("f.bin"));
        QCOMPARE(field("split_bysize_LineEidt")->text(), QString("500"));

        QVERIFY(drop({QUrl::fromLocalFile(temp->filePath("tree") + "/")}));
        QVERIFY(uitest::idle(window.get()));
        QCOMPARE(tab->sourcePath, temp->filePath("tree"));
        QCOMPARE(field("split_bycount_LineEidt")->text(), QString("5"));
        QCOMPARE(child<QTreeWidget>(tab, "fileTree")->topLevelItemCount(), 1);
        QCOMPARE(child<QLineEdit>(tab, "outPathLineEdit")->text(), temp->path());

        // A chunk file is not split again: the note offers the Join tab.
        split();
        UI_MyMessageBox::setNextAnswer(1);
        QVERIFY(drop({QUrl::fromLocalFile(temp->filePath("tree_spt/tree_0.spt"))}));
        QTRY_COMPARE(child<QTabWidget>(window.get(), "tabWidget")->currentIndex(), 1);
        QVERIFY(uitest::plainText(UI_MyMessageBox::answeredTexts().value(0)).endsWith("it is joined, not split."));
        QCOMPARE(tab->sourcePath, temp->filePath("tree"));
    }

private:
    bool drop(const QList<QUrl>& urls) { return uitest::drop(tab, urls); }

    QLineEdit* field(const char* name) { return child<QLineEdit>(tab, name); }
    QComboBox* combo() { return child<QComboBox>(tab, "split_size_ComboBox"); }
    QPushButton* button(const char* name) { return child<QPushButton>(tab, name); }

    // Adds temp/name of size bytes through "Add File"; big ones are sparse.
    void addFile(qint64 size, const QString& name = "f.bin") {
        const QString path = temp->filePath(name);
        if (size < 1000000)
            uitest::writeFile(path, uitest::pattern(int(size)));
        else
            uitest::makeSparseFile(path, size);
        FileChooser::setNextAnswer(path);
        button("input_fileButton")->click();
        QVERIFY(uitest::idle(window.get()));
    }

    // Splits with the current settings and closes the completion dialog.
    void split() {
        button("m_split_Button")->click();
        QTRY_VERIFY_WITH_TIMEOUT(!window->engineBusy(), 60000);
        QWidget* done = uitest::topLevel("splitCompleteDialog");
        QVERIFY(done->isVisible());
        child<QPushButton>(done, "okButton")->click();
    }

    struct Listing {
        int chunks = -1;
        std::string digest = "unread";
        std::string name;
    };
    static Listing inspect(const QString& chunkFolder) {
        Listing listing;
        std::vector<partwise::ChunkEntry> entries;
        if (partwise::InspectChunkSet(QFile::encodeName(chunkFolder).toStdString(), entries, listing.digest,
                                      listing.name) == 0)
            listing.chunks = int(entries.size());
        return listing;
    }

    std::unique_ptr<QTemporaryDir> temp;
    std::unique_ptr<UI_SplitProject> window;
    UI_SplitWidget* tab = nullptr;
};

QTEST_MAIN(SplitTabTest)
#include "split_tab_test.moc"
