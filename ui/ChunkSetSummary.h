#pragma once
// The one line under the Join tab's list that sums up a listed chunk set.
#include <QString>

#include <cstdint>

// How far the chunks of a listed set have been checked, and what was found.
struct ChunkHealth {
    enum class Stage {
        kFirstKiB,     // listed; every byte not checked (yet, or the check was stopped)
        kChecking,     // every byte being checked, percent of it done
        kChecked,      // every byte checked where a checksum allows
        kNoChecksums,  // checked, but the set has no checksum file
    };
    int64_t chunks = 0;
    int64_t damaged = 0;
    int64_t missing = 0;
    int64_t whole = 0;     // every byte matched its checksum
    int64_t headOnly = 0;  // no checksum: only the size and first KiB checked
    Stage stage = Stage::kFirstKiB;
    int percent = 0;
    // -1: the set has no recovery files; else whether they rebuild the bad chunks.
    int repairable = -1;
};

// "10 chunks, every byte checked, all good", "checking every byte: 37%",
// "1 of 10 chunks damaged", ...: a bad chunk is told as soon as it is found,
// and "all good" only once every byte of every chunk matched.
QString chunkHealthText(const ChunkHealth& health);

// What the join will make (its name and size), whether a password guards it
// and how the chunks fared: "Makes "a.iso", 1.00 G · no password · " and the
// health text.
QString chunkSetSummary(const QString& sourceName, int64_t totalSize, bool passwordSet, const QString& health);
