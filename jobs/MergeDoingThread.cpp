#include "MergeDoingThread.h"

#include <cstring>

#include "partwise/errors.h"
#include "partwise/joiner.h"

MergeDoingThread::MergeDoingThread() : QThread(nullptr) {
    std::memset(chunkFolderPath, 0, sizeof chunkFolderPath);
    std::memset(outputFolderPath, 0, sizeof outputFolderPath);
}

void MergeDoingThread::run() {
    partwise::ClearLastError();
    m_result = partwise::RunJoin(chunkFolderPath, outputFolderPath);
    m_errorText = m_result == 0 ? QString() : QString::fromStdString(partwise::GetLastErrorText());
}
