#include "partwise/progress.h"

#include <signal.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "cancel.h"
#include "fail.h"

namespace partwise {

ProgressCounters& Progress() {
    static ProgressCounters counters;
    return counters;
}

int64_t GetBytesDone() { return Progress().bytesDone.load(std::memory_order_relaxed); }
bool IsFlushing() { return Progress().flushing.load(std::memory_order_relaxed); }
int64_t GetTotalBytes() { return Progress().totalBytes.load(std::memory_order_relaxed); }

void RequestCancel() { Progress().cancelRequested.store(true, std::memory_order_relaxed); }
void ClearCancel() {
    Progress().cancelAtBytes.store(0, std::memory_order_relaxed);
    Progress().cancelRequested.store(false, std::memory_order_relaxed);
}
void RequestCancelAt(int64_t bytes) { Progress().cancelAtBytes.store(bytes, std::memory_order_relaxed); }
bool CancelRequested() { return Progress().cancelRequested.load(std::memory_order_relaxed); }

void RateEstimate::Sample(double seconds, int64_t bytesDone) {
    const double span = seconds - lastSeconds_;
    if (span <= 0) return;
    const double recent = static_cast<double>(bytesDone - lastBytes_) / span;
    // The first second is taken as it comes; after that each sample moves the
    // figure by a share that grows with the time it covers (about 3 s to settle).
    if (seconds_ < 1.0)
        rate_ = seconds > 0 ? static_cast<double>(bytesDone) / seconds : 0;
    else
        rate_ += (recent - rate_) * std::min(1.0, span / 3.0);
    seconds_ = seconds;
    lastSeconds_ = seconds;
    lastBytes_ = bytesDone;
}

double RateEstimate::SecondsLeft(int64_t totalBytes) const {
    if (!Meaningful()) return -1;
    return static_cast<double>(std::max<int64_t>(0, totalBytes - lastBytes_)) / rate_;
}

std::string RateEstimate::Text(int64_t totalBytes) const {
    if (!Meaningful()) return {};
    return FormatSize(static_cast<int64_t>(rate_)) + "/s, " + FormatDuration(SecondsLeft(totalBytes)) + " left";
}

std::string FormatDuration(double seconds) {
    const int64_t whole = static_cast<int64_t>(std::ceil(std::max(0.0, seconds)));
    char text[40] = {};
    if (whole >= 3600)
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", static_cast<long long>(whole / 3600),
                      static_cast<long long>(whole / 60 % 60), static_cast<long long>(whole % 60));
    else
        std::snprintf(text, sizeof text, "%lld:%02lld", static_cast<long long>(whole / 60),
                      static_cast<long long>(whole % 60));
    return text;
}

int CheckCancel() { return CancelRequested() ? Fail("cancelled") : 0; }

int CountBlock(int64_t bytes) {
    ProgressCounters& progress = Progress();
    const int64_t done = progress.bytesDone.fetch_add(bytes, std::memory_order_relaxed) + bytes;
    const int64_t cancelAt = progress.cancelAtBytes.load(std::memory_order_relaxed);
    if (cancelAt > 0 && done >= cancelAt) RequestCancel();
    return CheckCancel();
}

int GetPercentDone() {
    const int64_t total = GetTotalBytes();
    return static_cast<int>(GetBytesDone() * 100 / (total > 0 ? total : 1));
}

std::string FormatSize(int64_t size) {
    constexpr double kPerUnit = 0.0009765625;  // exactly 1/1024
    char text[60] = {};
    // G and M drop the remainder before scaling, so the figure never exceeds
    // the exact quotient.
    if (size < 0)
        std::snprintf(text, sizeof text, "%lld bytes", static_cast<long long>(size));
    else if (size >= (int64_t{1} << 30))
        std::snprintf(text, sizeof text, "%.02f G", static_cast<double>(size / 1048576) * kPerUnit);
    else if (size >= (int64_t{1} << 20))
        std::snprintf(text, sizeof text, "%.02f M", static_cast<double>(size / 1024) * kPerUnit);
    else if (size >= 1024)
        std::snprintf(text, sizeof text, "%.02f KB", static_cast<double>(size) * kPerUnit);
    else
        std::snprintf(text, sizeof text, "%lld bytes", static_cast<long long>(size));
    return text;
}

void CatchStopSignals(void (*handler)(int)) {
    for (int signo : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction old {};
        if (::sigaction(signo, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) continue;
        struct sigaction action {};
        action.sa_handler = handler;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        ::sigaction(signo, &action, nullptr);
    }
}

void DieOfSignal(int signo) {
    if (signo == 0) return;
    std::fflush(nullptr);
    std::signal(signo, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signo);
    ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
    std::raise(signo);
    std::_Exit(128 + signo);
}

std::string FormatCount(int64_t count) {
    std::string digits = std::to_string(count);
    const std::size_t first = digits[0] == '-' ? 1 : 0;
    for (std::size_t at = digits.size(); at > first + 3; at -= 3) digits.insert(at - 3, ",");
    return digits;
}

}  // namespace partwise
