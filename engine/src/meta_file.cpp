#include "meta_file.h"

#include <sys/stat.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "fail.h"

namespace partwise {
namespace {

constexpr std::size_t kBlock = 64 * 1024;
// A 255-byte path escaped byte by byte, and the fields before it.
constexpr std::size_t kLongestLine = 4 * 255 + 64;

// The length of the UTF-8 sequence at text[i], or 0 when it is not one
// (overlong forms, surrogates and code points past U+10FFFF included).
std::size_t Utf8Length(std::string_view text, std::size_t i) {
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char lead = byte(i);
    std::size_t length;
    uint32_t code;
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        code = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        code = lead & 0x07;
    } else {
        return 0;
    }
    if (i + length > text.size()) return 0;
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
        code = code << 6 | (byte(i + k) & 0x3F);
    }
    static const uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < kSmallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
    return length;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The next space-separated field of line from pos on, all of it digits in base.
template <typename Number>
bool TakeNumber(std::string_view line, std::size_t& pos, int base, Number& value) {
    std::size_t end = line.find(' ', pos);
    if (end == std::string_view::npos || end == pos) return false;
    std::string_view field = line.substr(pos, end - pos);
    if (field.size() > 1 && field[0] == '+') return false;
    auto [stop, error] = std::from_chars(field.data(), field.data() + field.size(), value, base);
    if (error != std::errc() || stop != field.data() + field.size()) return false;
    pos = end + 1;
    return true;
}

}  // namespace

std::string MetaFilePath(const std::string& chunkFolder, const std::string& stem) {
    return chunkFolder + "/" + stem + kMetaSuffix;
}

MetaEntry MetaEntryOf(char kind, const struct stat& st, std::string path) {
    return MetaEntry{kind, static_cast<uint32_t>(st.st_mode & 07777), static_cast<int64_t>(st.st_mtim.tv_sec),
                     static_cast<int64_t>(st.st_mtim.tv_nsec), std::move(path)};
}

std::string EscapePath(std::string_view path) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(path.size());
    for (std::size_t i = 0; i < path.size();) {
        unsigned char c = static_cast<unsigned char>(path[i]);
        std::size_t length = Utf8Length(path, i);
        if (c == '\\') {
            text += "\\\\";
        } else if (c == '\t') {
            text += "\\t";
        } else if (c == '\n') {
            text += "\\n";
        } else if (c == '\r') {
            text += "\\r";
        } else if (c < 0x20 || c == 0x7F || length == 0) {
            text += "\\x";
            text += kDigits[c >> 4];
            text += kDigits[c & 15];
        } else {
            text.append(path.substr(i, length));
            i += length;
            continue;
        }
        ++i;
    }
    return text;
}

bool UnescapePath(std::string_view text, std::string& path) {
    path.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
        if (c != '\\') {
            path += c;
            continue;
        }
        if (++i == text.size()) return false;
        switch (text[i]) {
            case '\\':
                path += '\\';
                break;
            case 't':
                path += '\t';
                break;
            case 'n':
                path += '\n';
                break;
            case 'r':
                path += '\r';
                break;
            case 'x': {
                if (i + 2 >= text.size()) return false;
                int high = HexValue(text[i + 1]);
                int low = HexValue(text[i + 2]);
                if (high < 0 || low < 0 || (high == 0 && low == 0)) return false;
                path += static_cast<char>(high * 16 + low);
                i += 2;
                break;
            }
            default:
                return false;
        }
    }
    return true;
}

std::string FormatMetaLine(const MetaEntry& entry) {
    char fields[64];
    std::snprintf(fields, sizeof fields, "%c %04o %lld %lld ", entry.kind, static_cast<unsigned>(entry.mode),
                  static_cast<long long>(entry.seconds), static_cast<long long>(entry.nanoseconds));
    return fields + EscapePath(entry.path);
}

