#include "SplitDoingThread.h"

#include <cstring>

#include "partwise/errors.h"

SplitDoingThread::SplitDoingThread() { std::memset(&job, 0, sizeof job); }

void SplitDoingThread::run() {
    removal = partwise::SourceRemoval();
    removalErrorText.clear();
    const int result = partwise::RunSplit(job, &report);
    keepResult(result);
    if (result != 0 || !removeSource) return;
    if (partwise::RemoveSplitSource(job, removal) != 0)
        removalErrorText = QString::fromStdString(partwise::GetLastErrorText());
}
