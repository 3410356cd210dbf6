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

}  // namespace partwise
