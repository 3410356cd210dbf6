#include "checksum_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <string_view>

#if defined(__x86_64__) || defined(__i386__)
#include <xxh_x86dispatch.h>
#define PARTWISE_XXH3_UPDATE XXH3_128bits_update_dispatch
#else
#define PARTWISE_XXH3_UPDATE XXH3_128bits_update
#endif

#include "cancel.h"
#include "fail.h"
#include "partwise/chunk_names.h"
#include "posix_file.h"

namespace partwise {
namespace {

constexpr std::size_t kHexDigits = 32;
constexpr std::string_view kSeparator = "  ";
constexpr std::string_view kChunkSuffix = ".spt";
constexpr std::size_t kBlock = 64 * 1024;

// The value of each lowercase hex digit, 16 for every other byte: a lookup
// without branches, since the digits of a hash follow no pattern.
constexpr std::array<unsigned char, 256> kHexValues = [] {
    std::array<unsigned char, 256> values{};
    values.fill(16);
    for (int c = '0'; c <= '9'; ++c) values[static_cast<std::size_t>(c)] = static_cast<unsigned char>(c - '0');
    for (int c = 'a'; c <= 'f'; ++c) values[static_cast<std::size_t>(c)] = static_cast<unsigned char>(c - 'a' + 10);
    return values;
}();

}  // namespace

bool ParseDigest(std::string_view hex, Digest128& digest) {
    unsigned invalid = 0;
    for (std::size_t i = 0; i < digest.size(); ++i) {
        const unsigned high = kHexValues[static_cast<unsigned char>(hex[2 * i])];
        const unsigned low = kHexValues[static_cast<unsigned char>(hex[2 * i + 1])];
        invalid |= high | low;
        digest[i] = static_cast<unsigned char>(high * 16 + low);
    }
    return (invalid & 16) == 0;
}

std::string ChecksumFilePath(const std::string& chunkFolder, const std::string& stem) {
    return chunkFolder + "/" + stem + kChecksumSuffix;
}

bool StemFitsChecksumFile(const std::string& stem) {
    return stem.find('\n') == std::string::npos && stem.find('\r') == std::string::npos;
}

std::string DigestHex(const Digest128& digest) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text(kHexDigits, '0');
    for (std::size_t i = 0; i < digest.size(); ++i) {
        text[2 * i] = kDigits[digest[i] >> 4];
        text[2 * i + 1] = kDigits[digest[i] & 15];
    }
    return text;
}

void ChunkHasher::Reset() { XXH3_128bits_reset(&state_); }

// The dispatching form picks the widest vector unit the processor has (AVX2,
// AVX-512) at run time; the digest is the same on every machine.
void ChunkHasher::Update(const void* data, std::size_t length) { XXH3_128bits_update_dispatch(&state_, data, length); }

Digest128 ChunkHasher::Final() const {
    XXH128_canonical_t canonical;
    XXH128_canonicalFromHash(&canonical, XXH3_128bits_digest(&state_));
    Digest128 digest;
    static_assert(sizeof canonical.digest == sizeof(Digest128));
    std::copy(std::begin(canonical.digest), std::end(canonical.digest), digest.begin());
    return digest;
}

int64_t HashRange(ChunkHasher& hasher, int fd, const std::string& path, int64_t offset, int64_t length,
                  std::vector<char>& buffer) {
    if (buffer.empty()) buffer.resize(std::size_t{1} << 20);
    int64_t hashed = 0;
    while (hashed < length) {
        std::size_t want = static_cast<std::size_t>(std::min<int64_t>(length - hashed, buffer.size()));
        int64_t n = ReadAt(fd, buffer.data(), want, offset + hashed);
        if (n < 0) return Fail("cannot read", path, errno);
        hasher.Update(buffer.data(), static_cast<std::size_t>(n));
        hashed += n;
        if (static_cast<std::size_t>(n) < want) break;
    }
    return hashed;
}

int ChecksumFileWriter::Add(const std::string& chunkName, const Digest128& digest) {
    std::string line = DigestHex(digest);
    line += kSeparator;
    line += chunkName;
    line += '\n';
    return file_.Append(line);
}

void ChecksumTable::Reset(int32_t chunkCount) {
    std::size_t count = chunkCount > 0 ? static_cast<std::size_t>(chunkCount) : 0;
    digests_.assign(count, Digest128{});
    states_.assign(count, kNone);
    unusableLines_ = 0;
    loaded_ = false;
}

void ChecksumTable::Take(int32_t index, const Digest128& digest) {
    auto i = static_cast<std::size_t>(index);
    if (states_[i] == kNone || states_[i] == kUnreadable) {
        digests_[i] = digest;
        states_[i] = kOne;
    } else if (states_[i] == kOne && digests_[i] != digest) {
        states_[i] = kConflict;
    }
}

void ChecksumTable::TakeUnreadable(int32_t index) {
    auto i = static_cast<std::size_t>(index);
    if (states_[i] == kNone) states_[i] = kUnreadable;
}

