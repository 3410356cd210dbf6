#pragma once
// Internal: the chunk fingerprint of an already open file.
#include <string>

namespace partwise {

// The chunk fingerprint of an open file (see ChunkFingerprint); "" when it
// cannot be read.
std::string FingerprintOpenFile(int fd);

}  // namespace partwise
