#pragma once
// Rebuilds the file or folder tree of a chunk set. Runs on a worker thread;
// progress goes to the ProgressCounters.
#include <cstdint>
#include <string>
#include <vector>

#include "partwise/checksums.h"

namespace partwise {

struct JoinOptions {
    // Give files and folders the modes and times the set's metadata file
    // records, and create the folders that hold no file.
    bool restoreMetadata = true;
    // Pass the set's checksum file over, as if the set had none: every chunk
    // is checked by its size and first KiB alone. Only for a set whose file
    // is damaged, at the user's explicit word.
    bool ignoreChecksums = false;
    // Replace an existing output: the file, or in a folder the files the set
    // holds (the others stay). Without it the join fails when the output
    // exists, also when it appears while the join runs.
    bool replaceExisting = false;
    // The output is on the disk before RunJoin returns; off, it is left to
    // the page cache, for scratch work on fast disks.
    bool flush = true;
    // Chunks already found lost (by a full check), rebuilt from the set's
    // recovery files before the join reads anything; without such files
    // the join fails before it writes.
    std::vector<int32_t> lostChunks;
};

// chunkFolder + "/" + stem + ".meta", stem taken from the recorded name.
std::string MetadataFilePath(const std::string& chunkFolder, const std::string& sourceName);

// Joins the chunk set in chunkFolder into outputFolder/<recorded name>.
// Returns 0 when every output file was written completely, -1 (last error set)
// otherwise. A descriptor that is unreadable, cut short, or names a path
// outside the output folder is refused before anything is written. The
// output folder is opened once; everything below it is reached one name at a
// time, never through a link. Every file is written under a temporary name
// and renamed into place only once every chunk matched: a join that fails,
// or is cancelled (RequestCancel; the reason is then "cancelled"), leaves an
// existing output as it was and a new one absent. The chunk folder is read
// under a shared lock and a folder being built under an exclusive one: a
// split writing the set, or another join building the same folder, fails the
// join at once, saying so.
// With the set's metadata file (and restoreMetadata), every file gets its
// recorded permission bits (never setuid, setgid or sticky) and modification
// time before it is put in place, every recorded folder is made, and the
// folders get theirs at the end. The metadata file is checked with the
// descriptor, before anything is written: entries must name the descriptor's
// files in its order, and folders by safe paths. Without one, nothing but the
// bytes is restored.
// A file larger than the output's file system holds (FAT: 4 GiB - 1 byte)
// is refused before anything is written.
// Every chunk with a line in the set's checksum file is hashed as it is read:
// a chunk that differs fails the join, naming it, and nothing is placed. A checksum file without exactly one usable
// line per chunk (or lines that agree) is damaged: the join refuses it before writing. When check is given it receives
// what was checked, also after a failure.
int RunJoin(const std::string& chunkFolder, const std::string& outputFolder, const JoinOptions& options = {},
            ChunkSetCheck* check = nullptr);

// Writes the file of the single-file chunk set in chunkFolder to outFd (a
// pipe, say; outName names it in errors), as RunJoin joins it: every chunk is
// checked by its size and fingerprint before the first byte goes out, and
// each chunk with a checksum line is read and hashed before any of its bytes
// are written, so no damaged byte reaches outFd; the chunks before a damaged
// one were written. A folder set is refused before anything is written. No
// metadata is restored. outFd is flushed to its disk at the end (with
// options.flush) when it is a regular file. Returns 0, or -1 (last error
// set); writeError, when given, receives the errno of a failed write to
// outFd (EPIPE: the reader went away), else 0.
int RunJoinToStream(const std::string& chunkFolder, int outFd, const std::string& outName,
                    const JoinOptions& options = {}, ChunkSetCheck* check = nullptr, int* writeError = nullptr);

}  // namespace partwise
