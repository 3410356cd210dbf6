#include "partwise/media.h"

#include <linux/magic.h>
#include <sys/vfs.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>

#include "checksum_file.h"
#include "fail.h"
#include "media_rules.h"
#include "partwise/fsutil.h"
#include "partwise/progress.h"

namespace partwise {
namespace {

constexpr ChunkSizePreset kPresets[] = {
    {"fat32", 4294967295, "largest FAT32 file"},
    {"cd", 734003200, "700 MiB, fits an 80-minute CD-R"},
    {"dvd", 4697620480, "4,480 MiB, fits a DVD\xC2\xB1R with room for its file system"},
    {"dvd-dl", 8493465600, "8,100 MiB, double-layer DVD"},
    {"bd", 24956108800, "23,800 MiB, single-layer Blu-ray"},
    {"email", 18000000, "about 24.6 MB once base64-encoded, under the common 25 MB limit"},
};

// The file systems that limit a file's size, by statfs type.
struct FileSizeLimit {
    int64_t fsType;
    int64_t largestFile;
    const char* text;
};
constexpr FileSizeLimit kLimits[] = {
    {MSDOS_SUPER_MAGIC, 4294967295, "this FAT32 file system (largest file 4 GiB \xE2\x88\x92 1 byte)"},
};

const FileSizeLimit* LimitFor(int64_t fsType) {
    for (const FileSizeLimit& limit : kLimits)
        if (limit.fsType == fsType) return &limit;
    return nullptr;
}

std::atomic<int64_t> g_overriddenType{0};

// The file systems's limit when a file of size bytes exceeds it.
const FileSizeLimit* LimitExceeded(const std::string& folder, int64_t size) {
    const FileSizeLimit* limit = LimitFor(FileSystemTypeOf(folder));
    return limit != nullptr && size > limit->largestFile ? limit : nullptr;
}

// In single quotes, as sh reads it back byte for byte.
std::string Quoted(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// The script's body; the values above it are the set's own.
constexpr const char* kJoinScriptBody = R"SH(
say() {
  printf '%s: %s\n' "$me" "$1" >&2
}
fail() {
  say "$1"
  exit 1
}

# Run as "sh path/to/join-....sh" from elsewhere, it works in its own folder.
case $0 in
*/*) cd "${0%/*}" || fail "cannot enter the folder of $0" ;;
esac

if [ -e "./$name" ] || [ -h "./$name" ]; then
  fail "'$name' already exists here; it was kept (move it away and run again)"
fi

i=0
while [ "$i" -lt "$count" ]; do
  chunk="${stem}_$i.spt"
  [ -f "./$chunk" ] || fail "chunk '$chunk' is missing"
  want=$size
  [ "$i" -eq $((count - 1)) ] && want=$last
  have=$(wc -c <"./$chunk" | tr -d ' ')
  [ "$have" = "$want" ] || fail "chunk '$chunk' holds ${have:-no} bytes, not $want"
  i=$((i + 1))
done

if [ -z "$sums" ]; then
  say "the set has no checksum file: only the chunks' sizes were checked"
elif ! command -v xxhsum >/dev/null 2>&1; then
  say "xxhsum is not installed: skipped the check of every byte against '$sums'"
elif [ ! -f "./$sums" ]; then
  fail "'$sums' is missing: the chunks cannot be checked"
elif ! xxhsum --quiet -c "./$sums" >&2; then
  fail "a chunk differs from its checksum in '$sums' (named above); nothing was joined"
fi

tmp=.partwise-join-$$.tmp
set -C
: >"./$tmp" || fail "cannot create '$tmp' here"
set +C
trap 'rm -f "./$tmp"' EXIT
trap 'exit 1' HUP INT TERM
i=0
while [ "$i" -lt "$count" ]; do
  cat "./${stem}_$i.spt" >>"./$tmp" || fail "cannot copy chunk '${stem}_$i.spt'"
  i=$((i + 1))
done
have=$(wc -c <"./$tmp" | tr -d ' ')
[ "$have" = "$total" ] || fail "the joined file holds ${have:-no} bytes, not $total"
if [ -e "./$name" ] || [ -h "./$name" ]; then
  fail "'$name' appeared while the chunks were joined; it was kept"
fi
mv "./$tmp" "./$name" || fail "cannot rename '$tmp' to '$name'"
trap - EXIT
printf '%s\n' "$me: joined '$name'"
)SH";

}  // namespace

std::span<const ChunkSizePreset> ChunkSizePresets() { return kPresets; }

const ChunkSizePreset* FindChunkSizePreset(std::string_view name) {
    const auto same = [name](const ChunkSizePreset& preset) {
        const std::string_view presetName = preset.name;
        return std::equal(name.begin(), name.end(), presetName.begin(), presetName.end(), [](char a, char b) {
            return std::tolower(static_cast<unsigned char>(a)) == static_cast<unsigned char>(b);
        });
    };
    const auto* found = std::find_if(std::begin(kPresets), std::end(kPresets), same);
    return found == std::end(kPresets) ? nullptr : found;
}

int64_t LargestFileOn(int64_t fsType) {
    const FileSizeLimit* limit = LimitFor(fsType);
    return limit != nullptr ? limit->largestFile : -1;
}

std::string JoinScriptFileFor(const std::string& chunkFolder, const std::string& sourceName) {
    std::string stem = sourceName;
    StripExtension(stem);
    return chunkFolder + "/" + JoinScriptName(stem);
}

int64_t FileSystemTypeOf(const std::string& path) {
    if (const int64_t type = g_overriddenType.load(); type != 0) return type;
    struct statfs fs {};
    if (::statfs(path.c_str(), &fs) != 0) return 0;
    return static_cast<int64_t>(fs.f_type);
}

void OverrideFileSystemType(int64_t fsType) { g_overriddenType = fsType; }

int CheckChunksFit(const std::string& folder, int64_t largestChunk) {
    const FileSizeLimit* limit = LimitExceeded(folder, largestChunk);
    if (limit == nullptr) return 0;
    std::string fix = "; choose " + std::to_string(limit->largestFile >> 20) + " MB";
    for (const ChunkSizePreset& preset : kPresets)
        if (preset.bytes == limit->largestFile) fix += std::string(" or the preset ") + preset.name;
    return Fail("cannot split into '" + folder + "': chunks of " + FormatSize(largestChunk) + " do not fit on " +
                limit->text + fix);
}

int CheckJoinedFileFits(const std::string& folder, const std::string& name, int64_t size) {
    const FileSizeLimit* limit = LimitExceeded(folder, size);
    if (limit == nullptr) return 0;
    return Fail("cannot join into '" + folder + "': '" + name + "' of " + FormatSize(size) + " does not fit on " +
                limit->text);
}

std::string JoinScriptName(const std::string& stem) { return "join-" + stem + ".sh"; }

std::string JoinScriptText(const std::string& sourceName, const std::string& stem, int64_t chunkCount,
                           int64_t chunkSize, int64_t totalSize, bool hasChecksums) {
    const std::string me = JoinScriptName(stem);
    const int64_t last = chunkCount > 0 ? totalSize - (chunkCount - 1) * chunkSize : 0;
    std::string text = "#!/bin/sh\n";
    text += "# Joins the chunks of a file split by Partwise, for whoever has no Partwise.\n";
    // No name goes in a comment: one with a line break would end it.
    text += "# Run it with sh in the folder that holds the chunks.\n";
    text += "# It checks every chunk's size, and every byte with xxhsum when that is\n";
    text += "# installed, then writes the file beside the chunks; a file of that name\n";
    text += "# is never replaced.\n";
    text += "name=" + Quoted(sourceName) + "\n";
    text += "stem=" + Quoted(stem) + "\n";
    text += "count=" + std::to_string(chunkCount) + "\n";
    text += "size=" + std::to_string(chunkSize) + "\n";
    text += "last=" + std::to_string(last) + "\n";
    text += "total=" + std::to_string(totalSize) + "\n";
    text += "sums=" + (hasChecksums ? Quoted(stem + kChecksumSuffix) : std::string("''")) + "\n";
    text += "me=" + Quoted(me) + "\n";
    return text + kJoinScriptBody;
}

}  // namespace partwise
