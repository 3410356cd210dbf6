#include "partwise/verdicts.h"

namespace partwise {

const char* VerdictWord(ChunkVerdict verdict) {
    switch (verdict) {
        case ChunkVerdict::kOk:
            return "ok";
        case ChunkVerdict::kDamaged:
            return "damaged";
        case ChunkVerdict::kMissing:
            return "missing";
        case ChunkVerdict::kUnchecked:
            return "unchecked";
    }
    return "?";
}

const char* QuickVerdictWord(int verdict) { return verdict == 0 ? "ok" : "bad"; }

const char* ReasonText(ChunkReason reason) {
    switch (reason) {
        case ChunkReason::kNone:
            return "";
        case ChunkReason::kMissing:
            return "no such file";
        case ChunkReason::kUnreadable:
            return "cannot be read";
        case ChunkReason::kNotARegularFile:
            return "not a regular file";
        case ChunkReason::kFingerprintDiffers:
            return "its size or first KiB differs from its fingerprint";
        case ChunkReason::kChecksumDiffers:
            return "its bytes differ from its checksum";
        case ChunkReason::kNoChecksumLine:
            return "no checksum line";
        case ChunkReason::kUnreadableChecksumLine:
            return "an unreadable checksum line";
        case ChunkReason::kConflictingChecksumLines:
            return "two checksum lines that disagree";
    }
    return "?";
}

bool IsChecksumFileFault(ChunkReason reason) {
    return reason == ChunkReason::kNoChecksumLine || reason == ChunkReason::kUnreadableChecksumLine ||
           reason == ChunkReason::kConflictingChecksumLines;
}

}  // namespace partwise
