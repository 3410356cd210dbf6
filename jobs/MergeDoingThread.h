#pragma once
// Runs one join on its own thread. The tab fills the two paths before
// start() and reads result() and errorText() in its finished() slot.
#include <QString>
#include <QThread>

class MergeDoingThread : public QThread {
public:
    MergeDoingThread();

    char chunkFolderPath[1024];
    char outputFolderPath[1024];

    // RunJoin's result of the last run: 0 success, -1 failure.
    int result() const { return m_result; }
    // The engine's reason for the last failure; empty after a success.
    QString errorText() const { return m_errorText; }

protected:
    void run() override;

private:
    int m_result = 0;
    QString m_errorText;
};
