#include "FullCheckThread.h"

#include <chrono>
#include <memory>

#include "partwise/errors.h"
#include "partwise/progress.h"

void FullCheckThread::startCheck(std::string chunkFolder, TakeBatch takeBatch, TakeEnd takeEnd) {
    stop();
    folder = std::move(chunkFolder);
    onBatch = std::move(takeBatch);
    onEnd = std::move(takeEnd);
    partwise::ClearCancel();
    start(QThread::LowPriority);
}

void FullCheckThread::stop() {
    if (!isRunning()) return;
    partwise::RequestCancel();
    wait();
    partwise::ClearCancel();
}

void FullCheckThread::run() {
    using Clock = std::chrono::steady_clock;
    constexpr auto kEvery = std::chrono::milliseconds(100);
    auto batch = std::make_shared<Batch>();
    int32_t records = 0;
    Clock::time_point sent = Clock::now();
    const auto send = [&] {
        if (batch->verdicts.empty()) return;
        handOver([take = onBatch, batch] { take(*batch); });
        batch = std::make_shared<Batch>();
        batch->firstRecord = records;
        sent = Clock::now();
    };
    partwise::ChunkSetCheck check;
    const int result = partwise::CheckChunkSetFully(folder, check, [&](const partwise::FullCheckEntry& entry) {
        batch->chunkIndexes.push_back(entry.chunkIndex);
        batch->verdicts.push_back(entry.verdict);
        batch->reasons.push_back(entry.reason);
        ++records;
        if (Clock::now() - sent >= kEvery) send();
    });
    send();
    // A stopped check reports nothing more: its tab has moved on.
    if (partwise::CancelRequested()) return;
    const QString reason = result == 0 ? QString() : QString::fromStdString(partwise::GetLastErrorText());
    handOver([take = onEnd, result, check, reason] { take(result, check, reason); });
}
