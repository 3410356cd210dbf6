// Fuzz target for the chunk set descriptor, the checksum file and the
// recovery files. Each input is laid down as the descriptor (and, after
// markers, the checksum file and recovery files) of a chunk folder that holds a few small chunks; the reader, the
// inspection, the full check and a join into an output folder beside a sentinel file then run on it. The run aborts
// when anything appears outside the output folder, the sentinel or the chunk folder changes, or the output folder holds
// something the descriptor and the chunks do not account for.
//
// Built two ways: with -fsanitize=fuzzer as the libFuzzer target, and with
// DESCRIPTOR_FUZZ_REPLAY as a program that runs every file of the folders it
// is given, with which CTest replays the seed corpus.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "chunk_bytes.h"
#include "fingerprint.h"
#include "meta_file.h"
#include "partwise/checksums.h"
#include "partwise/chunk_check.h"
#include "partwise/descriptor.h"
#include "partwise/errors.h"
#include "partwise/joiner.h"

#define XXH_STATIC_LINKING_ONLY
#include <xxhash.h>

namespace {

namespace fs = std::filesystem;
using partwise::fuzz::ChunkBytes;
using partwise::fuzz::kChecksumMarker;
using partwise::fuzz::kChunkCount;
using partwise::fuzz::kFileMarker;
using partwise::fuzz::kRecoveryMarker;

constexpr const char* kSentinelText = "sentinel: the join must never touch this file\n";
constexpr const char* kPreviousText = "an output left by an earlier join\n";

std::string g_inputName;  // the replayed file, for messages
std::string g_outcome;    // how the join ended, for the replay's report

[[noreturn]] void Violation(const std::string& what) {
    std::fprintf(stderr, "descriptor_fuzz: %s%s%s\n", g_inputName.c_str(), g_inputName.empty() ? "" : ": ",
                 what.c_str());
    std::abort();
}

std::string ReadWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

void WriteWhole(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) Violation("cannot set up '" + path + "'");
}

void MakeFolder(const std::string& path) {
    if (::mkdir(path.c_str(), 0700) != 0) Violation("cannot set up '" + path + "': " + std::strerror(errno));
}

void MakeLink(const std::string& target, const std::string& path) {
    if (::symlink(target.c_str(), path.c_str()) != 0)
        Violation("cannot set up '" + path + "': " + std::strerror(errno));
}

// A fresh folder for one run, removed with everything in it afterwards.
// remove_all removes links themselves and never what they point to.
class WorkFolder {
public:
    WorkFolder() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/descriptor_fuzz.XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr)
            Violation("cannot create a work folder: " + std::string(std::strerror(errno)));
        path_ = pattern;
    }
    ~WorkFolder() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    WorkFolder(const WorkFolder&) = delete;
    WorkFolder& operator=(const WorkFolder&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// The path's components without the empty ones and ".", or nothing when one
// is "..": such a path names no place the join may write.
std::optional<std::vector<std::string>> Components(const std::string& path) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        std::string part = path.substr(start, end - start);
        if (part == "..") return std::nullopt;
        if (!part.empty() && part != ".") parts.push_back(std::move(part));
        start = end + 1;
    }
    return parts;
}

std::string JoinParts(const std::vector<std::string>& parts, std::size_t count) {
    std::string path;
    for (std::size_t i = 0; i < count; ++i) path += (i == 0 ? "" : "/") + parts[i];
    return path;
}

// A name the join may create directly in the output folder.
bool IsPlainName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos && name.size() <= 255;
}

std::string StemOf(const std::string& name) { return name.substr(0, name.find('.')); }

// What the harness put in the output folder before the join, by path
// relative to it: a link (content is its target), a file or a folder.
struct Planted {
    enum Kind { kLink, kFile, kFolder } kind;
    std::string content;
};

bool StillThere(const std::string& path, const Planted& planted) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return false;
    switch (planted.kind) {
        case Planted::kLink: {
            if (!S_ISLNK(st.st_mode)) return false;
            std::error_code error;
            return fs::read_symlink(path, error).string() == planted.content && !error;
        }
        case Planted::kFile:
            return S_ISREG(st.st_mode) && ReadWhole(path) == planted.content;
        case Planted::kFolder:
            return S_ISDIR(st.st_mode);
    }
    return false;
}

