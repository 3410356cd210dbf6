#include "SplitDoingThread.h"

#include <cstring>

#include "partwise/errors.h"

SplitDoingThread::SplitDoingThread() {
    std::memset(&job, 0, sizeof job);
}

void SplitDoingThread::run() {
    partwise::ClearLastError();
    keepResult(partwise::RunSplit(job));
}
