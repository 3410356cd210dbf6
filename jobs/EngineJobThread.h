#pragma once
// A worker thread that runs one engine call and keeps what the tab needs in
// its finished() slot: the result and, after a failure, the engine's reason.
// The tab reads them only after finished(), so no lock is needed.
#include <QString>
#include <QThread>

class EngineJobThread : public QThread {
public:
    // The last run's result: 0 success, -1 failure.
    int result() const { return m_result; }
    // The engine's reason for the last failure; empty after a success.
    QString errorText() const { return m_errorText; }
    // Whether the last run failed because it was cancelled.
    bool cancelled() const { return m_cancelled; }

protected:
    EngineJobThread() : QThread(nullptr) {}
    // Called at the end of run() with the engine's result; takes back a
    // cancel request, which belonged to this run.
    void keepResult(int result);

private:
    int m_result = 0;
    QString m_errorText;
    bool m_cancelled = false;
};