// One run: the folders, the chunks written, and what the join may leave.
struct Run {
    std::string work;
    std::string chunkFolder;
    std::string outputFolder;
    std::string sentinel;
    std::string chunkStem;                 // the stem the chunk files were written under
    std::string meta;                      // the metadata file, "" when the input holds none
    std::optional<std::string> checksums;  // the checksum file laid down, if any
    struct stat sentinelBefore {};
    mode_t workMode = 0;
    std::map<std::string, std::string> inputs;  // chunk folder entry -> its bytes
    std::map<std::string, Planted> planted;     // relative to the output folder

    // Relative to the output folder: each file the descriptor names, with the
    // complete content of each record group that names it, in join order
    // (none when the chunks cannot supply it).
    std::map<std::string, std::vector<std::optional<std::string>>> files;
    std::set<std::string> folders;  // on the way to those files
    std::vector<std::string> fileOrder;
    bool folderJoin = false;
    int64_t namedBytes = 0;  // the sum of every group's length, when all are known
    bool namedBytesKnown = true;
};

void RequireReason(const char* step) {
    if (partwise::GetLastErrorText().empty()) Violation(std::string(step) + " failed without a reason");
}

std::optional<std::string> ChunkContent(const Run& run, const std::string& stem, int32_t index) {
    if (stem != run.chunkStem || index < 0 || index >= kChunkCount) return std::nullopt;
    return ChunkBytes(index);
}

// Recovery files and their side files under the names the input gives, each
// a plain name of the chunk folder that is not already laid down.
void LayDownRecovery(Run& run, const std::string& entries) {
    std::size_t start = 0;
    while (start < entries.size()) {
        std::size_t end = entries.find(kFileMarker, start);
        if (end == std::string::npos) end = entries.size();
        const std::string entry = entries.substr(start, end - start);
        start = end + kFileMarker.size();
        const std::size_t newline = entry.find('\n');
        const std::string name = entry.substr(0, newline);
        if (newline == std::string::npos || name.empty() || name == "." || name == ".." || name.size() > 200 ||
            name.find_first_of(std::string("/\0", 2)) != std::string::npos || run.inputs.count(name) > 0)
            continue;
        run.inputs[name] = entry.substr(newline + 1);
        WriteWhole(run.chunkFolder + "/" + name, run.inputs[name]);
    }
}

// Picks the chunk file names from the descriptor's source name, as the join
// derives them; a name that would lead out of the chunk folder gets the
// common stem "set" instead.
void LayDown(Run& run, const uint8_t* data, std::size_t size) {
    run.chunkFolder = run.work + "/set_spt";
    run.outputFolder = run.work + "/out";
    run.sentinel = run.work + "/sentinel";
    MakeFolder(run.chunkFolder);
    MakeFolder(run.outputFolder);
    WriteWhole(run.sentinel, kSentinelText);

    // The checksum file, when the input holds one, follows its marker line to
    // the end; a metadata file follows the descriptor from its header line on.
    std::string descriptor(reinterpret_cast<const char*>(data), size);
    std::string recovery;
    if (const std::size_t at = descriptor.find(kRecoveryMarker); at != std::string::npos) {
        recovery = descriptor.substr(at + kRecoveryMarker.size());
        descriptor.resize(at);
    }
    const std::size_t marker = descriptor.find(kChecksumMarker);
    if (marker != std::string::npos) {
        run.checksums = descriptor.substr(marker + kChecksumMarker.size());
        descriptor.resize(marker);
    }
    size = descriptor.size();
    const std::size_t metaAt = descriptor.find(std::string(partwise::kMetaHeader) + "\n");
    if (metaAt != std::string::npos) {
        run.meta = descriptor.substr(metaAt);
        descriptor.resize(metaAt);
        size = metaAt;
    }
    run.inputs[partwise::kDescriptorFileName] = descriptor;
    WriteWhole(run.chunkFolder + "/" + partwise::kDescriptorFileName, descriptor);

    const std::size_t nameOffset = offsetof(partwise::DescriptorHeader, sourceName);
    std::string name;
    if (size > nameOffset) {
        const std::size_t width = std::min(size - nameOffset, sizeof(partwise::DescriptorHeader::sourceName));
        name = partwise::FieldText(descriptor.data() + nameOffset, width);
    }
    run.chunkStem = StemOf(name);
    if (run.chunkStem.find('/') != std::string::npos || run.chunkStem.size() > 200) run.chunkStem = "set";
    for (int i = 0; i < kChunkCount; ++i) {
        const std::string chunkName = run.chunkStem + "_" + std::to_string(i) + ".spt";
        run.inputs[chunkName] = ChunkBytes(i);
        WriteWhole(run.chunkFolder + "/" + chunkName, ChunkBytes(i));
    }
    if (!run.meta.empty()) {
        const std::string metaName = run.chunkStem + partwise::kMetaSuffix;
        run.inputs[metaName] = run.meta;
        WriteWhole(run.chunkFolder + "/" + metaName, run.meta);
    }
    if (run.checksums) {
        run.inputs[run.chunkStem + ".xxh128"] = *run.checksums;
        WriteWhole(run.chunkFolder + "/" + run.chunkStem + ".xxh128", *run.checksums);
    }
    LayDownRecovery(run, recovery);
    struct stat st {};
    if (::lstat(run.sentinel.c_str(), &run.sentinelBefore) != 0 || ::lstat(run.work.c_str(), &st) != 0)
        Violation("cannot look at the work folder");
    run.workMode = st.st_mode;
}

