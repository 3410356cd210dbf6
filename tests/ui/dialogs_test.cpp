// The progress, completion and message dialogs.
#include <QDesktopServices>
#include <QImage>
#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QUrl>

#include "UI_DialogWidget.h"
#include "UI_MyMessageBox.h"
#include "UI_ProgressWidget.h"
#include "UI_inputpwdWidget.h"
#include "ui_test_support.h"

using uitest::child;

// Stands in for the desktop's file manager.
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void open(const QUrl& url) { opened << url; }
};

namespace {

void sendMouse(QWidget* widget, QEvent::Type type, QPoint at, Qt::MouseButtons held) {
    QMouseEvent event(type, at, widget->mapToGlobal(at), type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton,
                      held, Qt::NoModifier);
    QApplication::sendEvent(widget, &event);
}

// Presses at (5, 5), moves to (25, 35), releases, then moves on.
QPoint dragBy20x30(QWidget* dialog) {
    const QPoint before = dialog->geometry().topLeft();
    sendMouse(dialog, QEvent::MouseButtonPress, {5, 5}, Qt::LeftButton);
    sendMouse(dialog, QEvent::MouseMove, {25, 35}, Qt::LeftButton);
    sendMouse(dialog, QEvent::MouseButtonRelease, {25, 35}, Qt::NoButton);
    sendMouse(dialog, QEvent::MouseMove, {60, 60}, Qt::NoButton);
    return dialog->geometry().topLeft() - before;
}

}  // namespace

class DialogsTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { uitest::loadImages(); }
    void cleanup() { uitest::resetInjectedAnswers(); }

    void progressShowsAnyPercentButTheBarOnlyValidOnes() {
        UI_ProgressWidget progress;
        progress.placeDialog(0, 0, 360, 80);
        auto* label = child<QLabel>(&progress, "percentLabel");
        auto* bar = child<QProgressBar>(&progress, "progressBar");
        const QList<std::pair<int, int>> shownAndBar = {{0, 0}, {100, 100}, {150, 100}};
        for (const auto& [percent, barValue] : shownAndBar) {
            progress.setPercent(percent);
            QCOMPARE(label->text(), QString::number(percent) + "%");
            QCOMPARE(bar->value(), barValue);
        }
    }

    void messageBoxSaysOkOnlyAfterOk() {
        const auto answer = [](const char* buttonName) {
            UI_MyMessageBox box;
            box.placeDialog(0, 0, 260, 140);
            box.setContent(QString(), "Replace it?", true, true);
            uitest::onModal("UI_MyMessageBox", [buttonName](QWidget* shown) {
                if (buttonName)
                    child<QPushButton>(shown, buttonName)->click();
                else
                    QTest::keyClick(shown, Qt::Key_Escape);
            });
            return box.run();
        };
        QCOMPARE(answer("okButton"), 1);
        QCOMPARE(answer("cancelButton"), 0);
        QCOMPARE(answer(nullptr), 0);
    }

    void showMessageStandsInTheMiddleOfItsParent() {
        QWidget window;
        window.setGeometry(100, 50, 780, 480);
        QRect shownAt;
        uitest::onModal("UI_MyMessageBox", [&](QWidget* box) {
            shownAt = box->geometry();
            child<QPushButton>(box, "okButton")->click();
        });
        QCOMPARE(showMessage(&window, QString(), "input path is not valid!", true, false), 1);
        QCOMPARE(shownAt, QRect(100 + 270, 50 + 240, 240, 140));
    }

    void openFolderOpensTheFolderAndStaysOpen() {
        UrlCatcher catcher;
        QDesktopServices::setUrlHandler("file", &catcher, "open");
        UI_DialogWidget done;
        done.placeDialog(0, 0, 260, 80);
        done.folderPath = "/data/out put";
        done.show();
        child<QPushButton>(&done, "openButton")->click();
        child<QPushButton>(&done, "openButton")->click();
        QDesktopServices::unsetUrlHandler("file");
        const QUrl folder = QUrl::fromLocalFile("/data/out put");
        QCOMPARE(catcher.opened, QList<QUrl>({folder, folder}));
        QVERIFY(done.isVisible());
        child<QPushButton>(&done, "okButton")->click();
        QVERIFY(!done.isVisible());
    }

    // Each frameless dialog shows a 1-pixel edge of its own, above its
    // children, and stays frameless.
    void dialogsHaveAVisibleEdge() {
        UI_DialogWidget done;
        done.placeDialog(100, 100, 260, 80);
        UI_MyMessageBox box;
        box.placeDialog(100, 100, 260, 140);
        box.setContent(QString(), "Replace it?", true, true);
        UI_inputpwdWidget password;
        password.placeDialog(100, 100, 260, 180);
        UI_ProgressWidget progress;
        progress.placeDialog(100, 100, 360, 80);
        progress.setPercent(50);
        for (QWidget* dialog : std::initializer_list<QWidget*>{&done, &box, &password, &progress}) {
            dialog->show();
            QVERIFY(dialog->windowFlags().testFlag(Qt::CustomizeWindowHint));
            QVERIFY(!dialog->windowFlags().testFlag(Qt::WindowTitleHint));
            const QImage shot = dialog->grab().toImage();
            const QColor inside = shot.pixelColor(2, shot.height() / 2);
            const int w = shot.width();
            const int h = shot.height();
            // Corners, and the middle of each side, where the progress bar reaches the edge.
            for (const QPoint at : {QPoint(0, 0), QPoint(w - 1, h - 1), QPoint(w / 2, 0), QPoint(w / 2, h - 1),
                                    QPoint(0, 50 * h / 80), QPoint(w - 1, 50 * h / 80)})
                QVERIFY2(
                    shot.pixelColor(at) != inside && shot.pixelColor(at).lightness() < 160,
                    qPrintable(QString("%1 at %2,%3").arg(dialog->metaObject()->className()).arg(at.x()).arg(at.y())));
            dialog->hide();
        }
    }

    // A note does not block: it is up at once and goes away by itself.
    void noteShowsWithoutBlockingAndDeletesItselfWhenClosed() {
        QWidget window;
        window.setGeometry(100, 50, 780, 480);
        QPointer<UI_MyMessageBox> note = showNote(&window, "Please wait.");
        QVERIFY(note && note->isVisible());
        QCOMPARE(note->geometry(), QRect(100 + 270, 50 + 240, 240, 140));
        child<QPushButton>(note, "okButton")->click();
        QTRY_VERIFY(note.isNull());
    }

    void dialogsMoveWithTheDragAndKeepTheirSize() {
        UI_DialogWidget done;
        done.placeDialog(100, 100, 260, 80);
        UI_MyMessageBox box;
        box.placeDialog(100, 100, 260, 140);
        UI_inputpwdWidget password;
        password.placeDialog(100, 100, 260, 160);
        for (QWidget* dialog : std::initializer_list<QWidget*>{&done, &box, &password}) {
            dialog->show();
            const QSize size = dialog->size();
            QCOMPARE(dragBy20x30(dialog), QPoint(20, 30));
            QCOMPARE(dialog->size(), size);
        }
        UI_ProgressWidget progress;
        progress.placeDialog(100, 100, 360, 80);
        progress.show();
        QCOMPARE(dragBy20x30(&progress), QPoint(0, 0));
    }
};

QTEST_MAIN(DialogsTest)
#include "dialogs_test.moc"
