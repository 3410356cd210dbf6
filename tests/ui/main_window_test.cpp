// The main window: its fixed frame, pages and pictures, and the
// one-engine-action-at-a-time rule shared by both tabs.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>
#include <QTreeWidget>

#include "UI_MyMessageBox.h"
#include "UI_SplitProject.h"
#include "UI_SplitWidget.h"
#include "partwise/fsutil.h"
#include "partwise/splitter.h"
#include "ui_test_support.h"

using uitest::child;

class MainWindowTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { uitest::loadImages(); }
    void cleanup() { uitest::resetInjectedAnswers(); }

    void windowHasItsFixedFrameAndPages() {
        UI_SplitProject window;
        QCOMPARE(window.minimumSize(), QSize(780, 480));
        QCOMPARE(window.maximumSize(), QSize(780, 480));
        QCOMPARE(window.windowTitle(), QString("Orvellan Free Partwise"));
        auto* tabs = child<QTabWidget>(&window, "tabWidget");
        QCOMPARE(tabs->geometry(), QRect(50, 20, 680, 420));
        QCOMPARE(tabs->count(), 3);
        QCOMPARE(tabs->tabText(0), QString("Split File"));
        QCOMPARE(tabs->tabText(1), QString("Join File "));
        QCOMPARE(tabs->tabText(2), QString("  Reference   "));
        QCOMPARE(child<QWidget>(&window, "mergeWidget")->geometry(), QRect(0, 30, 680, 420));
        QCOMPARE(child<QLabel>(&window, "versionLabel")->geometry(), QRect(700, 450, 100, 20));
    }

    void picturesAreCompiledInAtTheirSizes() {
        QCOMPARE(QImage(":/image/ref_tables.png").size(), QSize(552, 255));
        QCOMPARE(QImage(":/image/right.png").size(), QSize(20, 20));
        QCOMPARE(QImage(":/image/wrong.png").size(), QSize(20, 20));
        QCOMPARE(QImage(":/image/program.ico").size(), QSize(128, 128));
        // The table is the label's background, at its own size.
        UI_SplitProject window;
        auto* table = child<QLabel>(&window, "tableImageLabel");
        QCOMPARE(table->geometry(), QRect(10, 120, 552, 255));
        QCOMPARE(table->palette().window().texture().size(), QSize(552, 255));
    }

    void busyEngineLocksBothTabsAndTheWindow() {
        UI_SplitProject window;
        window.show();
        const QList<QPushButton*> starters = {child<QPushButton>(&window, "input_fileButton"),
                                              child<QPushButton>(&window, "input_folderButton"),
                                              child<QPushButton>(&window, "input_mergefileButton")};
        window.setEngineBusy(true);
        for (QPushButton* starter : starters) QVERIFY2(!starter->isEnabled(), qPrintable(starter->objectName()));
        // Closing is refused with a note that does not block, and only one
        // note stands however often the user tries.
        QVERIFY(!window.close());
        QVERIFY(!window.close());
        QPointer<QWidget> note = uitest::topLevel("busyNote");
        QVERIFY(note && note->isVisible() && !note->isModal());
        QCOMPARE(child<QLabel>(note, "textLabel")->text(),
                 QString("A split or join is still running: cancel it, or wait until it has finished."));
        int notes = 0;
        for (QWidget* widget : QApplication::topLevelWidgets()) notes += widget->objectName() == "busyNote" ? 1 : 0;
        QCOMPARE(notes, 1);

        // The job's end takes the note away.
        window.setEngineBusy(false);
        QTRY_VERIFY(note.isNull());
        for (QPushButton* starter : starters) QVERIFY(starter->isEnabled());
        // Nothing is listed: the job buttons keep following their own rules.
        QVERIFY(!child<QPushButton>(&window, "m_split_Button")->isEnabled());
        QVERIFY(!child<QPushButton>(&window, "m_merge_Button")->isEnabled());
        QVERIFY(window.close());
    }

    // "partwise PATH": a chunk folder or its descriptor on the Join tab,
    // anything else that exists on the Split tab.
    void pathFromTheCommandLineOpensOnTheRightTab() {
        QTemporaryDir temp;
        uitest::writeFile(temp.filePath("src/data.bin"), uitest::pattern(5000));
        partwise::SplitJob job = {};
        const QByteArray source = QFile::encodeName(temp.filePath("src/data.bin"));
        const QByteArray output = QFile::encodeName(temp.filePath("src"));
        qstrcpy(job.sourcePath, source.constData());
        qstrcpy(job.outputFolder, output.constData());
        job.totalSize = 5000;
        job.chunkSize = 1000;
        QCOMPARE(partwise::RunSplit(job), 0);
        QDir::setCurrent(temp.path());

        for (const QString& path : {QString("src/data_spt"), temp.filePath("src/data_spt/spt_config.brixspt"),
                                    QString("src/data_spt/data_3.spt")}) {
            UI_SplitProject window;
            window.show();
            window.openPath(path);
            QVERIFY(uitest::idle(&window));
            QCOMPARE(child<QTabWidget>(&window, "tabWidget")->currentIndex(), 1);
            QCOMPARE(child<QTreeView>(&window, "chunkTree")->model()->rowCount(), 5);
            QVERIFY(child<QPushButton>(&window, "m_merge_Button")->isEnabled());
        }
        for (const QString& path : {QString("src/data.bin"), QString("src")}) {
            UI_SplitProject window;
            window.show();
            window.openPath(path);
            QVERIFY(uitest::idle(&window));
            QCOMPARE(child<QTabWidget>(&window, "tabWidget")->currentIndex(), 0);
            QCOMPARE(child<UI_SplitWidget>(&window, "splitWidget")->sourcePath, temp.filePath(path));
            QCOMPARE(child<QTreeWidget>(&window, "fileTree")->topLevelItemCount(), 1);
        }
        UI_SplitProject window;
        window.openPath(temp.filePath("missing"));
        QVERIFY(!window.engineBusy());
        QCOMPARE(child<QTabWidget>(&window, "tabWidget")->currentIndex(), 0);
        QCOMPARE(child<QTreeWidget>(&window, "fileTree")->topLevelItemCount(), 0);
        QDir::setCurrent(QDir::rootPath());
    }
};

QTEST_MAIN(MainWindowTest)
#include "main_window_test.moc"
