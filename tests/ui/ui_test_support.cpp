#include "ui_test_support.h"

#include <QApplication>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMimeData>
#include <QPointer>
#include <QTest>
#include <QTimer>

#include "FileChooser.h"
#include "UI_MyMessageBox.h"
#include "UI_SplitProject.h"

static void initImagesResource() { Q_INIT_RESOURCE(image); }

namespace uitest {
namespace {
QList<QPointer<QTimer>> modalWatchers;
}

void loadImages() { initImagesResource(); }

QWidget* topLevel(const QString& name) {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (widget->objectName() == name) return widget;
    }
    return nullptr;
}

void onModal(const char* className, std::function<void(QWidget*)> action) {
    auto* watcher = new QTimer(qApp);
    modalWatchers << watcher;
    QObject::connect(watcher, &QTimer::timeout, watcher, [watcher, wanted = QByteArray(className), action] {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal || !modal->isVisible() || !modal->inherits(wanted)) return;
        watcher->stop();
        watcher->deleteLater();
        action(modal);
        // A failed check returns from action early: close the dialog, or
        // its modal run would wait forever.
        if (QTest::currentTestFailed() && modal->isVisible()) modal->close();
    });
    watcher->start(5);
}

bool activate(QWidget* window) {
    window->activateWindow();
    // The offscreen platform keeps a hidden window as its focus window and
    // does not activate it again once it is shown anew.
    if (!QTest::qWaitFor([window] { return QApplication::activeWindow() == window; }, 500))
        QApplication::setActiveWindow(window);
    return QApplication::activeWindow() == window;
}

int pendingModalActions() {
    int pending = 0;
    for (const QPointer<QTimer>& watcher : std::as_const(modalWatchers))
        pending += watcher && watcher->isActive() ? 1 : 0;
    return pending;
}

void resetInjectedAnswers() {
    FileChooser::reset();
    UI_MyMessageBox::reset();
    for (const QPointer<QTimer>& watcher : std::as_const(modalWatchers)) delete watcher.data();
    modalWatchers.clear();
}

bool idle(const UI_SplitProject* window) {
    return QTest::qWaitFor([window] { return !window->engineBusy(); }, 60000);
}

bool drop(QWidget* target, const QList<QUrl>& urls) {
    QMimeData mime;
    mime.setUrls(urls);
    const QPoint at = target->rect().center();
    QDragEnterEvent enter(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    if (!enter.isAccepted()) return false;
    QDropEvent dropped(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &dropped);
    return dropped.isAccepted();
}

QByteArray pattern(int size, int seed) {
    QByteArray bytes(size, Qt::Uninitialized);
    quint32 state = 2166136261u ^ quint32(seed);
    for (int i = 0; i < size; ++i) {
        state = state * 16777619u + quint32(i);
        bytes[i] = char(state >> 24);
    }
    return bytes;
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void makeFilledFile(const QString& path, int mebibytes) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    const QByteArray block = pattern(1 << 20);
    if (!file.open(QIODevice::WriteOnly)) qFatal("cannot make %s", qPrintable(path));
    for (int i = 0; i < mebibytes; ++i) {
        if (file.write(block) != block.size()) qFatal("cannot make %s", qPrintable(path));
    }
}

void makeSparseFile(const QString& path, qint64 size) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || !file.resize(size)) qFatal("cannot make %s", qPrintable(path));
}

QString plainText(QString text) { return text.remove(QChar(0x200B)); }

QRect placement(const QString& dialogName) {
    // The tabs' dialogs stand at their tab's anchor, the overwrite note in the
    // middle of the window.
    static const QHash<QString, QRect> kPlacements = {
        {"splitProgressDialog", QRect(160, 210, 360, 96)},  {"joinProgressDialog", QRect(160, 210, 360, 96)},
        {"splitCompleteDialog", QRect(220, 210, 260, 80)},  {"joinCompleteDialog", QRect(220, 210, 260, 80)},
        {"splitPasswordDialog", QRect(220, 210, 260, 180)}, {"joinPasswordDialog", QRect(220, 210, 260, 160)},
        {"overwriteNote", QRect(270, 240, 260, 140)},
    };
    return kPlacements.value(dialogName);
}

QRect placedAt(const QWidget* dialog, const QWidget* window) { return dialog->geometry().translated(-window->pos()); }

}  // namespace uitest
