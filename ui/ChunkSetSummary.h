#pragma once
// The one line under the Join tab's list that sums up a listed chunk set.
#include <QString>

#include <cstdint>

// What the join will make (its name and size), whether a password guards it
// and how the chunks fared: "Makes "a.iso", 1.00 G · no password · 10 chunks,
// all good", or "... · 2 of 10 chunks damaged or missing".
QString chunkSetSummary(const QString& sourceName, int64_t totalSize, bool passwordSet, int chunkCount,
                        int badChunkCount);
