#pragma once
// Byte counts and chunk counts as typed on the command line.
#include <cstdint>
#include <optional>
#include <string_view>

namespace partwise::cli {

// "4096", "100M", "2gb": a whole number of bytes, times 1024, 1024^2 or 1024^3
// for a suffix K, M or G (also KB, MB, GB, any case). nullopt for any other
// text, for 0 and for products above INT64_MAX. A preset's name ("fat32",
// "cd", ...; partwise/media.h) stands for its exact size.
std::optional<int64_t> ParseSizeText(std::string_view text);

// A whole number from 1 to INT64_MAX, digits only; nullopt otherwise.
std::optional<int64_t> ParseCount(std::string_view text);

}  // namespace partwise::cli