bool ParseMetaLine(std::string_view line, MetaEntry& entry) {
    if (line.size() < 3 || (line[0] != 'F' && line[0] != 'D') || line[1] != ' ') return false;
    entry.kind = line[0];
    std::size_t pos = 2;
    if (!TakeNumber(line, pos, 8, entry.mode) || entry.mode > 07777) return false;
    if (!TakeNumber(line, pos, 10, entry.seconds)) return false;
    if (!TakeNumber(line, pos, 10, entry.nanoseconds) || entry.nanoseconds < 0 || entry.nanoseconds > 999999999)
        return false;
    return pos < line.size() && UnescapePath(line.substr(pos), entry.path);
}

namespace {
int PutMetaHeader(StagedFile& file) {
    std::string header(kMetaHeader);
    header += '\n';
    return file.Append(header);
}
}  // namespace

int MetaFileWriter::Open(const std::string& path) { return file_.Open(path) != 0 ? -1 : PutMetaHeader(file_); }

int MetaFileWriter::Open(int folderFd, const std::string& path) {
    return file_.Open(folderFd, path) != 0 ? -1 : PutMetaHeader(file_);
}

int MetaFileWriter::Add(const MetaEntry& entry) {
    std::string line = FormatMetaLine(entry);
    line += '\n';
    return file_.Append(line);
}

int MetaFileReader::Open(const std::string& path) {
    path_ = path;
    fd_ = OpenForReading(path);
    if (!fd_.valid()) return errno == ENOENT ? 0 : Fail("cannot open", path, errno);
    struct stat st {};
    if (::fstat(fd_.get(), &st) != 0) return Fail("cannot read", path, errno);
    if (!S_ISREG(st.st_mode)) return Fail("the metadata file '" + path + "' is not a regular file");
    block_.resize(kBlock);
    Seek(0);
    std::string header(kMetaHeader.size() + 1, '\0');
    int64_t n = ReadAt(fd_.get(), header.data(), header.size(), 0);
    if (n < 0) return Fail("cannot read", path, errno);
    if (header != std::string(kMetaHeader) + '\n') return Fail("'" + path + "' is not a metadata file of this version");
    Seek(static_cast<int64_t>(header.size()));
    lineNumber_ = 1;
    return 1;
}

void MetaFileReader::Seek(int64_t position) {
    position_ = position;
    blockStart_ = position;
    used_ = held_ = 0;
    lineNumber_ = 0;
}

int MetaFileReader::Fill() {
    // Keep the unread tail, then read behind it.
    std::memmove(block_.data(), block_.data() + used_, held_ - used_);
    blockStart_ += static_cast<int64_t>(used_);
    held_ -= used_;
    used_ = 0;
    int64_t n = ReadAt(fd_.get(), block_.data() + held_, block_.size() - held_, blockStart_ + held_);
    if (n < 0) return Fail("cannot read", path_, errno);
    held_ += static_cast<std::size_t>(n);
    return n > 0 ? 1 : 0;
}

int MetaFileReader::Next(MetaEntry& entry) {
    for (;;) {
        const char* start = block_.data() + used_;
        const void* end = std::memchr(start, '\n', held_ - used_);
        if (end != nullptr) {
            std::string_view line(start, static_cast<const char*>(end) - start);
            used_ += line.size() + 1;
            position_ = blockStart_ + static_cast<int64_t>(used_);
            if (lineNumber_ > 0) ++lineNumber_;
            if (line.size() <= kLongestLine && ParseMetaLine(line, entry)) return 1;
            std::string where = lineNumber_ > 0 ? " line " + std::to_string(lineNumber_) : "";
            return Fail("the metadata file '" + path_ + "'" + where + " is not an entry");
        }
        if (held_ - used_ > kLongestLine)
            return Fail("the metadata file '" + path_ + "' holds a line longer than any entry");
        int filled = Fill();
        if (filled < 0) return -1;
        if (filled == 0) {
            if (held_ == used_) return 0;
            return Fail("the metadata file '" + path_ + "' ends inside a line");
        }
    }
}

}  // namespace partwise
