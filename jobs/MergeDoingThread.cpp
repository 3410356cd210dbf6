#include "MergeDoingThread.h"

#include <cstring>

#include "partwise/errors.h"
#include "partwise/joiner.h"

MergeDoingThread::MergeDoingThread() {
    std::memset(chunkFolderPath, 0, sizeof chunkFolderPath);
    std::memset(outputFolderPath, 0, sizeof outputFolderPath);
}

void MergeDoingThread::run() {
    partwise::ClearLastError();
    keepResult(partwise::RunJoin(chunkFolderPath, outputFolderPath));
}
