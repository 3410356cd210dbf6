#pragma once
// The progress channel between a running job and whoever shows it: two
// process-wide byte counts, written by the job, polled by the front ends.
// Each is read and written whole, without a lock.
#include <atomic>
#include <cstdint>
#include <string>

namespace partwise {

struct ProgressCounters {
    std::atomic<int64_t> bytesDone{0};
    std::atomic<int64_t> totalBytes{0};
};

// The one pair of the process; the engine's entry points write it.
ProgressCounters& Progress();

int64_t GetBytesDone();
int64_t GetTotalBytes();
// bytesDone x 100 / totalBytes as a whole per cent, a total of 0 or less
// counting as 1: what the window shows while a job runs.
int GetPercentDone();

// The short size text: "1023 bytes", "1.50 KB", "1.00 M", "5.00 G".
std::string FormatSize(int64_t size);

}  // namespace partwise
