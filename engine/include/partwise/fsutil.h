#pragma once
// Paths, folder walks and folder creation. Paths are byte strings with "/" as
// separator. No shared state; safe on any thread.
#include <cstdint>
#include <string>
#include <vector>

namespace partwise {

// -1 nothing at path, 0 a file (anything that is not a folder), 1 a folder.
// Symbolic links are followed.
int GetPathType(const std::string& path);

// The file's size, or -1 when it cannot be queried; sets the last error.
int64_t GetFileSize64(const std::string& path);

// Sum of the sizes of the files the folder walk yields; -1 when the folder
// itself cannot be listed (sets the last error).
int64_t GetFolderSize(const std::string& folder);

// What a folder walk passes over: it takes regular files, links to regular
// files and folders, nothing else.
enum class PassedOverKind { LinkToFolder, DanglingLink, Fifo, Socket, Device };

// GetPathType 0: GetFileSize64; 1: GetFolderSize; -1: -1.
int64_t GetPathSize(const std::string& path);

// Appends the path of every file below folder, depth first, entries of a
// folder in byte order of their names; descends only when recurse is 1.
// Files are regular files and symbolic links to regular files; folders reached
// through a symbolic link, FIFOs, sockets and devices are skipped. Returns 0,
// or -1 (last error set) when the folder or a sub-folder could not be listed;
// what could be listed is appended either way.
int ListFolderFiles(const std::string& folder, std::vector<std::string>& list, int recurse);

// The entry at the 0-based index, or "" past the end.
std::string GetListEntry(const std::vector<std::string>& list, int index);

// What follows the last "/" or "\" of path; the first character never counts
// as a separator, so a path without one after it gives "".
std::string GetLastPathComponent(const std::string& path);

// Cuts name at its first ".": "report.final.doc" becomes "report".
void StripExtension(std::string& name);

// Creates every folder on the way to the file at path. Returns 0 when all of
// them exist afterwards, -1 (last error set) otherwise.
int CreateParentFolders(const std::string& path);

// Creates one folder. Returns 0 when it exists as a folder afterwards, -1
// (last error set) otherwise.
int CreateFolder(const std::string& path);

void SleepMs(int milliseconds);

}  // namespace partwise