// The folders the metadata file may have the join make, below the root name.
void AccountMetaFolders(Run& run, const std::string& name) {
    std::istringstream lines(run.meta);
    std::string line;
    std::getline(lines, line);  // the header
    partwise::MetaEntry entry;
    while (std::getline(lines, line)) {
        if (!partwise::ParseMetaLine(line, entry) || entry.kind != 'D') continue;
        const auto parts = Components(entry.path);
        if (!parts) continue;
        for (std::size_t k = 1; k <= parts->size(); ++k) run.folders.insert(name + "/" + JoinParts(*parts, k));
    }
}

std::string HashHex(const std::string& bytes) {
    XXH128_canonical_t canonical;
    XXH128_canonicalFromHash(&canonical, XXH3_128bits(bytes.data(), bytes.size()));
    std::string hex;
    for (unsigned char byte : canonical.digest) {
        hex += "0123456789abcdef"[byte >> 4];
        hex += "0123456789abcdef"[byte & 15];
    }
    return hex;
}

// What the checksum file laid down says of each chunk, read independently of
// the engine: a line is exactly "<32 lowercase hex digits>  <stem>_<i>.spt";
// a chunk with lines that disagree has none. Chunks the set lacks are left out.
std::map<int32_t, std::optional<std::string>> ChecksumLines(const Run& run, const std::string& stem,
                                                            int32_t chunkCount) {
    std::map<int32_t, std::optional<std::string>> lines;
    if (!run.checksums || stem != run.chunkStem) return lines;
    std::istringstream text(*run.checksums);
    std::string line;
    while (std::getline(text, line)) {
        if (line.size() < 34 || line.compare(32, 2, "  ") != 0 || line.find_first_not_of("0123456789abcdef") < 32)
            continue;
        const std::string name = line.substr(34), prefix = stem + "_";
        if (name.size() <= prefix.size() + 4 || name.compare(0, prefix.size(), prefix) != 0 ||
            name.compare(name.size() - 4, 4, ".spt") != 0)
            continue;
        const std::string digits = name.substr(prefix.size(), name.size() - prefix.size() - 4);
        if (digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos ||
            (digits.size() > 1 && digits[0] == '0'))
            continue;
        const auto index = static_cast<int32_t>(std::stol(digits));
        if (index >= chunkCount) continue;
        const std::string digest = line.substr(0, 32);
        auto [at, added] = lines.emplace(index, digest);
        if (!added && at->second != digest) at->second.reset();
    }
    return lines;
}

