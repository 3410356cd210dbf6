#include "MergeDoingThread.h"

#include <cstring>

#include "partwise/joiner.h"

MergeDoingThread::MergeDoingThread() {
    std::memset(chunkFolderPath, 0, sizeof chunkFolderPath);
    std::memset(outputFolderPath, 0, sizeof outputFolderPath);
}

void MergeDoingThread::run() {
    check = partwise::ChunkSetCheck();
    partwise::JoinOptions options;
    options.ignoreChecksums = ignoreChecksums;
    options.replaceExisting = replaceExisting;
    keepResult(partwise::RunJoin(chunkFolderPath, outputFolderPath, options, &check));
}
