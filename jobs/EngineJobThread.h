#pragma once
// A worker thread that runs one engine call and keeps what the tab needs in
// its finished() slot: the result and, after a failure, the engine's reason.
// The tab reads them only after finished(), so no lock is needed. Anything
// else a worker found goes to the tab through handedOver(), queued.
#include <QString>
#include <QThread>

#include <functional>

class EngineJobThread : public QThread {
    Q_OBJECT
public:
    // Runs on the thread that made the worker (the window's), with what the
    // worker captured in it: the worker never writes what the tab owns.
    using HandOver = std::function<void()>;

    // The last run's result: 0 success, -1 failure.
    int result() const { return m_result; }
    // The engine's reason for the last failure; empty after a success.
    QString errorText() const { return m_errorText; }
    // Whether the last run failed because it was cancelled.
    bool cancelled() const { return m_cancelled; }

signals:
    void handedOver(EngineJobThread::HandOver take);

protected:
    EngineJobThread();
    // Called at the end of run() with the engine's result; takes back a
    // cancel request, which belonged to this run.
    void keepResult(int result);
    // From run(): take runs on the window's thread, after what was handed
    // over before it and before finished().
    void handOver(HandOver take) { emit handedOver(std::move(take)); }

private:
    int m_result = 0;
    QString m_errorText;
    bool m_cancelled = false;
};
