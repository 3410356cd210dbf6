#pragma once
// The sizes a chunk set and a split job can hold. Front ends check what the
// user gives against these before they hand it to the engine.
#include <cstddef>
#include <cstdint>

namespace partwise {

// A name kept in the descriptor: the source's name, a file's path below the
// source folder. Its field holds a NUL after these bytes.
inline constexpr std::size_t kMaxNameBytes = 255;
// Every path the engine takes or composes, as the 1024-byte fields of a
// split job and of the join thread hold it with its NUL.
inline constexpr std::size_t kMaxPathBytes = 1023;
// A password, as the split job's 32-byte field holds it with its NUL.
inline constexpr std::size_t kMaxPasswordBytes = 31;
// The descriptor counts chunks in 32 bits.
inline constexpr int64_t kMaxChunkCount = INT32_MAX;
// More chunks than this take a block of disk each for little gain: the front
// ends ask before they split into more ("This makes 3,145,728 chunks").
inline constexpr int64_t kManyChunks = 1000000;

}  // namespace partwise
