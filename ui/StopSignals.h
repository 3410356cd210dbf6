#pragma once
// SIGTERM, SIGINT and SIGHUP (a logout, a shutdown, Ctrl-C in the terminal
// that started the window) reach the window's thread as caught(): the
// handler only writes the signal's number to a pipe, which a socket notifier
// reads. No Qt call runs in the handler, and no signal mask is set that the
// programs the window starts would inherit.
#include <QObject>

class QSocketNotifier;

class StopSignals : public QObject {
    Q_OBJECT
public:
    // Installs the handlers; a signal ignored at start (nohup) stays ignored.
    explicit StopSignals(QObject* parent = nullptr);
    ~StopSignals() override;

signals:
    void caught(int signo);

private:
    QSocketNotifier* notifier = nullptr;
};