ChunkReason ChecksumTable::LineFault(int32_t index) const {
    if (!loaded_) return ChunkReason::kNone;
    const bool listed = index >= 0 && static_cast<std::size_t>(index) < states_.size();
    switch (listed ? states_[static_cast<std::size_t>(index)] : static_cast<unsigned char>(kNone)) {
        case kOne:
            return ChunkReason::kNone;
        case kUnreadable:
            return ChunkReason::kUnreadableChecksumLine;
        case kConflict:
            return ChunkReason::kConflictingChecksumLines;
        default:
            return ChunkReason::kNoChecksumLine;
    }
}

int32_t ChecksumTable::FirstLineFault() const {
    if (!loaded_) return -1;
    const auto at = std::find_if(states_.begin(), states_.end(), [](unsigned char state) { return state != kOne; });
    return at == states_.end() ? -1 : static_cast<int32_t>(at - states_.begin());
}

bool ChecksumTable::Get(int32_t index, Digest128& digest) const {
    if (index < 0 || static_cast<std::size_t>(index) >= states_.size() || states_[index] != kOne) return false;
    digest = digests_[index];
    return true;
}

int ReadChecksumFile(const std::string& path, const std::string& stem, int32_t chunkCount, ChecksumTable& table) {
    table.Reset(0);
    UniqueFd fd = OpenForReading(path);
    if (!fd.valid()) return errno == ENOENT ? 0 : Fail("cannot open", path, errno);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return Fail("cannot read", path, errno);
    if (!S_ISREG(st.st_mode)) return Fail("the checksum file '" + path + "' is not a regular file");
    // Twice what this many lines can take, for a file written by hand with
    // repeated lines; a larger one is not a checksum file of this set.
    const std::size_t longestLine = kHexDigits + kSeparator.size() + stem.size() + 1 + 10 + kChunkSuffix.size() + 1;
    const int64_t largest = 2 * static_cast<int64_t>(longestLine) * std::max<int32_t>(chunkCount, 1);
    if (st.st_size > largest)
        return Fail("the checksum file '" + path + "' is larger than any for " + std::to_string(chunkCount) +
                    " chunks");

    table.Reset(chunkCount);
    std::vector<char> block(kBlock);
    std::string line;
    bool overlong = false;
    // The chunk a line is for, -1 when it names none of the set. A line that
    // names a chunk after its first two blanks (and before a CR) is that
    // chunk's line, only not a readable one.
    auto chunkOfLine = [&](std::string_view text, Digest128& digest, bool& readable) -> int64_t {
        readable = !overlong && text.size() > kHexDigits + kSeparator.size() &&
                   text.substr(kHexDigits, kSeparator.size()) == kSeparator && ParseDigest(text, digest);
        if (readable) {
            const int64_t index = ChunkNumberOfName(text.substr(kHexDigits + kSeparator.size()), stem);
            if (index >= 0) return index;
            readable = false;
        }
        const std::size_t blanks = overlong ? std::string_view::npos : text.find(kSeparator);
        if (blanks == std::string_view::npos) return -1;
        std::string_view name = text.substr(blanks + kSeparator.size());
        if (!name.empty() && name.back() == '\r') name.remove_suffix(1);
        return ChunkNumberOfName(name, stem);
    };
    auto takeLine = [&] {
        Digest128 digest;
        bool readable = false;
        const int64_t index = chunkOfLine(line, digest, readable);
        if (!readable || index < 0 || index >= chunkCount) ++table.unusableLines_;
        if (index >= 0 && index < chunkCount) {
            if (readable)
                table.Take(static_cast<int32_t>(index), digest);
            else
                table.TakeUnreadable(static_cast<int32_t>(index));
        }
        line.clear();
        overlong = false;
    };
    int64_t position = 0;
    for (;;) {
        // A file for many chunks takes a while: a cancel stops it between blocks.
        if (CheckCancel() != 0) return -1;
        int64_t n = ReadAt(fd.get(), block.data(), block.size(), position);
        if (n < 0) return Fail("cannot read", path, errno);
        if (n == 0) break;
        position += n;
        // A line at a time; bytes past the longest line are dropped.
        for (std::size_t at = 0, end = static_cast<std::size_t>(n); at < end;) {
            const char* start = block.data() + at;
            const auto* newline = static_cast<const char*>(std::memchr(start, '\n', end - at));
            const std::size_t length = newline != nullptr ? static_cast<std::size_t>(newline - start) : end - at;
            const std::size_t room = longestLine - std::min(line.size(), longestLine);
            line.append(start, std::min(length, room));
            overlong = overlong || length > room;
            at += length;
            if (newline != nullptr) {
                takeLine();
                ++at;
            }
        }
    }
    if (!line.empty() || overlong) takeLine();
    table.loaded_ = true;
    return 1;
}

}  // namespace partwise
