#pragma once
// Internal: checks and small edits of path texts.
#include <string>

namespace partwise {

// Why path does not fit kMaxPathBytes, or "" when it does.
std::string PathLengthProblem(const std::string& path);
// 0 when path fits kMaxPathBytes; otherwise -1 with the last error set.
int CheckPathLength(const std::string& path);

// The folder part of a relative path ("" at the top) and its last name.
std::string ParentOf(const std::string& relative);
std::string NameOf(const std::string& relative);

// path without the slashes at its end ("/" stays "/").
std::string WithoutTrailingSlashes(std::string path);

// A path below a folder as a chunk set records it: plain names joined by
// single slashes, no "..", and no empty or "." parts, which would let one
// file be listed under two spellings.
bool IsSafeRelativePath(const std::string& path);

}  // namespace partwise
