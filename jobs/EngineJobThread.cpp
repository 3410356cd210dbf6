#include "EngineJobThread.h"

#include "partwise/errors.h"
#include "partwise/progress.h"

EngineJobThread::EngineJobThread() : QThread(nullptr) {
    qRegisterMetaType<HandOver>("EngineJobThread::HandOver");
    // The thread object lives on the window's thread: the hand-over runs there.
    connect(
        this, &EngineJobThread::handedOver, this, [](const HandOver& take) { take(); }, Qt::QueuedConnection);
}

void EngineJobThread::keepResult(int result) {
    m_result = result;
    m_errorText = result == 0 ? QString() : QString::fromStdString(partwise::GetLastErrorText());
    m_cancelled = result != 0 && partwise::CancelRequested();
    partwise::ClearCancel();
}