// Bytes of a chunk whose line differs are never placed, nor called good.
void CheckChecksums(const Run& run, bool joined, const partwise::ChunkSetCheck& check) {
    const std::string stem = StemOf(partwise::GetSourceName());
    std::vector<const partwise::ChunkRecord*> chunks;
    partwise::CopyChunkRecords(chunks);
    const auto chunkCount = static_cast<int32_t>(chunks.size());
    const auto lines = ChecksumLines(run, stem, chunkCount);
    auto lineIsWrong = [&](int32_t index) {
        const auto line = lines.find(index);
        const auto content = ChunkContent(run, stem, index);
        return line != lines.end() && line->second && content && *line->second != HashHex(*content);
    };
    int32_t rightLines = 0;
    for (const auto& [index, digest] : lines) {
        const auto content = ChunkContent(run, stem, index);
        rightLines += digest && content && *digest == HashHex(*content) ? 1 : 0;
    }
    if (check.matched > rightLines || check.matched + check.partlyChecked > check.chunkCount)
        Violation("the join counted " + std::to_string(check.matched) + " chunks as matched, " +
                  std::to_string(rightLines) + " have a right line");
    if (joined) {
        std::vector<const partwise::FileRecord*> records;
        partwise::CopyFileRecords(records);
        for (int32_t i = 0; i < chunkCount; ++i) {
            bool read = records.empty();
            for (const partwise::FileRecord* record : records)
                read = read || (record->chunkIndex == i && record->length > 0);
            if (read && lineIsWrong(i))
                Violation("the join placed bytes of chunk " + std::to_string(i) + ", whose checksum line differs");
        }
    }

    // Kept as text: the full check loads the descriptor again.
    std::vector<std::string> recorded;
    for (const partwise::ChunkRecord* record : chunks)
        recorded.emplace_back(record->fingerprint, ::strnlen(record->fingerprint, 32));
    std::vector<partwise::FullCheckEntry> entries;
    partwise::ChunkSetCheck full;
    if (partwise::CheckChunkSetFully(run.chunkFolder, entries, full) != 0) {
        RequireReason("CheckChunkSetFully");
        return;
    }
    for (std::size_t k = 0; k < entries.size(); ++k) {
        const partwise::FullCheckEntry& entry = entries[k];
        const auto line = lines.find(entry.chunkIndex);
        const auto content = ChunkContent(run, stem, entry.chunkIndex);
        // The join asks for the recorded fingerprint too, an empty one included.
        const bool fingerprintMatches = content && k < recorded.size() &&
                                        partwise::FingerprintOfBytes(static_cast<int64_t>(content->size()),
                                                                     content->data(), content->size()) == recorded[k];
        const bool right =
            line != lines.end() && line->second && content && *line->second == HashHex(*content) && fingerprintMatches;
        if ((entry.verdict == partwise::ChunkVerdict::kOk) != right)
            Violation("the full check calls chunk " + std::to_string(entry.chunkIndex) + " " +
                      partwise::VerdictWord(entry.verdict));
        if (lineIsWrong(entry.chunkIndex) && entry.verdict != partwise::ChunkVerdict::kDamaged)
            Violation("the full check missed the damage of chunk " + std::to_string(entry.chunkIndex));
    }
}

// The descriptor's first reserved byte, which the engine ignores, chooses
// what already waits in the output folder: links out of it, or earlier
// outputs that a failed join must leave as they are.
void PlantOutputs(Run& run, uint8_t choice) {
    const std::string name = partwise::GetSourceName();
    if (!IsPlainName(name) || choice == 0 || choice > 5) return;
    std::vector<const partwise::FileRecord*> records;
    partwise::CopyFileRecords(records);
    std::vector<std::string> first;
    if (!records.empty()) {
        const auto parts = Components(partwise::FieldText(records[0]->relativePath, sizeof records[0]->relativePath));
        if (parts && std::all_of(parts->begin(), parts->end(), [](const std::string& p) { return p.size() <= 255; }))
            first = *parts;
    }
    const std::string root = run.outputFolder + "/" + name;
    switch (choice) {
        case 1:
            MakeLink(run.work, root);
            run.planted[name] = {Planted::kLink, run.work};
            break;
        case 2:
            MakeLink(run.sentinel, root);
            run.planted[name] = {Planted::kLink, run.sentinel};
            break;
        case 3:
        case 5:
            MakeFolder(root);
            run.planted[name] = {Planted::kFolder, ""};
            if (first.empty() || first.size() > 8) break;
            if (choice == 3) {
                MakeLink(run.work, root + "/" + first[0]);
                run.planted[name + "/" + first[0]] = {Planted::kLink, run.work};
                break;
            }
            for (std::size_t i = 1; i < first.size(); ++i) {
                const std::string folder = name + "/" + JoinParts(first, i);
                MakeFolder(run.outputFolder + "/" + folder);
                run.planted[folder] = {Planted::kFolder, ""};
            }
            WriteWhole(root + "/" + JoinParts(first, first.size()), kPreviousText);
            run.planted[name + "/" + JoinParts(first, first.size())] = {Planted::kFile, kPreviousText};
            break;
        case 4:
            WriteWhole(root, kPreviousText);
            run.planted[name] = {Planted::kFile, kPreviousText};
            break;
    }
}

