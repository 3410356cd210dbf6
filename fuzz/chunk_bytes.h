#pragma once
// The chunk files the fuzz target lays beside every descriptor it tries. The
// seed corpus is split from exactly these bytes, so that its seeds join
// successfully and the fuzzer starts from the deep end of the join.
#include <cstddef>
#include <string>
#include <string_view>

namespace partwise::fuzz {

inline constexpr int kChunkCount = 3;
// An input holding this marker is a descriptor, the marker, then the checksum
// file laid down beside the chunks as "<stem>.xxh128".
inline constexpr std::string_view kChecksumMarker = "\n#xxh128#\n";
// What follows this marker, at the input's end, is laid down beside the
// chunks as recovery files and their side files: entries split by
// kFileMarker, each a name, a line break and the file's bytes.
inline constexpr std::string_view kRecoveryMarker = "\n#recovery#\n";
inline constexpr std::string_view kFileMarker = "\n#file#\n";
inline constexpr std::size_t kChunkLengths[kChunkCount] = {16, 16, 5};
inline constexpr std::size_t kChunkSize = 16;
inline constexpr std::size_t kStreamLength = 37;  // the chunks laid end to end

// length bytes of the stream from position from; no two of its bytes are
// equal, so a misplaced range never goes unnoticed.
inline std::string StreamBytes(std::size_t from, std::size_t length) {
    std::string bytes;
    for (std::size_t k = from; k < from + length; ++k) bytes += static_cast<char>('!' + k % kStreamLength);
    return bytes;
}

inline std::string ChunkBytes(int index) {
    std::size_t from = 0;
    for (int i = 0; i < index; ++i) from += kChunkLengths[i];
    return StreamBytes(from, kChunkLengths[index]);
}

}  // namespace partwise::fuzz
