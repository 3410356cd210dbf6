#pragma once
// The main window: the "Split File", "Join File " and "  Reference   " tabs in
// a fixed 780 x 480 window that can be dragged by any part that does not take
// the mouse itself. It also keeps the one engine action at a time: while a
// split or join runs, neither tab can start another, and the window refuses
// to close.
#include <QPointer>
#include <QWidget>

class QLabel;
class QTabWidget;
class UI_MyMessageBox;
class UI_MergeWidget;
class UI_SplitWidget;

class UI_SplitProject : public QWidget {
    Q_OBJECT
public:
    explicit UI_SplitProject(QWidget* parent = nullptr);
    ~UI_SplitProject() override;

    // Called by a tab when its job starts and when it has finished.
    void setEngineBusy(bool busy);
    bool engineBusy() const { return busy; }
    // Opens the window on path: a chunk folder, its descriptor or one of its
    // chunks is listed on the Join tab, any other file or folder becomes the
    // Split tab's source.
    void openPath(const QString& path);
    // Quits as a user would who cancels first: a running job is cancelled
    // through its Cancel button, the event loop ends, and the window, when
    // it goes, waits for the job to clean up. signo is the signal that asked
    // for it, 0 for a session's end.
    void stopAndQuit(int signo);
    // Once stopAndQuit was called: the tabs show nothing more.
    bool stopping() const { return stopRequested; }
    // The signal that stopped the window, 0 for none.
    int stopSignal() const { return stopSigno; }
    // Presses "Split" or "Join" on the current tab once nothing runs, as a
    // test's start-up switch asks.
    void pressStartWhenReady();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    QTabWidget* tabWidget;
    QWidget* splitPage;
    QWidget* mergePage;
    QWidget* referencePage;
    UI_SplitWidget* splitWidget;
    UI_MergeWidget* mergeWidget;
    QLabel* aboutLabel;
    QLabel* tableImageLabel;
    QLabel* versionLabel;
    int dragging = 0;
    int pressX = 0;
    int pressY = 0;
    bool busy = false;
    bool stopRequested = false;
    int stopSigno = 0;
    // Shown when the window is closed during a job; closed when the job ends.
    QPointer<UI_MyMessageBox> busyNote;
};