// What a join of the descriptor as the engine now holds it may write: the
// content of each output file follows from the records and the chunk bytes
// alone, independently of how the joiner goes about it.
void Account(Run& run) {
    const std::string name = partwise::GetSourceName();
    if (!IsPlainName(name)) return;
    const std::string stem = StemOf(name);
    std::vector<const partwise::ChunkRecord*> chunks;
    partwise::CopyChunkRecords(chunks);
    const auto chunkCount = static_cast<int32_t>(chunks.size());
    run.folderJoin = partwise::GetFileRecordCount() > 0;

    auto addFile = [&run](const std::string& path, std::optional<std::string> content) {
        if (run.files.find(path) == run.files.end()) run.fileOrder.push_back(path);
        if (content)
            run.namedBytes += static_cast<int64_t>(content->size());
        else
            run.namedBytesKnown = false;
        run.files[path].push_back(std::move(content));
    };

    if (!run.folderJoin) {
        std::optional<std::string> content = std::string();
        for (int32_t i = 0; i < chunkCount && content; ++i) {
            const auto chunk = ChunkContent(run, stem, i);
            if (chunk)
                *content += *chunk;
            else
                content.reset();
        }
        addFile(name, std::move(content));
        return;
    }

    run.folders.insert(name);
    AccountMetaFolders(run, name);
    std::vector<const partwise::FileRecord*> records;
    partwise::CopyFileRecords(records);
    std::size_t i = 0;
    while (i < records.size()) {
        const std::string relative = partwise::FieldText(records[i]->relativePath, sizeof records[i]->relativePath);
        std::optional<std::string> content = std::string();
        std::size_t end = i;
        for (; end < records.size() &&
               partwise::FieldText(records[end]->relativePath, sizeof records[end]->relativePath) == relative;
             ++end) {
            const partwise::FileRecord& record = *records[end];
            if (record.length == 0 || !content) continue;
            const auto chunk =
                record.chunkIndex < chunkCount ? ChunkContent(run, stem, record.chunkIndex) : std::nullopt;
            if (!chunk || record.offsetInChunk < 0 || record.length < 0 ||
                record.offsetInChunk > static_cast<int64_t>(chunk->size()) ||
                record.length > static_cast<int64_t>(chunk->size()) - record.offsetInChunk)
                content.reset();
            else
                *content += chunk->substr(static_cast<std::size_t>(record.offsetInChunk),
                                          static_cast<std::size_t>(record.length));
        }
        i = end;
        // The join makes the folders up to the name's last "/" before it
        // knows whether the file can be placed: "a/." leaves the folder "a".
        const std::size_t slash = relative.rfind('/');
        const auto folderParts = Components(slash == std::string::npos ? "" : relative.substr(0, slash));
        const auto parts = Components(relative);
        if (!parts || !folderParts) continue;
        for (std::size_t k = 1; k <= folderParts->size(); ++k)
            run.folders.insert(name + "/" + JoinParts(*folderParts, k));
        if (!parts->empty()) addFile(name + "/" + JoinParts(*parts, parts->size()), std::move(content));
    }
}

