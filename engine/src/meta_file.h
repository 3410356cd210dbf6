#pragma once
// Internal: the metadata file beside the chunks, "<stem>.meta". It keeps what
// the descriptor cannot: permission bits and modification times of the files
// and folders of a split, and the folders that hold no file. Plain text, one
// entry per line, written as the walk goes and read back a line at a time:
//
//   partwise-meta 1
//   D 0755 1700000000 250000000 .
//   F 0644 978307200 0 notes/a\tb.txt
//
// kind (D folder, F file), the mode's permission bits in octal (mode & 07777
// as read), seconds and nanoseconds of the modification time, and the path
// relative to what the set rebuilds ("." for that root itself). In a path,
// backslash, control bytes and bytes that are not UTF-8 are written as
// \\ \t \n \r or \xHH, so that any name a file system holds fits on one line.
#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "posix_file.h"
#include "staged_file.h"

namespace partwise {

inline constexpr const char* kMetaSuffix = ".meta";
inline constexpr std::string_view kMetaHeader = "partwise-meta 1";

// chunkFolder + "/" + stem + ".meta"
std::string MetaFilePath(const std::string& chunkFolder, const std::string& stem);

struct MetaEntry {
    char kind = 'F';  // 'F' a file, 'D' a folder
    uint32_t mode = 0;
    int64_t seconds = 0;
    int64_t nanoseconds = 0;
    std::string path;

    bool operator==(const MetaEntry&) const = default;
};

// The entry for a file ('F') or folder ('D') of the given status.
MetaEntry MetaEntryOf(char kind, const struct stat& st, std::string path);

std::string EscapePath(std::string_view path);
// False when text is not a path this format can have written: a bad escape,
// an unescaped control byte, a NUL.
bool UnescapePath(std::string_view text, std::string& path);

// One line without its newline.
std::string FormatMetaLine(const MetaEntry& entry);
bool ParseMetaLine(std::string_view line, MetaEntry& entry);

// Writes the header, then one line per Add; in place only once committed.
class MetaFileWriter {
public:
    // Each returns 0, or -1 with the last error.
    int Open(const std::string& path);
    // The same in the folder open as folderFd (see StagedFile).
    int Open(int folderFd, const std::string& path);
    int Add(const MetaEntry& entry);
    int Commit(const Durability& durability = Durability()) { return file_.Commit(durability); }
    void Discard() { file_.Discard(); }

private:
    StagedFile file_;
};

// Reads a metadata file a line at a time. Untrusted: a line that is not an
// entry fails the read, naming the file and the line.
class MetaFileReader {
public:
    // 1 when open, 0 when there is no such file, -1 (last error set) when it
    // cannot be read, is not a regular file or does not start with the header.
    int Open(const std::string& path);
    // 1 with the next entry, 0 after the last, -1 (last error set) on a line
    // that is not an entry, or a read error.
    int Next(MetaEntry& entry);
    // Where the entry that Next returns after the next Seek would start; for
    // going back to entries without holding them.
    int64_t position() const { return position_; }
    void Seek(int64_t position);
    const std::string& path() const { return path_; }

private:
    int Fill();

    std::string path_;
    UniqueFd fd_;
    std::vector<char> block_;
    std::size_t used_ = 0;    // bytes of block_ taken
    std::size_t held_ = 0;    // bytes in block_
    int64_t blockStart_ = 0;  // file offset of block_[0]
    int64_t position_ = 0;    // file offset of the next line
    int64_t lineNumber_ = 0;  // of the last line read; unknown (0) after a Seek
};

}  // namespace partwise
