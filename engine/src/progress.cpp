#include "partwise/progress.h"

#include <cstdio>

namespace partwise {

ProgressCounters& Progress() {
    static ProgressCounters counters;
    return counters;
}

int64_t GetBytesDone() { return Progress().bytesDone.load(std::memory_order_relaxed); }
int64_t GetTotalBytes() { return Progress().totalBytes.load(std::memory_order_relaxed); }

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

}  // namespace partwise
