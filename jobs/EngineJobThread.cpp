#include "EngineJobThread.h"

#include "partwise/errors.h"

void EngineJobThread::keepResult(int result) {
    m_result = result;
    m_errorText = result == 0 ? QString() : QString::fromStdString(partwise::GetLastErrorText());
}