void CheckReader(std::size_t size) {
    const partwise::DescriptorState& state = partwise::Descriptor();
    // Records take no more memory than the file has bytes: at most one is
    // cut short, and none is made past the end.
    const std::size_t recordBytes = state.chunkRecords.size() * sizeof(partwise::ChunkRecord) +
                                    state.fileRecords.size() * sizeof(partwise::FileRecord);
    const std::size_t headerSize = sizeof(partwise::DescriptorHeader);
    if (recordBytes > 0 && (size <= headerSize || recordBytes >= size - headerSize + sizeof(partwise::FileRecord)))
        Violation("the reader made " + std::to_string(recordBytes) + " bytes of records from a file of " +
                  std::to_string(size) + " bytes");
    // The join trusts this flag to refuse a descriptor cut short.
    if (!state.truncated &&
        (state.chunkRecords.size() != static_cast<std::size_t>(std::max(0, state.header.chunkCount)) ||
         state.fileRecords.size() != static_cast<std::size_t>(std::max(0, state.header.fileRecordCount))))
        Violation("the reader holds fewer records than the counts promise but did not mark the descriptor cut short");
}

// Exactly the entries listed, each a real folder or file with its bytes.
void CheckUnchanged(const Run& run) {
    std::set<std::string> top;
    for (const auto& entry : fs::directory_iterator(run.work)) top.insert(entry.path().filename().string());
    if (top != std::set<std::string>{"out", "sentinel", "set_spt"}) {
        std::string names;
        for (const std::string& name : top) names += " '" + name + "'";
        Violation("the work folder now holds" + names);
    }
    struct stat st {};
    if (::lstat(run.outputFolder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        Violation("the output folder was replaced");
    if (::lstat(run.chunkFolder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) Violation("the chunk folder was replaced");
    if (::lstat(run.sentinel.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || ReadWhole(run.sentinel) != kSentinelText)
        Violation("the sentinel beside the output folder changed");
    if (st.st_mode != run.sentinelBefore.st_mode || st.st_mtim.tv_sec != run.sentinelBefore.st_mtim.tv_sec ||
        st.st_mtim.tv_nsec != run.sentinelBefore.st_mtim.tv_nsec)
        Violation("the sentinel's mode or time changed");
    if (::lstat(run.work.c_str(), &st) != 0 || st.st_mode != run.workMode) Violation("the work folder's mode changed");

    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(run.chunkFolder)) {
        const std::string name = entry.path().filename().string();
        names.insert(name);
        const auto input = run.inputs.find(name);
        if (input == run.inputs.end()) Violation("the join left '" + name + "' in the chunk folder");
        if (!entry.is_regular_file() || entry.is_symlink() || ReadWhole(entry.path().string()) != input->second)
            Violation("the join changed its input '" + name + "'");
    }
    if (names.size() != run.inputs.size()) Violation("the join removed one of its inputs");
}

bool HoldsAnyOf(const std::string& path, const std::vector<std::optional<std::string>>& contents) {
    const std::string bytes = ReadWhole(path);
    return std::any_of(contents.begin(), contents.end(), [&bytes](const auto& c) { return c && *c == bytes; });
}

void CheckOutputs(const Run& run, bool joined) {
    for (const auto& [relative, planted] : run.planted) {
        const std::string path = run.outputFolder + "/" + relative;
        if (StillThere(path, planted)) continue;
        const auto file = run.files.find(relative);
        if (file == run.files.end()) Violation("the join changed '" + relative + "', which it does not name");
        // A completed file of a failed folder join stays in place.
        struct stat st {};
        if (!joined && !run.folderJoin) Violation("the failed join replaced the existing '" + relative + "'");
        if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || !HoldsAnyOf(path, file->second))
            Violation("the join left '" + relative + "' neither as it was nor complete");
    }

    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(run.outputFolder, error); !error && it != fs::end(it);
         it.increment(error)) {
        // Lexically: a planted link must not be resolved into its target.
        const std::string relative = it->path().lexically_relative(run.outputFolder).string();
        const auto planted = run.planted.find(relative);
        if (planted != run.planted.end() && StillThere(it->path().string(), planted->second)) continue;
        const fs::file_status status = it->symlink_status();
        if (fs::is_directory(status)) {
            if (run.folders.count(relative) == 0)
                Violation("the join made the folder '" + relative + "', which it does not name");
            continue;
        }
        if (!fs::is_regular_file(status)) Violation("the join made '" + relative + "', which is not a file or folder");
        const auto file = run.files.find(relative);
        if (file == run.files.end()) Violation("the join left '" + relative + "', which the descriptor does not name");
        // A failed join may leave completed files, never partial ones.
        const bool complete = joined ? file->second.back() && ReadWhole(it->path().string()) == *file->second.back()
                                     : HoldsAnyOf(it->path().string(), file->second);
        if (!complete) Violation("the join left '" + relative + "' with content the chunks do not account for");
    }
    if (error) Violation("cannot list the output folder: " + error.message());

    if (!joined) return;
    if (run.files.empty()) Violation("the join succeeded without writing anything");
    for (const std::string& relative : run.fileOrder) {
        struct stat st {};
        if (::lstat((run.outputFolder + "/" + relative).c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            Violation("the join succeeded without making '" + relative + "'");
    }
    if (!run.namedBytesKnown || run.namedBytes != partwise::GetTotalSize())
        Violation("the join succeeded although its files do not hold the " + std::to_string(partwise::GetTotalSize()) +
                  " bytes the descriptor records");
}

}  // namespace

int RunOne(const uint8_t* data, std::size_t size) {
    partwise::ResetDescriptorState();
    partwise::ClearLastError();
    WorkFolder work;
    Run run;
    run.work = work.path();
    LayDown(run, data, size);
    const std::size_t descriptorSize = run.inputs[partwise::kDescriptorFileName].size();

    if (partwise::ReadDescriptor(run.chunkFolder) != 0) {
        RequireReason("ReadDescriptor");
    } else {
        CheckReader(descriptorSize);
        PlantOutputs(run, size > 0 ? data[0] : 0);
    }

    std::vector<partwise::ChunkEntry> entries;
    std::string digest, sourceName;
    if (partwise::InspectChunkSet(run.chunkFolder, entries, digest, sourceName) != 0) {
        RequireReason("InspectChunkSet");
    } else {
        if (entries.size() != partwise::Descriptor().chunkRecords.size())
            Violation("the inspection lists another number of chunks than the descriptor holds");
        for (const partwise::ChunkEntry& entry : entries)
            if (entry.verdict == 0 && entry.chunkFileSize < 0) Violation("the inspection found a missing chunk good");
    }
    CheckUnchanged(run);

    partwise::ChunkSetCheck check;
    const bool joined = partwise::RunJoin(run.chunkFolder, run.outputFolder, {}, &check) == 0;
    if (!joined) RequireReason("RunJoin");
    g_outcome = joined ? "joined" : "refused: " + partwise::GetLastErrorText();
    partwise::ReadDescriptor(run.chunkFolder);  // the join leaves the file records on disk
    Account(run);
    CheckUnchanged(run);
    CheckOutputs(run, joined);
    if (partwise::ReadDescriptor(run.chunkFolder) == 0) CheckChecksums(run, joined, check);
    CheckUnchanged(run);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) { return RunOne(data, size); }

#ifdef DESCRIPTOR_FUZZ_REPLAY
// Runs every file of the folders (or the files) given; fails when none was found.
int main(int argc, char** argv) {
    std::vector<std::string> inputs;
    for (int i = 1; i < argc; ++i) {
        std::error_code error;
        if (fs::is_directory(argv[i], error)) {
            for (const auto& entry : fs::directory_iterator(argv[i]))
                if (entry.is_regular_file()) inputs.push_back(entry.path().string());
        } else if (fs::is_regular_file(argv[i], error)) {
            inputs.emplace_back(argv[i]);
        } else {
            std::fprintf(stderr, "descriptor_fuzz_replay: cannot read '%s'\n", argv[i]);
            return 2;
        }
    }
    if (inputs.empty()) {
        std::fprintf(stderr, "usage: descriptor_fuzz_replay FOLDER_OR_FILE...  (no inputs found)\n");
        return 2;
    }
    std::sort(inputs.begin(), inputs.end());
    for (const std::string& input : inputs) {
        g_inputName = input;
        const std::string bytes = ReadWhole(input);
        RunOne(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
        std::printf("%s: %s\n", fs::path(input).filename().c_str(), g_outcome.c_str());
    }
    std::printf("replayed %zu inputs\n", inputs.size());
    return 0;
}
#endif
