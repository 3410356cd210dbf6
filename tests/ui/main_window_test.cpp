// The main window: its fixed frame, pages and pictures, and the
// one-engine-action-at-a-time rule shared by both tabs.
#include <QApplication>
#include <QImage>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>

#include "UI_MyMessageBox.h"
#include "UI_SplitProject.h"
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
                 QString("A split or join is still running. Please wait until it has finished."));
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
};

QTEST_MAIN(MainWindowTest)
#include "main_window_test.moc"
