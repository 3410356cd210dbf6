#include "EngineJobThread.h"

#include "partwise/errors.h"
#include "partwise/progress.h"

void EngineJobThread::keepResult(int result) {
    m_result = result;
    m_errorText = result == 0 ? QString() : QString::fromStdString(partwise::GetLastErrorText());
    m_cancelled = result != 0 && partwise::CancelRequested();
    partwise::ClearCancel();
}
