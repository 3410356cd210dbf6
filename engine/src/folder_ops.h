#pragma once
// Internal: what the split and the join do below a folder they opened once.
// Every name handed to these is a single component, looked up in the open
// folder, so that a link swapped in along the way leads nowhere else.
#include <functional>
#include <string>
#include <string_view>

#include "posix_file.h"

namespace partwise {

// The folder name in parent, never through a link. Invalid with errno set.
UniqueFd OpenFolderAt(int parentFd, const std::string& name);

// Opens rootFd's folder relative ("" for the root itself) one name at a
// time, never through a link; when create, makes the folders that are
// missing and tells made the relative path of each. Returns 0, or -1 with the
// last error naming the part below rootPath that is not a folder.
int OpenBelow(int rootFd, const std::string& rootPath, const std::string& relative, bool create,
              const std::function<void(const std::string&)>& made, UniqueFd& folder);

// Calls visit with every name in the open folder but "." and "..". Returns 0,
// or -1 (last error set, naming shownPath) when it cannot be listed.
int ListFolderNamesAt(int folderFd, const std::string& shownPath, const std::function<void(std::string_view)>& visit);

// Takes a lock on the open folder without waiting. A file system without
// locks lets the job go on unlocked. Returns 0, or -1 with the last error
// "'<shownPath>' is being written by another <writer>" (or "is being read",
// when only readers hold it).
int LockFolder(int folderFd, bool exclusive, const std::string& shownPath, const std::string& writer);

// A new temporary file ".partwise-<pid>-<n>.tmp" in the open folder, locked
// while fd stays open. Returns 0, or -1 with the last error naming shownFolder.
int CreateTemporaryAt(int folderFd, const std::string& shownFolder, UniqueFd& fd, std::string& name);
// The same for a folder, open in fd.
int CreateTemporaryFolderAt(int folderFd, const std::string& shownFolder, UniqueFd& fd, std::string& name);
// A fresh name of the same pattern, for a file set aside.
std::string NextTemporaryName();
// Closes a file just renamed to name in the open folder, which lets its lock
// go: a failed close is a failed write, and the file is removed again.
// Returns 0, or -1 with the last error naming path.
int CloseAfterPlacing(UniqueFd& fd, int folderFd, const std::string& name, const std::string& path);
// Whether name follows the pattern of temporary names.
bool IsTemporaryName(std::string_view name);

// Removes the temporary files and folders in the open folder that no one
// holds locked: a dead job's. Leaves the last error alone.
void SweepTemporaries(int folderFd);
// Whether the open folder holds a temporary name no one holds locked.
bool HoldsDeadTemporary(int folderFd);

// Removes name from the open folder, with all it holds when a folder; never
// follows a link. 0, or -1 with errno set.
int RemoveTreeAt(int folderFd, const std::string& name);

// Renames from into to without ever replacing what stands at to: where the
// file system cannot rename that way, links and unlinks instead, and where it
// has no hard links either, looks just before renaming. 0, or -1 with errno
// set (EEXIST when to exists).
int PlaceWithoutReplacing(int fromFd, const std::string& from, int toFd, const std::string& to);

// A write past the file-size limit fails with EFBIG, so that the job cleans
// up, rather than killing the process. Process-wide, once.
void IgnoreFileSizeSignal();

// A seam for tests: called with the name of each step below at which a
// folder could be swapped for a link.
void SetStepHook(std::function<void(std::string_view step)> hook);
void AtStep(std::string_view step);

}  // namespace partwise
