#pragma once
// The words that say what a check found of a chunk, and why: the one table
// that `partwise-cli list`, `list --full` and the window print.
#include <cstdint>

namespace partwise {

// A full check's verdict: every byte hashed against the checksum file.
enum class ChunkVerdict {
    kOk,         // read whole, matches its checksum
    kDamaged,    // its checksum differs (or, without one, its fingerprint), or it cannot be a chunk at all
    kMissing,    // no such file
    kUnchecked,  // the set has no checksum file: only its fingerprint matched
};

// "ok", "damaged", "missing" or "unchecked".
const char* VerdictWord(ChunkVerdict verdict);

// The quick check's word for a verdict of 0 (its size and first KiB match
// its fingerprint) or -1 (anything else): "ok" or "bad".
const char* QuickVerdictWord(int verdict);

// Why a chunk got its verdict, when that is not plain "ok".
enum class ChunkReason : unsigned char {
    kNone,
    kMissing,
    kUnreadable,
    kNotARegularFile,
    kFingerprintDiffers,
    kChecksumDiffers,
    // The checksum file is there but holds no usable line for the chunk.
    kNoChecksumLine,
    kUnreadableChecksumLine,
    kConflictingChecksumLines,
};

// The reason in a few words: "not a regular file", "no checksum line", ...
// "" for kNone.
const char* ReasonText(ChunkReason reason);

// True for the reasons that lie in the checksum file, not in the chunk.
bool IsChecksumFileFault(ChunkReason reason);

}  // namespace partwise
