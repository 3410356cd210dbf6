#pragma once
// Splits a file or a folder tree into a chunk set: a chunk folder
// "<output>/<stem>_spt" holding "<stem>_<i>.spt" for i = 0, 1, ... and the
// descriptor. Runs on a worker thread; progress goes to the ProgressCounters.
#include <cstdint>
#include <string>
#include <vector>

#include "partwise/fsutil.h"
#include "partwise/limits.h"

namespace partwise {

// Filled by a front end, zero-filled first. Texts are NUL-terminated.
struct SplitJob {
    char sourcePath[kMaxPathBytes + 1];
    char outputFolder[kMaxPathBytes + 1];
    int64_t totalSize;                     // as measured by GetPathSize
    int64_t chunkSize;                     // bytes per chunk, > 0
    char password[kMaxPasswordBytes + 1];  // "" for no password
    // 1: replace a chunk set that FindOtherChunkSet finds in the chunk
    // folder; 0: refuse the split instead.
    int32_t replaceOtherSet;
    // 1: write "join-<stem>.sh" beside the chunks of a single-file set
    // without a password, for recipients without Partwise.
    int32_t joinScript;
    // 0: the set is on the disk before RunSplit returns; 1: left to the
    // page cache, for scratch work on fast disks.
    int32_t skipFlush;
    // Recovery files a group of chunks gets (see partwise/recovery.h): a
    // count, or a percentage of a group's chunks; both 0 for none.
    int32_t recoveryCount;
    int32_t recoveryPercent;
};

// What a folder split passed over rather than split, in walk order.
struct PassedOverEntry {
    PassedOverKind kind;
    std::string path;
};
struct SplitReport {
    std::vector<PassedOverEntry> passedOver;
    // Why no join script was written although the job asked for one: a
    // password set or a folder set; "" otherwise.
    std::string joinScriptNote;
    // A split of a stream stopped at the largest chunk count it was given.
    bool chunkLimitReached = false;
};

// "link to a folder", "dangling link", "FIFO", "socket", "device".
const char* PassedOverKindName(PassedOverKind kind);
// The counts by kind, e.g. "passed over 2 links to folders and 1 FIFO"; ""
// when nothing was passed over.
std::string DescribePassedOver(const std::vector<PassedOverEntry>& entries);

// Splits job.sourcePath. Returns 0 when the whole chunk set and its descriptor
// were written, -1 (last error set) otherwise: the source is missing, not a
// regular file or folder, of no measurable size or a folder that holds no
// file; the job is refused before anything is written (chunk size, count,
// name or path lengths, output inside the source folder, a chunk folder that
// is a symbolic link or holds another chunk set without replaceOtherSet); a
// read or write failed, or the bytes copied differ from job.totalSize.
// The new set owns its chunk folder: the chunk files of the stem that were
// there are removed, and every chunk file is created afresh, never written
// through a link; other files are left alone. A split that fails once it has begun writing
// removes every chunk file it created or replaced, and the chunk folder when
// it made it and left it empty; the last error then ends with what it could
// not remove, or with "nothing was left behind".
// A cancel (RequestCancel) stops the split within a block and fails it like
// any other failure; the reason then begins with "cancelled".
// The largest file the split writes (the chunk size, or the source when it
// is smaller) must fit the file system of the chunk folder (FAT: 4 GiB - 1
// byte); otherwise the split is refused with a chunk size that fits.
// Beside the chunks goes "<stem>.meta": the permission bits and modification
// times of the file, or of every file and folder of the tree, empty folders
// included. report, when given, receives what a folder split passed over.
int RunSplit(const SplitJob& job, SplitReport* report = nullptr);

// Splits the bytes read from sourceFd (a pipe, say) up to its end, as
// RunSplit splits a file: job.sourcePath ends with the name the set records
// (SourceNameProblem) and is not opened; job.totalSize is not used. Chunks are written as the
// bytes arrive; the descriptor, which counts them, goes last. The metadata
// file records the file with mode 0644 and the time of the split. A set of
// the same name in the chunk folder is the same source, whatever its size.
// A stream that needs more than maxChunks chunks (at most kMaxChunkCount)
// fails when the next would begin, with report->chunkLimitReached set. The
// progress total stays 0. Returns 0, or -1 (last error set) as RunSplit,
// after the same clean-up; a read error of the stream fails it too.
int RunSplitFromStream(const SplitJob& job, int sourceFd, int64_t maxChunks, SplitReport* report = nullptr);

// What a split of job would replace in its chunk folder. Returns 1 when the
// folder holds another chunk set: a readable descriptor that names another
// source name or total size, with at least one of its chunk files still
// there, or chunk files of the stem beside no readable descriptor of that
// stem. heldSource is then the source the descriptor names ("" for the
// latter) and the last error says what the folder holds. Returns 0 when the
// split may go ahead without asking: no chunk folder, no chunk files, a set
// of the same source, or a descriptor whose chunks are all gone. Returns -1
// (last error set) when the folder is a symbolic link or cannot be listed.
// A job.totalSize below 0, a stream's, makes any set of the same name the
// same source.
int FindOtherChunkSet(const SplitJob& job, std::string& heldSource);

}  // namespace partwise
