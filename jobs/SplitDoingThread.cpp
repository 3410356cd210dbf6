#include "SplitDoingThread.h"

#include <cstring>

#include "partwise/errors.h"

SplitDoingThread::SplitDoingThread() : QThread(nullptr) {
    std::memset(&job, 0, sizeof job);
}

void SplitDoingThread::run() {
    partwise::ClearLastError();
    m_result = partwise::RunSplit(job);
    m_errorText = m_result == 0 ? QString() : QString::fromStdString(partwise::GetLastErrorText());
}
