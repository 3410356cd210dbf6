#pragma once
// Runs one split on its own thread. The tab fills `job` before start() and
// reads result() and errorText() in its finished() slot; neither side touches
// the fields while the thread runs.
#include <QString>
#include <QThread>

#include "partwise/splitter.h"

class SplitDoingThread : public QThread {
public:
    SplitDoingThread();

    partwise::SplitJob job;

    // RunSplit's result of the last run: 0 success, -1 failure.
    int result() const { return m_result; }
    // The engine's reason for the last failure; empty after a success.
    QString errorText() const { return m_errorText; }

protected:
    void run() override;

private:
    int m_result = 0;
    QString m_errorText;
};
