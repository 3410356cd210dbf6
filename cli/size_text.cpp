#include "size_text.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdint>
#include <limits>
#include <string>

#include "partwise/media.h"

namespace partwise::cli {
namespace {

// Digits only: from_chars alone would also take a leading '-'.
std::optional<int64_t> ParseDigits(std::string_view digits) {
    if (digits.empty() ||
        !std::all_of(digits.begin(), digits.end(), [](unsigned char c) { return std::isdigit(c) != 0; }))
        return std::nullopt;
    int64_t value = 0;
    const char* end = digits.data() + digits.size();
    auto [stop, error] = std::from_chars(digits.data(), end, value);
    if (error != std::errc() || stop != end) return std::nullopt;
    return value;
}

// The power of 1024 a suffix stands for, or -1 for an unknown suffix.
int SuffixShift(std::string_view suffix) {
    std::string lower(suffix);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (lower.empty()) return 0;
    if (lower == "k" || lower == "kb") return 10;
    if (lower == "m" || lower == "mb") return 20;
    if (lower == "g" || lower == "gb") return 30;
    return -1;
}

}  // namespace

std::optional<int64_t> ParseSizeText(std::string_view text) {
    if (const partwise::ChunkSizePreset* preset = partwise::FindChunkSizePreset(text)) return preset->bytes;
    std::size_t digitsEnd = 0;
    while (digitsEnd < text.size() && std::isdigit(static_cast<unsigned char>(text[digitsEnd]))) ++digitsEnd;
    std::optional<int64_t> value = ParseDigits(text.substr(0, digitsEnd));
    int shift = SuffixShift(text.substr(digitsEnd));
    if (!value || *value == 0 || shift < 0 || *value > (std::numeric_limits<int64_t>::max() >> shift))
        return std::nullopt;
    return *value << shift;
}

std::optional<int64_t> ParseCount(std::string_view text) {
    std::optional<int64_t> value = ParseDigits(text);
    if (!value || *value == 0) return std::nullopt;
    return value;
}

}  // namespace partwise::cli
