#pragma once
// Rebuilds the file or folder tree of a chunk set. Runs on a worker thread;
// progress goes to the ProgressCounters.
#include <string>

namespace partwise {

// Joins the chunk set in chunkFolder into outputFolder/<recorded name>.
// Returns 0 when every output file was written completely, -1 (last error set)
// otherwise. A descriptor that is unreadable, cut short, or names a path
// outside the output folder is refused before anything is written. Each file
// is written under a temporary name and renamed into place only when
// complete, so a failed join never replaces an existing file with a broken one.
// A cancel (RequestCancel) stops the join within a block and fails it with
// the reason "cancelled": files already in place stay, complete; the file
// being written is removed.
int RunJoin(const std::string& chunkFolder, const std::string& outputFolder);

}  // namespace partwise
