#include "partwise/recovery.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <functional>
#include <map>
#include <optional>

#include "descriptor_stream.h"
#include "fail.h"
#include "folder_ops.h"
#include "partwise/checksums.h"
#include "partwise/chunk_check.h"
#include "partwise/chunk_names.h"
#include "partwise/errors.h"
#include "partwise/fsutil.h"
#include "recovery_coding.h"
#include "walk.h"

namespace partwise {

namespace {

constexpr std::string_view kRecoverySuffix = ".spr";

// A decimal without sign or leading zeros, as the names write numbers.
bool ParseCount(std::string_view text, int64_t limit, int32_t& value) {
    if (text.empty() || text.size() > 10 || (text.size() > 1 && text[0] == '0') || text[0] < '0' || text[0] > '9')
        return false;
    int64_t parsed = 0;
    const auto [end, err] = std::from_chars(text.data(), text.data() + text.size(), parsed);
    if (err != std::errc() || end != text.data() + text.size() || parsed > limit) return false;
    value = static_cast<int32_t>(parsed);
    return true;
}

int32_t GroupsFor(int64_t chunkCount, int32_t perGroup) {
    const int64_t width = kMaxShards - perGroup;
    return static_cast<int32_t>((chunkCount + width - 1) / width);
}

// The set in chunkFolder as the recovery code sees it: 1 with set and the
// chunks' checksum table, 0 when it has no recovery files, -1 on failure.
int OpenRecoverySet(const std::string& chunkFolder, UniqueFd& folder, RecoverySet& set, ChecksumTable& sums) {
    DescriptorHeader header{};
    // Without a descriptor there is no set to rebuild: its readers say why.
    if (ReadDescriptorHeader(chunkFolder, header) != 0) return 0;
    std::string stem = FieldText(header.sourceName, sizeof header.sourceName);
    StripExtension(stem);
    if (header.chunkCount < 0 || header.totalSize < 0)
        return Fail("the descriptor of " + QuoteName(chunkFolder) + " is damaged");
    folder = OpenFolder(chunkFolder, true);
    if (!folder.valid()) return Fail("cannot open", chunkFolder, errno);
    const int found = FindRecoverySet(folder.get(), chunkFolder, stem, header.chunkCount, header.totalSize, set);
    if (found <= 0) return found;
    if (ReadChecksumFile(ChecksumFilePath(chunkFolder, stem), stem, header.chunkCount, sums) < 0) return -1;
    return 1;
}

// Opens the set and hands visit the id of each recovery file its code has,
// group by group. Returns 1, 0 for a set without recovery files, or -1 with
// the last error, also when visit fails.
int VisitRecoveryFiles(const std::string& chunkFolder, UniqueFd& folder, RecoverySet& set,
                       const std::function<int(const RecoveryFileId&)>& visit) {
    ChecksumTable sums;
    const int found = OpenRecoverySet(chunkFolder, folder, set, sums);
    if (found <= 0) return found;
    for (int32_t group = 0; group < set.layout.groups; ++group)
        for (int32_t row = 0; row < set.layout.perGroup; ++row)
            if (visit({set.layout.perGroup, group, row}) != 0) return -1;
    return 1;
}

int VerifyRecoveryFile(const RecoverySet& set, const std::vector<std::pair<std::string, Digest128>>& lines,
                       RecoveryFileEntry& entry, std::vector<char>& buffer) {
    UniqueFd fd = OpenChunkAt(set.folderFd, entry.name);
    struct stat st {};
    if (!fd.valid()) {
        if (errno == ENOENT) return 0;
        entry.verdict = ChunkVerdict::kDamaged;
        entry.reason = errno == ELOOP ? ChunkReason::kNotARegularFile : ChunkReason::kUnreadable;
        return 0;
    }
    if (::fstat(fd.get(), &st) != 0) return Fail("cannot read", set.PathOf(entry.name), errno);
    entry.size = st.st_size;
    entry.verdict = ChunkVerdict::kDamaged;
    if (!S_ISREG(st.st_mode)) {
        entry.reason = ChunkReason::kNotARegularFile;
        return 0;
    }
    entry.reason = ChunkReason::kFingerprintDiffers;
    if (st.st_size != set.chunkSize) return 0;
    Digest128 want{};
    bool hasLine = false;
    for (const auto& [name, digest] : lines)
        if (name == entry.name) want = digest, hasLine = true;
    if (!hasLine) {
        entry.verdict = ChunkVerdict::kUnchecked;
        entry.reason = ChunkReason::kNoChecksumLine;
        return 0;
    }
    ChunkHasher hasher;
    if (HashRange(hasher, fd.get(), set.PathOf(entry.name), 0, st.st_size, buffer) != st.st_size) return -1;
    const bool same = hasher.Final() == want;
    entry.verdict = same ? ChunkVerdict::kOk : ChunkVerdict::kDamaged;
    entry.reason = same ? ChunkReason::kNone : ChunkReason::kChecksumDiffers;
    return 0;
}

std::string Plural(int64_t count, const std::string& word) {
    return std::to_string(count) + " " + word + (count == 1 ? "" : "s");
}

}  // namespace

int ParseRecoveryRequest(std::string_view text, RecoveryRequest& request) {
    request = {};
    const bool percent = !text.empty() && text.back() == '%';
    if (percent) text.remove_suffix(1);
    int32_t value = 0;
    if (!ParseCount(text, percent ? 100 : kMaxRecoveryFiles, value) || (percent && value == 0))
        return Fail("recovery files must be a count from 0 to " + std::to_string(kMaxRecoveryFiles) +
                    " or a percentage from 1% to 100%, not " + QuoteName(std::string(text) + (percent ? "%" : "")));
    (percent ? request.percent : request.count) = value;
    return 0;
}

int32_t RecoveryFilesPerGroup(const RecoveryRequest& request, int64_t chunkCount) {
    if (chunkCount <= 0) return 0;
    if (request.percent <= 0) return std::min(request.count, kMaxRecoveryFiles);
    for (int32_t n = 1; n < kMaxRecoveryFiles; ++n) {
        const int64_t largest = (chunkCount + GroupsFor(chunkCount, n) - 1) / GroupsFor(chunkCount, n);
        if (int64_t{n} * 100 >= largest * request.percent) return n;
    }
    return kMaxRecoveryFiles;
}

int MakeRecoveryLayout(int64_t chunkCount, int32_t perGroup, RecoveryLayout& layout) {
    if (chunkCount <= 0 || chunkCount > INT32_MAX || perGroup <= 0 || perGroup > kMaxRecoveryFiles)
        return Fail("no recovery code has " + Plural(perGroup, "file") + " a group for " + Plural(chunkCount, "chunk"));
    layout.chunkCount = static_cast<int32_t>(chunkCount);
    layout.perGroup = perGroup;
    layout.groups = GroupsFor(chunkCount, perGroup);
    return 0;
}

std::string RecoveryFileName(const std::string& stem, const RecoveryFileId& id) {
    return stem + "_r" + std::to_string(id.perGroup) + "_" + std::to_string(id.group) + "_" + std::to_string(id.row) +
           std::string(kRecoverySuffix);
}

bool ParseRecoveryFileName(std::string_view name, std::string_view stem, RecoveryFileId& id) {
    if (name.size() <= stem.size() + 2 + kRecoverySuffix.size() || name.substr(0, stem.size()) != stem ||
        name.substr(stem.size(), 2) != "_r" || name.substr(name.size() - kRecoverySuffix.size()) != kRecoverySuffix)
        return false;
    std::string_view rest = name.substr(stem.size() + 2, name.size() - stem.size() - 2 - kRecoverySuffix.size());
    const std::size_t first = rest.find('_');
    const std::size_t second = first == std::string_view::npos ? first : rest.find('_', first + 1);
    if (second == std::string_view::npos) return false;
    return ParseCount(rest.substr(0, first), kMaxRecoveryFiles, id.perGroup) && id.perGroup > 0 &&
           ParseCount(rest.substr(first + 1, second - first - 1), INT32_MAX, id.group) &&
           ParseCount(rest.substr(second + 1), id.perGroup - 1, id.row);
}

std::string RecoveryInfoName(const std::string& stem) { return stem + ".rec"; }
std::string RecoveryChecksumName(const std::string& stem) { return stem + ".rec.xxh128"; }

bool IsRecoveryName(std::string_view name, std::string_view stem) {
    RecoveryFileId id;
    const std::string base(stem);
    return ParseRecoveryFileName(name, stem, id) || name == RecoveryInfoName(base) ||
           name == RecoveryChecksumName(base);
}

std::string DescribeRebuilt(const RebuiltChunk& rebuilt) {
    return "rebuilt chunk " + std::to_string(rebuilt.chunkIndex) + " from " +
           Plural(rebuilt.recoveryFilesUsed, "recovery file");
}

int CheckRecoveryFiles(const std::string& chunkFolder, const std::vector<int32_t>& lostChunks, RecoveryCheck& check) {
    check = {};
    UniqueFd folder;
    RecoverySet set;
    std::optional<std::vector<std::pair<std::string, Digest128>>> lines;
    std::vector<int32_t> usable;
    std::vector<char> buffer;
    int64_t good = 0;
    const int found = VisitRecoveryFiles(chunkFolder, folder, set, [&](const RecoveryFileId& id) {
        if (!lines) lines = ReadRecoveryChecksums(set);
        RecoveryFileEntry entry;
        entry.id = id;
        entry.name = RecoveryFileName(set.stem, id);
        if (VerifyRecoveryFile(set, *lines, entry, buffer) != 0) return -1;
        usable.resize(std::max(usable.size(), static_cast<std::size_t>(id.group) + 1), 0);
        if (entry.verdict == ChunkVerdict::kOk || entry.verdict == ChunkVerdict::kUnchecked) {
            ++usable[static_cast<std::size_t>(id.group)];
            ++good;
        }
        check.files.push_back(std::move(entry));
        return 0;
    });
    if (found <= 0) return found;
    check.perGroup = set.layout.perGroup;
    std::vector<int32_t> lost(usable.size(), 0);
    for (int32_t chunk : lostChunks)
        if (chunk >= 0 && chunk < set.layout.chunkCount) ++lost[static_cast<std::size_t>(set.layout.GroupOf(chunk))];
    check.summary = "recovery: " + Plural(good, "file") + ", repairable";
    for (std::size_t g = 0; g < lost.size(); ++g) {
        if (lost[g] <= usable[g]) continue;
        check.repairable = false;
        check.summary = "recovery: not repairable: " + std::to_string(lost[g]) + " lost in group " + std::to_string(g) +
                        ", " + Plural(usable[g], "recovery file");
        break;
    }
    return 0;
}

bool RecoveryOutline::Covers(const std::vector<int32_t>& lostChunks) const {
    if (layout.perGroup == 0) return lostChunks.empty();
    std::vector<int32_t> lost(present.size(), 0);
    for (int32_t chunk : lostChunks) {
        if (chunk < 0 || chunk >= layout.chunkCount) return false;
        if (++lost[static_cast<std::size_t>(layout.GroupOf(chunk))] >
            present[static_cast<std::size_t>(layout.GroupOf(chunk))])
            return false;
    }
    return true;
}

int ReadRecoveryOutline(const std::string& chunkFolder, RecoveryOutline& outline) {
    outline = {};
    UniqueFd folder;
    RecoverySet set;
    const int found = VisitRecoveryFiles(chunkFolder, folder, set, [&](const RecoveryFileId& id) {
        outline.present.resize(std::max(outline.present.size(), static_cast<std::size_t>(id.group) + 1), 0);
        struct stat st {};
        const std::string name = RecoveryFileName(set.stem, id);
        if (::fstatat(folder.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
            st.st_size == set.chunkSize)
            ++outline.present[static_cast<std::size_t>(id.group)];
        return 0;
    });
    if (found > 0) outline.layout = set.layout;
    return found < 0 ? -1 : 0;
}

std::vector<std::string> RecoveryPathsIn(const std::string& chunkFolder, const std::string& stem) {
    std::vector<std::string> paths;
    ListFolderNames(chunkFolder, [&](std::string_view name) {
        if (IsRecoveryName(name, stem)) paths.push_back(chunkFolder + "/" + std::string(name));
    });
    return paths;
}

int RebuildLostChunks(const std::string& chunkFolder, const std::string& scratchFolder,
                      const std::vector<int32_t>& known, std::vector<RebuiltFile>& rebuilt) {
    rebuilt.clear();
    UniqueFd folder;
    RecoverySet set;
    ChecksumTable sums;
    // Recovery files that cannot be used leave the join as without them: it
    // names what is lost, if anything is.
    const int found = OpenRecoverySet(chunkFolder, folder, set, sums);
    if (found < 0) ClearLastError();
    if (found <= 0) return 0;
    std::vector<int32_t> lost = known;
    ChunkSetSummary summary;
    if (InspectChunkSet(chunkFolder, summary, [&](const ChunkEntry& entry) {
            if (entry.verdict != 0 || sums.LineFault(entry.chunkIndex) != ChunkReason::kNone)
                lost.push_back(entry.chunkIndex);
        }) != 0)
        return -1;
    if (lost.empty()) return 1;
    UniqueFd scratch = OpenFolder(scratchFolder, true);
    if (!scratch.valid()) return Fail("cannot open", scratchFolder, errno);
    const RebuildTarget target = [&](int32_t) { return CreateScratchFile(scratch.get(), scratchFolder); };
    return RebuildChunks(set, sums, lost, target, rebuilt) == 0 ? 1 : -1;
}

int RepairChunkSet(const std::string& chunkFolder, std::vector<RebuiltChunk>& rebuilt) {
    rebuilt.clear();
    std::vector<FullCheckEntry> entries;
    ChunkSetCheck full;
    if (CheckChunkSetFully(chunkFolder, entries, full) != 0) return -1;
    std::vector<int32_t> lost;
    for (const FullCheckEntry& entry : entries)
        // A chunk without a line is not known to be lost: decoded over, it
        // could not be checked.
        if (entry.verdict != ChunkVerdict::kOk && entry.verdict != ChunkVerdict::kUnchecked)
            lost.push_back(entry.chunkIndex);
    if (full.checksumFile.empty())
        return Fail("the set in " + QuoteName(chunkFolder) + " has no checksum file to check a repair against");
    if (lost.empty()) return 0;
    UniqueFd folder;
    RecoverySet set;
    ChecksumTable sums;
    const int found = OpenRecoverySet(chunkFolder, folder, set, sums);
    if (found == 0) return Fail("the set in " + QuoteName(chunkFolder) + " has no recovery files");
    if (found < 0) return -1;
    // A repair writes into the set: no split or join may work on it meanwhile.
    if (LockFolder(folder.get(), true, chunkFolder, "split") != 0) return -1;
    // What a killed repair left there.
    SweepTemporaries(folder.get());
    // Rebuilt under temporary names, renamed over the lost chunks only once
    // every one of them is whole and checked. A group decoded again leaves
    // the files of its first pass behind: they go with the rest.
    std::vector<std::string> temporary;
    std::map<int32_t, std::string> latest;
    auto removeTemporary = [&] {
        for (const std::string& name : temporary) ::unlinkat(folder.get(), name.c_str(), 0);
    };
    const RebuildTarget target = [&](int32_t chunk) {
        UniqueFd fd;
        std::string name;
        if (CreateTemporaryAt(folder.get(), chunkFolder, fd, name) != 0) return UniqueFd();
        temporary.push_back(name);
        latest[chunk] = name;
        return fd;
    };
    std::vector<RebuiltFile> files;
    if (RebuildChunks(set, sums, lost, target, files) != 0) {
        removeTemporary();
        return -1;
    }
    const Durability durability;
    for (RebuiltFile& file : files) {
        if (durability.FlushFile(file.fd.get(), set.PathOf(ChunkFileName(set.stem, file.chunk.chunkIndex))) != 0) {
            removeTemporary();
            return -1;
        }
    }
    for (RebuiltFile& file : files) {
        const std::string name = ChunkFileName(set.stem, file.chunk.chunkIndex);
        if (::renameat(folder.get(), latest[file.chunk.chunkIndex].c_str(), folder.get(), name.c_str()) != 0) {
            const int err = errno;
            removeTemporary();
            return Fail("cannot put in place", set.PathOf(name), err);
        }
        if (CloseAfterPlacing(file.fd, folder.get(), name, set.PathOf(name)) != 0) {
            removeTemporary();
            return -1;
        }
        rebuilt.push_back(file.chunk);
    }
    removeTemporary();
    // Renamed, not yet lasting: a repair reported done survives a power cut.
    return durability.FlushFolder(folder.get(), chunkFolder);
}

}  // namespace partwise
