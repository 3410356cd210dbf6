#pragma once
// The progress channel between a running job and whoever shows it: two
// process-wide byte counts, written by the job, polled by the front ends,
// and the flag by which a front end asks the job to stop. Each is read and
// written whole, without a lock.
#include <atomic>
#include <cstdint>
#include <string>

namespace partwise {

struct ProgressCounters {
    std::atomic<int64_t> bytesDone{0};
    std::atomic<int64_t> totalBytes{0};
    // Seen by the job between blocks and between files; it then stops and
    // cleans up as after a failure. Lock-free, so a signal handler may set it.
    std::atomic<bool> cancelRequested{false};
    // When above 0, the job raises cancelRequested itself once bytesDone reaches it.
    std::atomic<int64_t> cancelAtBytes{0};
    // The job has copied its bytes and waits for the disk to take them: on a
    // slow stick that can last a minute, with the bar standing at 100%.
    std::atomic<bool> flushing{false};
};
static_assert(std::atomic<bool>::is_always_lock_free);

// The one pair of the process; the engine's entry points write it.
ProgressCounters& Progress();

int64_t GetBytesDone();
// Whether the running job is writing what it copied to the disk.
bool IsFlushing();
// What the front ends show meanwhile.
inline constexpr const char* kFlushingText = "Writing to disk…";
int64_t GetTotalBytes();
// bytesDone x 100 / totalBytes as a whole per cent, a total of 0 or less
// counting as 1: what the window shows while a job runs.
int GetPercentDone();

// Asks the running job to stop. Safe in a signal handler.
void RequestCancel();
// A front end clears the request before it starts a job, so that a request
// made before the job reached its first check is not lost.
void ClearCancel();
bool CancelRequested();
// Points SIGINT, SIGTERM and SIGHUP at handler: Ctrl-C, kill, a closed
// terminal or a logout then cancel the job. A signal ignored at start (nohup,
// a background job) stays ignored.
void CatchStopSignals(void (*handler)(int));
// After the clean-up: dies of signo as if it had never been caught, so that
// the caller sees 128 + signo and a calling script stops too. Returns only
// for 0.
void DieOfSignal(int signo);
// Asks the next job to cancel itself once it has copied bytes (> 0): a cancel
// that lands mid-job however fast the machine is, for tests. ClearCancel
// withdraws it.
void RequestCancelAt(int64_t bytes);

// Speed and time left from samples of the counters, smoothed so that the
// figures do not jump from one sample to the next.
class RateEstimate {
public:
    // A sample at seconds since the job started.
    void Sample(double seconds, int64_t bytesDone);
    // Whether a second or so has passed: the figures mean something only then.
    bool Meaningful() const { return seconds_ >= 1.0 && rate_ > 0; }
    double BytesPerSecond() const { return rate_; }
    // Seconds left for the bytes still to copy; -1 when not meaningful.
    double SecondsLeft(int64_t totalBytes) const;
    // "12.5 M/s, 1:05 left" in the units of FormatSize; "" until meaningful.
    std::string Text(int64_t totalBytes) const;

private:
    double seconds_ = 0;
    double lastSeconds_ = 0;
    int64_t lastBytes_ = 0;
    double rate_ = 0;
};

// "0:42", "12:05", "3:02:10".
std::string FormatDuration(double seconds);

// A count with its thousands grouped: "3,145,728".
std::string FormatCount(int64_t count);

// The short size text: "1023 bytes", "1.50 KB", "1.00 M", "5.00 G".
std::string FormatSize(int64_t size);

}  // namespace partwise
