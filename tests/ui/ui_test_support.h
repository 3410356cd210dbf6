#pragma once
// Helpers for the widget tests: named widgets, modal dialogs answered from
// inside their own event loop, and files on disk.
#include <QByteArray>
#include <QList>
#include <QRect>
#include <QString>
#include <QUrl>
#include <QWidget>

#include <functional>

class UI_SplitProject;

namespace uitest {

// Registers the compiled-in pictures; call once per test program.
void loadImages();

template <class T>
T* child(const QObject* parent, const char* name) {
    return parent->findChild<T*>(QString::fromLatin1(name));
}

// The top-level widget with this object name, shown or hidden, or null.
QWidget* topLevel(const QString& name);

// Runs action on the next modal dialog of class className once it shows: a
// modal dialog runs its own event loop, so the test must be ready before the
// click that opens it.
void onModal(const char* className, std::function<void(QWidget*)> action);
int pendingModalActions();
// Makes window the active window, as a click on it would; true when it is.
bool activate(QWidget* window);
// Drops every injected answer and pending action; for each test's cleanup().
void resetInjectedAnswers();

// Waits until no engine action runs in window (measuring, inspecting, a job);
// false after a minute.
bool idle(const UI_SplitProject* window);

// Drags urls over target and drops them there if target takes them;
// returns whether it did.
bool drop(QWidget* target, const QList<QUrl>& urls);

// Bytes that differ from position to position, so misplaced ranges show.
QByteArray pattern(int size, int seed = 1);
// Writes bytes to path, creating the folders on the way.
void writeFile(const QString& path, const QByteArray& bytes);
QByteArray readFile(const QString& path);
// A file of mebibytes MiB of real bytes, for jobs that must take a while:
// holes would be copied as holes, at once.
void makeFilledFile(const QString& path, int mebibytes);
// A file of size bytes that takes no space on disk.
void makeSparseFile(const QString& path, qint64 size);
// A message box text without the wrap points put after each "/".
QString plainText(QString text);

// Where the window puts a dialog, by its object name, relative to the main
// window's position: one table for every dialog the tabs place. An empty
// rectangle for a name it does not hold.
QRect placement(const QString& dialogName);
// The dialog's rectangle relative to window, for comparing with placement().
QRect placedAt(const QWidget* dialog, const QWidget* window);

}  // namespace uitest
