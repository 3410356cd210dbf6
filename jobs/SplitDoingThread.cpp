#include "SplitDoingThread.h"

#include <cstring>

SplitDoingThread::SplitDoingThread() { std::memset(&job, 0, sizeof job); }

void SplitDoingThread::run() { keepResult(partwise::RunSplit(job, &report)); }
