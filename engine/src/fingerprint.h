#pragma once
// Internal: the chunk fingerprint of an already open file.
#include <cstddef>
#include <cstdint>
#include <string>

namespace partwise {

// The chunk fingerprint of an open file (see ChunkFingerprint); "" when it
// cannot be read.
std::string FingerprintOpenFile(int fd);
// The same for a file whose size is known, which saves an fstat.
std::string FingerprintOpenFile(int fd, int64_t size);

// The fingerprint covers the size and this many bytes from the start.
inline constexpr std::size_t kFingerprintHead = 1016;
// The fingerprint of a file of size bytes that starts with head (of which
// bytes past kFingerprintHead are ignored), for bytes already in memory.
std::string FingerprintOfBytes(int64_t size, const void* head, std::size_t headLength);

// A file's size and first bytes, as FingerprintOfBytes takes them, and the
// 32 hex digits of its fingerprint once computed.
struct FingerprintInput {
    int64_t size = 0;
    const void* head = nullptr;
    std::size_t headLength = 0;
    char text[32] = {};
};
// FingerprintSeveral computes this many at once, side by side in vector
// registers: several times as many a second as one at a time.
inline constexpr std::size_t kFingerprintLanes = 8;
// Fills the text of the first count inputs (at most kFingerprintLanes).
void FingerprintSeveral(FingerprintInput* inputs, std::size_t count);

}  // namespace partwise
