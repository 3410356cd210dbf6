#pragma once
// Deleting a split's source once its chunk set is written, from the set's own
// records: only what the set holds goes. Runs on a worker thread.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "partwise/splitter.h"

namespace partwise {

// How many of the entries left behind SourceRemoval names.
inline constexpr std::size_t kKeptSampleSize = 5;

struct SourceRemoval {
    // The chunk set passed its check; nothing was deleted otherwise.
    bool setIsSound = false;
    int64_t filesRemoved = 0;
    // Files the set holds that are still there; the last error names the first.
    int64_t filesNotRemoved = 0;
    // What is left below a folder source that the set does not hold: each
    // entry that is not a folder, and each folder that holds nothing. keptCount
    // counts them; keptSample names the first of them in byte order, as paths
    // below the source.
    int64_t keptCount = 0;
    std::vector<std::string> keptSample;
};

// Deletes the source of job once the chunk set the split of job made checks
// out: its descriptor names the job's source and total size, is whole, and
// every chunk matches its fingerprint. A file source is removed. Of a folder
// source, the files the set's records name are removed, then the folders
// this emptied, deepest first, and the empty folders the set's metadata file
// records; other folders stay.
// The records are read in blocks, so a source of any number of files is
// deleted in the same memory. Returns 0 when the set checked out and every
// file it holds is gone, -1 (last error set) otherwise; removal says how far
// it got either way.
int RemoveSplitSource(const SplitJob& job, SourceRemoval& removal);

// Deletes a joined set's files by name from its chunk folder, opened once and
// locked: the chunk files of stem with the given indexes, then the files
// named in otherNames (single names: the checksum file, the metadata file,
// the join script). A file already gone counts as deleted. Returns how many
// could not be deleted (the last error names the first), or -1 (last error
// set) when the folder cannot be opened or is in use.
int64_t RemoveChunkSetFiles(const std::string& chunkFolder, const std::string& stem,
                            const std::vector<int32_t>& chunkIndexes, const std::vector<std::string>& otherNames);

}  // namespace partwise
