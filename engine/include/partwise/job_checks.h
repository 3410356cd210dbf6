#pragma once
// What a front end checks before it starts a job: the texts and numbers the
// user gave, before any file is looked at. Both front ends show the reason as
// it comes. No shared state.
#include <cstdint>
#include <string>

namespace partwise {

// Why a split of source into outputFolder with this password and chunk size
// cannot start, in one line, or "" when it can. Paths are the bytes the
// engine will get.
std::string SplitOptionsProblem(const std::string& source, const std::string& outputFolder, const std::string& password,
                                int64_t chunkSize);

// Why name cannot be the name a chunk set records for its source, or "":
// a single path component, not "." or "..", of at most kMaxNameBytes.
std::string SourceNameProblem(const std::string& name);

// Why a join of chunkFolder into outputFolder with this password cannot
// start, in one line, or "" when it can.
std::string JoinOptionsProblem(const std::string& chunkFolder, const std::string& outputFolder,
                               const std::string& password);

}  // namespace partwise
