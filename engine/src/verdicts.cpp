#include "partwise/verdicts.h"

#include <cstddef>
#include <iterator>

namespace partwise {
namespace {

// In the order of the enumerations.
constexpr const char* kVerdictWords[] = {"ok", "damaged", "missing", "unchecked"};
constexpr const char* kReasonTexts[] = {
    "",
    "no such file",
    "cannot be read",
    "not a regular file",
    "its fingerprint differs (size or first KiB)",
    "its bytes differ from its checksum",
    "no checksum line",
    "an unreadable checksum line",
    "two checksum lines that disagree",
};
static_assert(std::size(kVerdictWords) == static_cast<std::size_t>(ChunkVerdict::kUnchecked) + 1);
static_assert(std::size(kReasonTexts) == static_cast<std::size_t>(ChunkReason::kConflictingChecksumLines) + 1);

template <std::size_t N, typename Enum>
const char* Lookup(const char* const (&table)[N], Enum value) {
    const auto index = static_cast<std::size_t>(value);
    return index < N ? table[index] : "?";
}

}  // namespace

const char* VerdictWord(ChunkVerdict verdict) { return Lookup(kVerdictWords, verdict); }

const char* QuickVerdictWord(int verdict) { return verdict == 0 ? "ok" : "bad"; }

const char* ReasonText(ChunkReason reason) { return Lookup(kReasonTexts, reason); }

bool IsChecksumFileFault(ChunkReason reason) {
    return reason == ChunkReason::kNoChecksumLine || reason == ChunkReason::kUnreadableChecksumLine ||
           reason == ChunkReason::kConflictingChecksumLines;
}

}  // namespace partwise
