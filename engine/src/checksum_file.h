#pragma once
// Internal: the checksum file beside the chunks, "<stem>.xxh128". One line per
// chunk in chunk order, "<32 lowercase hex digits>  <chunk file name>\n": the
// XXH3 128-bit hash of the whole chunk, exactly as `xxhsum -H2` writes it, so
// that a set can be verified without Partwise. The descriptor knows nothing of
// it; a set without one is checked by its fingerprints alone.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#define XXH_STATIC_LINKING_ONLY
#include <xxhash.h>

#include "partwise/verdicts.h"
#include "staged_file.h"

namespace partwise {

inline constexpr const char* kChecksumSuffix = ".xxh128";

// chunkFolder + "/" + stem + ".xxh128"
std::string ChecksumFilePath(const std::string& chunkFolder, const std::string& stem);
// The line format has no way to write a newline in a name.
bool StemFitsChecksumFile(const std::string& stem);

// A hash in its canonical byte order, the order of its hex text.
using Digest128 = std::array<unsigned char, 16>;
std::string DigestHex(const Digest128& digest);
// Reads 32 lowercase hex digits (hex holds at least 32 bytes); false for others.
bool ParseDigest(std::string_view hex, Digest128& digest);

// XXH3-128 of a stream of bytes.
class ChunkHasher {
public:
    ChunkHasher() { Reset(); }

    void Reset();
    void Update(const void* data, std::size_t length);
    Digest128 Final() const;

private:
    XXH3_state_t state_;
};

// Hashes length bytes of fd from offset on, reading through buffer (given a
// size when empty). Returns the bytes hashed (fewer at the end of the file),
// or -1 with the last error naming path.
int64_t HashRange(ChunkHasher& hasher, int fd, const std::string& path, int64_t offset, int64_t length,
                  std::vector<char>& buffer);

// Writes the lines as the chunks are done; in place only once committed.
class ChecksumFileWriter {
public:
    // Each returns 0, or -1 with the last error.
    int Open(const std::string& path) { return file_.Open(path); }
    // The same in the folder open as folderFd (see StagedFile).
    int Open(int folderFd, const std::string& path) { return file_.Open(folderFd, path); }
    int Add(const std::string& chunkName, const Digest128& digest);
    int Commit(const Durability& durability = Durability()) { return file_.Commit(durability); }
    void Discard() { file_.Discard(); }

private:
    StagedFile file_;
};

// What a checksum file says of each chunk of a set: flat, 17 bytes a chunk.
class ChecksumTable {
public:
    // Whether a checksum file was loaded at all.
    bool loaded() const { return loaded_; }
    // True with the digest when the file had one usable line for the chunk, or
    // several that agree; false when it had none, or lines that disagree.
    bool Get(int32_t index, Digest128& digest) const;
    // Why a loaded file cannot vouch for the chunk: no line for it, only one
    // that cannot be read, or lines that disagree. kNone when it has its
    // line, or when no file was loaded. A set's file has a line for every
    // chunk, so any of these means the file is damaged.
    ChunkReason LineFault(int32_t index) const;
    // The lowest chunk with a LineFault, -1 for none.
    int32_t FirstLineFault() const;
    // Lines that named no chunk of the set or could not be read as a line of
    // the format (bad hex, CRLF, another name, over-long).
    int64_t unusableLines() const { return unusableLines_; }

private:
    friend int ReadChecksumFile(const std::string&, const std::string&, int32_t, ChecksumTable&);
    void Reset(int32_t chunkCount);
    void Take(int32_t index, const Digest128& digest);
    void TakeUnreadable(int32_t index);

    bool loaded_ = false;
    std::vector<Digest128> digests_;
    enum : unsigned char { kNone, kUnreadable, kOne, kConflict };
    std::vector<unsigned char> states_;
    int64_t unusableLines_ = 0;
};

// Reads the checksum file at path for a set of chunkCount chunks named after
// stem. Returns 1 with the table filled, 0 when there is no such file (the
// table is then empty and not loaded), -1 (last error set) when the file is
// refused: unreadable, not a regular file, or larger than any checksum file
// of chunkCount chunks could be. The file is untrusted: lines it cannot use
// never vouch for a chunk; see LineFault.
int ReadChecksumFile(const std::string& path, const std::string& stem, int32_t chunkCount, ChecksumTable& table);

}  // namespace partwise
