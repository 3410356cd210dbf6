// partwise-cli: splits a file or folder tree into a chunk set, lists a chunk
// set and joins it back, from a terminal or a script.
#include <CLI/CLI.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "partwise/checksums.h"
#include "partwise/chunk_check.h"
#include "partwise/chunk_names.h"
#include "partwise/descriptor.h"
#include "partwise/errors.h"
#include "partwise/fsutil.h"
#include "partwise/job_checks.h"
#include "partwise/joiner.h"
#include "partwise/md5.h"
#include "partwise/media.h"
#include "partwise/progress.h"
#include "partwise/recovery.h"
#include "partwise/splitter.h"
#include "partwise/verdicts.h"
#include "size_text.h"

namespace {

using partwise::ChunkSizeForCount;
using partwise::cli::ParseCount;
using partwise::cli::ParseSizeText;

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// The signal that cancelled the job, 0 for none.
volatile std::sig_atomic_t g_cancelSignal = 0;

extern "C" void OnCancelSignal(int signo) {
    g_cancelSignal = signo;
    partwise::RequestCancel();
}

constexpr const char* kSplitUsage =
    "partwise-cli split (SOURCE | - --name NAME) [-o DIR] (-s SIZE | -n COUNT) [-r N | -r P%] [-p PASSWORD] [-f] "
    "[--many-chunks] [-q] [-v] [--join-script] [--no-sync]";
constexpr const char* kListUsage = "partwise-cli list CHUNK_FOLDER [--full] [-q]";
constexpr const char* kJoinUsage =
    "partwise-cli join CHUNK_FOLDER [-o DIR | -o - [--verify-first]] [-p PASSWORD] [-f] [-q] [--no-metadata] "
    "[--ignore-checksums] [--no-sync]";
constexpr const char* kRepairUsage = "partwise-cli repair CHUNK_FOLDER [-q]";
constexpr const char* kOtherUsage = "partwise-cli --version | --help";

struct Options {
    std::string source;
    std::string name;  // the recorded name of a split of standard input
    std::string chunkFolder;
    std::string output;
    std::string size;
    std::string count;
    std::string password;
    std::string recovery;
    bool hasSize = false;
    bool hasCount = false;
    bool quiet = false;
    bool force = false;
    bool verbose = false;
    bool noMetadata = false;
    bool ignoreChecksums = false;
    bool noSync = false;
    bool full = false;
    bool joinScript = false;
    bool manyChunks = false;
    bool verifyFirst = false;
};

// "-" as a split's source or a join's output.
constexpr const char* kStandardStream = "-";

int Fail(const std::string& reason) {
    std::fprintf(stderr, "partwise-cli: error: %s\n", reason.c_str());
    return kExitFailure;
}

void Note(const std::string& text) { std::fprintf(stderr, "partwise-cli: note: %s\n", text.c_str()); }

// Why a chunk is not ok, one line beside its listed row.
void ChunkReasonLine(const std::string& chunkPath, partwise::ChunkReason reason) {
    if (reason != partwise::ChunkReason::kNone)
        std::fprintf(stderr, "partwise-cli: %s: %s\n", chunkPath.c_str(), partwise::ReasonText(reason));
}

// Said of every chunk checked by its size and first KiB only.
std::string PartlyCheckedNote(int32_t partly, int32_t count) {
    return std::to_string(partly) + " of " + std::to_string(count) + (count == 1 ? " chunk" : " chunks") +
           (partly == 1 ? " has" : " have") + " no checksum; only " + (partly == 1 ? "its" : "their") +
           " first KiB could be checked";
}

// usage is one subcommand's synopsis, or null for all of them.
int UsageError(const std::string& reason, const char* usage) {
    std::fprintf(stderr, "partwise-cli: error: %s\n", reason.c_str());
    if (usage != nullptr) {
        std::fprintf(stderr, "usage: %s\n", usage);
    } else {
        std::fprintf(stderr, "usage: %s\n", kSplitUsage);
        for (const char* line : {kListUsage, kJoinUsage, kRepairUsage, kOtherUsage})
            std::fprintf(stderr, "       %s\n", line);
    }
    return kExitUsage;
}

// The engine's reason for its latest failure, which names the path.
std::string EngineReason(const std::string& fallback) {
    std::string text = partwise::GetLastErrorText();
    return text.empty() ? fallback : text;
}

// The engine names a chunk set after the text behind the last '/', so it
// must get "/abs/name", never "name/", "." or "..".
std::optional<std::string> AbsolutePath(const std::string& text, std::string& error) {
    std::error_code code;
    std::filesystem::path path = std::filesystem::absolute(text, code);
    if (code) {
        error = text + ": " + code.message();
        return std::nullopt;
    }
    std::string normal = path.lexically_normal().string();
    while (normal.size() > 1 && normal.back() == '/') normal.pop_back();
    return normal;
}

std::string ParentFolder(const std::string& absolutePath) {
    return std::filesystem::path(absolutePath).parent_path().string();
}

// A missing output folder is made when its parent exists, as the window does
// after asking, but never its parents: with a stick unmounted, "-o
// /media/usb/x" must fail rather than fill the disk the mount point is on.
// made tells whether it was made, so that a failed job can take it back.
int MakeOutputFolder(const std::string& folder, bool& made) {
    made = false;
    struct stat st {};
    // What else is wrong with it, the job reports.
    if (::stat(folder.c_str(), &st) == 0 || errno != ENOENT) return 0;
    if (partwise::CreateFolder(folder) != 0) return Fail(partwise::GetLastErrorText());
    made = true;
    return 0;
}

// After a failed job: the output folder goes again when it was made for it
// and nothing is in it.
void TakeBackOutputFolder(const std::string& folder, bool made) {
    if (made) ::rmdir(folder.c_str());
}

std::string JoinPath(const std::string& folder, const std::string& name) {
    return folder == "/" ? "/" + name : folder + "/" + name;
}

void DrawProgress(std::chrono::steady_clock::time_point start, partwise::RateEstimate& rate, bool stream) {
    int64_t done = partwise::GetBytesDone();
    int64_t total = partwise::GetTotalBytes();
    if (stream) {
        // The end of a stream is not known: the bytes read and the speed.
        rate.Sample(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), done);
        const std::string speed =
            rate.Meaningful() ? partwise::FormatSize(static_cast<int64_t>(rate.BytesPerSecond())) + "/s" : "";
        std::fprintf(stderr, "\r%s  %s\033[K", partwise::FormatSize(done).c_str(), speed.c_str());
        std::fflush(stderr);
        return;
    }
    double percent =
        total > 0 ? 100.0 * static_cast<double>(std::min(done, total)) / static_cast<double>(total) : 100.0;
    rate.Sample(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), done);
    // \033[K clears what a longer previous line left behind.
    const std::string rateText = partwise::IsFlushing() ? partwise::kFlushingText : rate.Text(total);
    std::fprintf(stderr, "\r%3d%%  %s / %s  %s\033[K", static_cast<int>(percent), partwise::FormatSize(done).c_str(),
                 partwise::FormatSize(total).c_str(), rateText.c_str());
    std::fflush(stderr);
}

// The engine reports progress only through its counters, so the job runs on
// a worker thread while this one redraws the bar from them.
int RunJob(const std::function<int()>& job, bool quiet, bool stream = false) {
    if (quiet || ::isatty(STDERR_FILENO) == 0) return job();
    auto start = std::chrono::steady_clock::now();
    partwise::RateEstimate rate;
    std::future<int> result = std::async(std::launch::async, job);
    while (result.wait_for(std::chrono::milliseconds(200)) != std::future_status::ready)
        DrawProgress(start, rate, stream);
    DrawProgress(start, rate, stream);
    std::fputc('\n', stderr);
    return result.get();
}

// One line on what a folder split left out, and with verbose each entry.
void ReportPassedOver(const std::string& source, const partwise::SplitReport& report, bool verbose) {
    const std::string counts = partwise::DescribePassedOver(report.passedOver);
    if (counts.empty()) return;
    std::fprintf(stderr, "partwise-cli: %s: %s%s\n", source.c_str(), counts.c_str(),
                 verbose ? ":" : " (-v lists them)");
    if (!verbose) return;
    for (const partwise::PassedOverEntry& entry : report.passedOver)
        std::fprintf(stderr, "  %s: %s\n", partwise::PassedOverKindName(entry.kind), entry.path.c_str());
}

partwise::SplitJob MakeSplitJob(const Options& options, const std::string& source, const std::string& output,
                                int64_t totalSize, int64_t chunkSize) {
    partwise::SplitJob job{};
    std::memcpy(job.sourcePath, source.data(), source.size());
    std::memcpy(job.outputFolder, output.data(), output.size());
    std::memcpy(job.password, options.password.data(), options.password.size());
    job.totalSize = totalSize;
    job.chunkSize = chunkSize;
    job.replaceOtherSet = options.force ? 1 : 0;
    job.joinScript = options.joinScript ? 1 : 0;
    job.skipFlush = options.noSync ? 1 : 0;
    return job;
}

// Another source's set in the chunk folder is replaced only with -f. Returns
// 0, or 1 after saying what the folder holds.
int RefuseOtherSet(const Options& options, const partwise::SplitJob& job) {
    std::string heldSource;
    if (options.force || partwise::FindOtherChunkSet(job, heldSource) != 1) return 0;
    return Fail(partwise::GetLastErrorText() + "; give -f to replace it");
}

// Checks --name and the options a stream cannot have, and gives the output
// folder (default: the current one). Returns 0, or the exit status after
// the reason was given.
int PrepareStreamSplit(const Options& options, std::string& output) {
    if (options.hasCount)
        return UsageError("--count needs the size in advance; a split of standard input takes --size", kSplitUsage);
    if (options.name.empty()) return UsageError("a split of standard input needs --name NAME", kSplitUsage);
    if (std::string problem = partwise::SourceNameProblem(options.name); !problem.empty())
        return UsageError("--name: " + problem, kSplitUsage);
    std::string error;
    std::optional<std::string> folder = AbsolutePath(options.output.empty() ? "." : options.output, error);
    if (!folder) return Fail(error);
    output = *folder;
    return 0;
}

// The bytes of standard input up to its end, under --name.
int SplitStream(const Options& options, int64_t chunkSize) {
    std::string output;
    if (int status = PrepareStreamSplit(options, output); status != 0) return status;
    // The job's source path only carries the name: nothing is read there.
    const std::string source = JoinPath(output, options.name);
    const std::string problem = partwise::SplitOptionsProblem(source, output, options.password, chunkSize);
    if (!problem.empty()) return UsageError(problem, kSplitUsage);
    // A stream's size is unknown: any set of its name is its own.
    partwise::SplitJob job = MakeSplitJob(options, source, output, -1, chunkSize);
    if (RefuseOtherSet(options, job) != 0) return kExitFailure;
    bool madeOutput = false;
    if (MakeOutputFolder(output, madeOutput) != 0) return kExitFailure;
    partwise::SplitReport report;
    // The million-chunk rule holds as the chunks are written.
    const int64_t maxChunks = options.manyChunks ? partwise::kMaxChunkCount : partwise::kManyChunks;
    const auto split = [&] { return partwise::RunSplitFromStream(job, STDIN_FILENO, maxChunks, &report); };
    if (RunJob(split, options.quiet, true) != 0) {
        TakeBackOutputFolder(output, madeOutput);
        const std::string reason = EngineReason("standard input: the split failed");
        return Fail(report.chunkLimitReached && !options.manyChunks ? reason + "; give --many-chunks to make more"
                                                                    : reason);
    }
    const partwise::ChunkSetNames names = partwise::DeriveChunkSetNames(source, output);
    if (!report.joinScriptNote.empty()) Note(names.chunkFolder + ": " + report.joinScriptNote);
    std::printf("%s\n", names.chunkFolder.c_str());
    return 0;
}

int Split(const Options& options) {
    if (options.hasSize == options.hasCount && options.source != kStandardStream)
        return UsageError("give either --size or --count", kSplitUsage);
    if (!options.name.empty() && options.source != kStandardStream)
        return UsageError("--name is for a split of standard input (SOURCE -)", kSplitUsage);
    std::optional<int64_t> chunkSize;
    std::optional<int64_t> count;
    if (options.hasSize && !(chunkSize = ParseSizeText(options.size)))
        return UsageError("invalid chunk size '" + options.size +
                              "': expected a whole number of bytes above 0, optionally "
                              "followed by K, M or G, or a preset (see --help)",
                          kSplitUsage);
    if (options.hasCount && !(count = ParseCount(options.count)))
        return UsageError("invalid chunk count '" + options.count + "': expected a whole number above 0", kSplitUsage);
    if (options.source == kStandardStream) {
        if (!options.hasSize && !options.hasCount) return UsageError("give --size", kSplitUsage);
        if (!options.recovery.empty())
            return UsageError(
                "-r is not taken with a split of standard input yet: its recovery files are read back "
                "from chunks of a known count",
                kSplitUsage);
        return SplitStream(options, chunkSize.value_or(0));
    }

    partwise::RecoveryRequest recovery;
    if (!options.recovery.empty() && partwise::ParseRecoveryRequest(options.recovery, recovery) != 0)
        return UsageError(partwise::GetLastErrorText(), kSplitUsage);

    std::string error;
    std::optional<std::string> source = AbsolutePath(options.source, error);
    if (!source) return Fail(error);
    if (*source == "/") return Fail("/: the root folder cannot be split");
    std::optional<std::string> output =
        options.output.empty() ? ParentFolder(*source) : AbsolutePath(options.output, error);
    if (!output) return Fail(error);
    // A count always gives at least the smallest chunk it may.
    const std::string problem = partwise::SplitOptionsProblem(*source, *output, options.password,
                                                              chunkSize.value_or(partwise::kMinChunkSizeForCount));
    if (!problem.empty()) return UsageError(problem, kSplitUsage);

    struct stat info {};
    if (::stat(source->c_str(), &info) != 0) return Fail(*source + ": " + std::strerror(errno));
    partwise::ClearLastError();
    int64_t totalSize = partwise::GetPathSize(*source);
    if (totalSize < 0) return Fail(EngineReason(*source + ": its size cannot be measured"));

    partwise::SplitJob job = MakeSplitJob(options, *source, *output, totalSize,
                                          chunkSize ? *chunkSize : ChunkSizeForCount(totalSize, *count));
    const int64_t chunkCount = partwise::ChunkCountFor(totalSize, job.chunkSize);
    if (chunkCount > partwise::kManyChunks && !options.manyChunks)
        return Fail(*source + ": this makes " + partwise::FormatCount(chunkCount) +
                    " chunks; give --many-chunks to make more than " + partwise::FormatCount(partwise::kManyChunks));
    job.recoveryCount = recovery.count;
    job.recoveryPercent = recovery.percent;
    if (RefuseOtherSet(options, job) != 0) return kExitFailure;

    bool madeOutput = false;
    if (MakeOutputFolder(*output, madeOutput) != 0) return kExitFailure;
    partwise::SplitReport report;
    if (RunJob([&job, &report] { return partwise::RunSplit(job, &report); }, options.quiet) != 0) {
        TakeBackOutputFolder(*output, madeOutput);
        return Fail(EngineReason(*source + ": the split failed"));
    }
    ReportPassedOver(*source, report, options.verbose);
    const partwise::ChunkSetNames names = partwise::DeriveChunkSetNames(*source, *output);
    if (!report.joinScriptNote.empty()) Note(names.chunkFolder + ": " + report.joinScriptNote);
    if (totalSize > 0 && !partwise::NameFitsChecksumFile(names.sourceName))
        Note(partwise::QuoteName(names.chunkFolder) + ": no checksum file: the name " +
             partwise::QuoteName(names.stem) +
             " holds a line break, which it cannot record; only the first KiB of each chunk can be checked");
    std::printf("%s\n", names.chunkFolder.c_str());
    return 0;
}

// Inspects the chunk folder given as text, handing each chunk to visit as it
// is checked. Returns 0, or the exit status after reporting why the folder is
// no chunk set.
int Inspect(const std::string& text, std::string& folder, partwise::ChunkSetSummary& summary,
            const partwise::ChunkVisitor& visit) {
    std::string error;
    std::optional<std::string> absolute = AbsolutePath(text, error);
    if (!absolute) return Fail(error);
    folder = *absolute;
    if (partwise::InspectChunkSet(folder, summary, visit) != 0) return Fail(EngineReason(folder + ": not a chunk set"));
    return 0;
}

void PrintSetHeader(const std::string& folder, const partwise::ChunkSetSummary& set) {
    std::printf("# source: %s\n", set.sourceName.c_str());
    std::printf("# total: %" PRId64 " bytes\n", set.totalSize);
    std::printf("# chunks: %" PRId32 "\n", set.chunkCount);
    std::printf("# password: %s\n", set.hasPassword() ? "yes" : "no");
    struct stat meta {};
    const std::string metaPath = partwise::MetadataFilePath(folder, set.sourceName);
    std::printf("# metadata: %s\n", ::lstat(metaPath.c_str(), &meta) == 0 && S_ISREG(meta.st_mode) ? "yes" : "no");
}

int ReportTruncated(const std::string& folder) {
    return Fail(partwise::BuildDescriptorPath(folder) + ": cut short; it holds fewer records than its header counts");
}

// Every byte of every chunk hashed against the checksum file.
// The lines of `list --full` wait until the progress bar is gone: a few
// bytes per chunk, the path made again when printed.
struct FullCheckRows {
    std::vector<int32_t> indexes;
    std::vector<int64_t> sizes;
    std::vector<partwise::ChunkVerdict> verdicts;
    std::vector<partwise::ChunkReason> reasons;
};

int ListFull(const Options& options, const std::string& folder, const partwise::ChunkSetSummary& set) {
    FullCheckRows rows;
    const auto keep = [&rows](const partwise::FullCheckEntry& entry) {
        rows.indexes.push_back(entry.chunkIndex);
        rows.sizes.push_back(entry.chunkFileSize);
        rows.verdicts.push_back(entry.verdict);
        rows.reasons.push_back(entry.reason);
    };
    partwise::ChunkSetCheck check;
    if (RunJob([&] { return partwise::CheckChunkSetFully(folder, check, keep); }, options.quiet) != 0)
        return Fail(EngineReason(folder + ": the chunks could not be checked"));
    PrintSetHeader(folder, set);
    std::printf("# checksums: %s\n", check.checksumFile.empty() ? "none (first KiB of each chunk checked)" : "xxh128");
    std::string stem = set.sourceName;
    partwise::StripExtension(stem);
    std::size_t bad = 0;
    for (std::size_t i = 0; i < rows.indexes.size(); ++i) {
        const partwise::ChunkVerdict verdict = rows.verdicts[i];
        bad += verdict == partwise::ChunkVerdict::kOk || verdict == partwise::ChunkVerdict::kUnchecked ? 0 : 1;
        const std::string path = partwise::ChunkFilePath(folder, stem, rows.indexes[i]);
        std::printf("%" PRId32 "\t%s\t%" PRId64 "\t%s\n", rows.indexes[i], partwise::VerdictWord(verdict),
                    rows.sizes[i], path.c_str());
        ChunkReasonLine(path, rows.reasons[i]);
    }
    if (set.cutShort) return ReportTruncated(folder);
    std::vector<int32_t> lost;
    for (std::size_t i = 0; i < rows.indexes.size(); ++i)
        if (rows.verdicts[i] != partwise::ChunkVerdict::kOk && rows.verdicts[i] != partwise::ChunkVerdict::kUnchecked)
            lost.push_back(rows.indexes[i]);
    partwise::RecoveryCheck recovery;
    if (partwise::CheckRecoveryFiles(folder, lost, recovery) != 0)
        return Fail(EngineReason(folder + ": the recovery files could not be checked"));
    for (const partwise::RecoveryFileEntry& file : recovery.files) {
        const std::string path = folder + "/" + file.name;
        std::printf("r%" PRId32 ".%" PRId32 "\t%s\t%" PRId64 "\t%s\n", file.id.group, file.id.row,
                    partwise::VerdictWord(file.verdict), file.size, path.c_str());
        ChunkReasonLine(path, file.reason);
    }
    if (!recovery.summary.empty()) std::printf("# %s\n", recovery.summary.c_str());
    if (bad > 0)
        return Fail(folder + ": " + std::to_string(bad) + " of " + std::to_string(rows.indexes.size()) +
                    " chunks missing or damaged" +
                    (recovery.perGroup == 0 ? ""
                     : recovery.repairable  ? "; repair rebuilds them"
                                            : ""));
    if (check.partlyChecked > 0) Note(folder + ": " + PartlyCheckedNote(check.partlyChecked, check.chunkCount));
    return 0;
}

int List(const Options& options) {
    std::string folder;
    partwise::ChunkSetSummary set;
    if (options.full) {
        if (int status = Inspect(options.chunkFolder, folder, set, nullptr); status != 0) return status;
        return ListFull(options, folder, set);
    }
    bool headerShown = false;
    // The header is known before the first chunk is checked; each chunk's
    // line goes out as soon as it is.
    const auto showHeader = [&] {
        if (!headerShown) PrintSetHeader(folder, set);
        headerShown = true;
    };
    const auto showChunk = [&](const partwise::ChunkEntry& entry) {
        showHeader();
        std::printf("%" PRId32 "\t%s\t%" PRId64 "\t%s\n", entry.chunkIndex, partwise::QuickVerdictWord(entry.verdict),
                    entry.chunkFileSize, entry.chunkPath.c_str());
        ChunkReasonLine(entry.chunkPath, entry.reason);
    };
    if (int status = Inspect(options.chunkFolder, folder, set, showChunk); status != 0) return status;
    showHeader();
    if (set.cutShort) return ReportTruncated(folder);
    const int64_t bad = set.damagedChunks + set.missingChunks;
    if (bad > 0)
        return Fail(folder + ": " + std::to_string(bad) + " of " + std::to_string(set.goodChunks + bad) +
                    " chunks missing or damaged");
    return 0;
}

// After a join refused a chunk before it wrote anything: names every chunk
// that is missing or damaged, or gives the engine's reason when none is.
int ReportRefusedJoin(const std::string& folder, const std::string& reason) {
    std::string bad;
    int64_t badCount = 0;
    const auto noteBad = [&](const partwise::ChunkEntry& entry) {
        if (entry.verdict == 0) return;
        ChunkReasonLine(entry.chunkPath, entry.reason);
        bad += (bad.empty() ? "" : ", ") + std::to_string(entry.chunkIndex);
        ++badCount;
    };
    partwise::ChunkSetSummary set;
    if (partwise::InspectChunkSet(folder, set, noteBad) != 0 || badCount == 0) return Fail(reason);
    return Fail(folder + (badCount == 1 ? ": chunk " : ": chunks ") + bad + (badCount == 1 ? " is" : " are") +
                " missing or damaged; nothing was written");
}

// What a successful join says besides its output: the chunks it rebuilt and
// those it could check by their first KiB alone.
void NoteJoinedChecks(const std::string& folder, const partwise::ChunkSetCheck& check) {
    for (const partwise::RebuiltChunk& rebuilt : check.rebuilt)
        Note(folder + ": " + partwise::DescribeRebuilt(rebuilt));
    if (check.partlyChecked > 0) Note(folder + ": " + PartlyCheckedNote(check.partlyChecked, check.chunkCount));
}

// Hashes every chunk before the first byte goes out, naming those missing
// or damaged and noting their indices in lost. Returns 0, or the exit status.
int VerifyFirst(const Options& options, const std::string& folder, std::vector<int32_t>& lost) {
    const auto noteBad = [&](const partwise::FullCheckEntry& entry) {
        if (entry.verdict == partwise::ChunkVerdict::kOk || entry.verdict == partwise::ChunkVerdict::kUnchecked) return;
        ChunkReasonLine(entry.chunkPath, entry.reason);
        lost.push_back(entry.chunkIndex);
    };
    partwise::ChunkSetCheck check;
    if (RunJob([&] { return partwise::CheckChunkSetFully(folder, check, noteBad); }, options.quiet) != 0)
        return Fail(EngineReason(folder + ": the chunks could not be checked"));
    return 0;
}

// The joined file to standard output. A reader that went away ends the join
// as it ends cat: killed by SIGPIPE, even when it was started with SIGPIPE
// ignored. Chunks found lost by --verify-first are rebuilt from the recovery
// files before anything goes out, or the join fails with nothing written.
int JoinToStdout(const Options& options, const std::string& folder) {
    if (partwise::GetFileRecordCount() > 0)
        return UsageError("-o - needs a single-file set; a folder set rebuilds a tree", kJoinUsage);
    partwise::JoinOptions joinOptions;
    if (options.verifyFirst && VerifyFirst(options, folder, joinOptions.lostChunks) != 0) return kExitFailure;
    joinOptions.ignoreChecksums = options.ignoreChecksums;
    joinOptions.flush = !options.noSync;
    partwise::ChunkSetCheck check;
    int writeError = 0;
    const auto job = [&] {
        return partwise::RunJoinToStream(folder, STDOUT_FILENO, "standard output", joinOptions, &check, &writeError);
    };
    if (RunJob(job, options.quiet) != 0) {
        if (writeError == EPIPE) partwise::DieOfSignal(SIGPIPE);
        const std::string reason = EngineReason(folder + ": the join failed");
        if (check.checksumFault)
            return Fail(reason + "; nothing was written (--ignore-checksums joins with the first KiB check alone)");
        if (check.refusedChunk >= 0) return ReportRefusedJoin(folder, reason);
        return Fail(check.damagedChunk >= 0 ? reason +
                                                  "; the chunks before it were written (--verify-first checks "
                                                  "every chunk, and rebuilds what it can, before any goes out)"
                                            : reason);
    }
    NoteJoinedChecks(folder, check);
    return 0;
}

int Join(const Options& options) {
    std::string error;
    std::optional<std::string> absolute = AbsolutePath(options.chunkFolder, error);
    if (!absolute) return Fail(error);
    const std::string folder = *absolute;
    const bool toStdout = options.output == kStandardStream;
    if (options.verifyFirst && !toStdout) return UsageError("--verify-first is for -o -", kJoinUsage);
    std::optional<std::string> output = options.output.empty() ? ParentFolder(folder)
                                        : toStdout             ? folder
                                                               : AbsolutePath(options.output, error);
    if (!output) return Fail(error);
    const std::string problem = partwise::JoinOptionsProblem(folder, *output, options.password);
    if (!problem.empty()) return UsageError(problem, kJoinUsage);
    // The join checks every chunk itself before it writes; the chunks are
    // listed one by one only when it refuses.
    partwise::ChunkSetSummary set;
    if (partwise::ReadChunkSetHeader(folder, set) != 0) return Fail(EngineReason(folder + ": not a chunk set"));

    if (set.hasPassword()) {
        if (options.password.empty())
            return Fail(folder +
                        ": the chunk set is protected by a password; give it with -p "
                        "or PARTWISE_PASSWORD");
        if (partwise::CheckPassword(options.password.c_str(), set.passwordDigest.c_str()) != 1)
            return Fail(folder + ": wrong password");
    }
    if (toStdout) return JoinToStdout(options, folder);

    std::string target = JoinPath(*output, set.sourceName);
    struct stat info {};
    if (!options.force && ::lstat(target.c_str(), &info) == 0)
        return Fail(target + ": already exists; give -f to replace it");

    partwise::JoinOptions joinOptions;
    joinOptions.restoreMetadata = !options.noMetadata;
    joinOptions.ignoreChecksums = options.ignoreChecksums;
    joinOptions.replaceExisting = options.force;
    joinOptions.flush = !options.noSync;
    partwise::ChunkSetCheck check;
    bool madeOutput = false;
    if (MakeOutputFolder(*output, madeOutput) != 0) return kExitFailure;
    if (RunJob([&] { return partwise::RunJoin(folder, *output, joinOptions, &check); }, options.quiet) != 0) {
        TakeBackOutputFolder(*output, madeOutput);
        const std::string reason = EngineReason(folder + ": the join failed");
        if (check.checksumFault)
            return Fail(reason + "; nothing was written (--ignore-checksums joins with the first KiB check alone)");
        return check.refusedChunk >= 0 ? ReportRefusedJoin(folder, reason) : Fail(reason);
    }
    NoteJoinedChecks(folder, check);
    std::printf("%s\n", target.c_str());
    return 0;
}

// Writes the set's lost chunks back from its recovery files.
int Repair(const Options& options) {
    std::string error;
    std::optional<std::string> folder = AbsolutePath(options.chunkFolder, error);
    if (!folder) return Fail(error);
    std::vector<partwise::RebuiltChunk> rebuilt;
    if (RunJob([&] { return partwise::RepairChunkSet(*folder, rebuilt); }, options.quiet) != 0)
        return Fail(EngineReason(*folder + ": the repair failed"));
    for (const partwise::RebuiltChunk& chunk : rebuilt) Note(*folder + ": " + partwise::DescribeRebuilt(chunk));
    if (rebuilt.empty()) Note(*folder + ": every chunk matches its checksum; nothing to repair");
    std::printf("%s\n", folder->c_str());
    return 0;
}

// The printed path is what scripts act on, so losing it is a failure.
int FinishStdout(int status) {
    bool flushFailed = std::fflush(stdout) != 0;
    int code = errno;
    if (flushFailed || std::ferror(stdout) != 0)
        return Fail(std::string("standard output: ") + (flushFailed ? std::strerror(code) : "write error"));
    return status;
}

// The presets -s takes, one line each with the exact size.
std::string PresetsHelp() {
    std::string text = "Presets for -s (bytes per chunk):\n";
    for (const partwise::ChunkSizePreset& preset : partwise::ChunkSizePresets()) {
        char line[160];
        std::snprintf(line, sizeof line, "  %-7s %14" PRId64 "  %s\n", preset.name, preset.bytes, preset.purpose);
        text += line;
    }
    return text;
}

// An empty path would silently stand for the current or the default folder.
const CLI::Validator kNotEmpty(
    [](const std::string& text) { return text.empty() ? std::string("the path is empty") : ""; }, "");

void AddChunkFolderArgument(CLI::App& command, Options& options) {
    command.add_option("CHUNK_FOLDER", options.chunkFolder, "Folder holding the chunk set")
        ->required()
        ->check(kNotEmpty);
}

void AddPasswordOption(CLI::App& command, Options& options, const char* help) {
    command.add_option("-p,--password", options.password, help)->type_name("PASSWORD")->envname("PARTWISE_PASSWORD");
}

void AddNoSyncFlag(CLI::App& command, Options& options) {
    command.add_flag("--no-sync", options.noSync,
                     "Leave the output to the page cache instead of waiting until it is on the disk");
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    CLI::App app{
        "Splits a file or folder tree into numbered chunk files plus a descriptor, "
        "and joins them back.",
        "partwise-cli"};
    app.set_version_flag("--version", "partwise-cli " PARTWISE_VERSION);
    app.require_subcommand(1);

    CLI::App* split = app.add_subcommand("split", "Split a file or folder into a chunk set");
    split->add_option("SOURCE", options.source, "File or folder to split; - for standard input")
        ->required()
        ->check(kNotEmpty);
    split->add_option("--name", options.name, "The name a split of standard input records (required with -)")
        ->type_name("NAME");
    split
        ->add_option("-o,--output", options.output,
                     "Folder to create the chunk folder in (default: the source's folder; the current "
                     "folder for standard input)")
        ->type_name("DIR")
        ->check(kNotEmpty);
    CLI::Option* size = split
                            ->add_option("-s,--size", options.size,
                                         "Bytes per chunk; suffix K, M or G for powers of 1024, or a preset (below)")
                            ->type_name("SIZE|PRESET");
    CLI::Option* count =
        split->add_option("-n,--count", options.count, "Make at most COUNT chunks of equal size")->type_name("COUNT");
    AddPasswordOption(*split, options, "Protect the join with a password (at most 31 bytes)");
    split
        ->add_option("-r,--recovery", options.recovery,
                     "Write N recovery files per group of up to 256 - N chunks, or P% of a group's chunks (at most "
                     "64): any N lost chunks of a group are rebuilt by join and repair. They encrypt nothing")
        ->type_name("N|P%");
    split->add_flag("-f,--force", options.force, "Replace a chunk set of another source in the chunk folder");
    split->add_flag("--many-chunks", options.manyChunks, "Allow more than 1,000,000 chunks");
    split->add_flag("-q,--quiet", options.quiet, "Show no progress bar");
    split->add_flag("-v,--verbose", options.verbose, "List each entry of a folder that the split passes over");
    split->add_flag("--join-script", options.joinScript,
                    "Write join-<stem>.sh beside the chunks of a file, which joins them with sh alone "
                    "(not for a folder or a password)");
    split->footer(PresetsHelp());
    AddNoSyncFlag(*split, options);

    CLI::App* list = app.add_subcommand("list", "List a chunk set and check its chunks");
    AddChunkFolderArgument(*list, options);
    list->add_flag("--full", options.full,
                   "Hash every byte of every chunk against the checksum file (default: size and first KiB)");
    list->add_flag("-q,--quiet", options.quiet, "Show no progress bar (with --full)");

    CLI::App* join = app.add_subcommand("join", "Join a chunk set back into its file or folder");
    AddChunkFolderArgument(*join, options);
    join->add_option("-o,--output", options.output,
                     "Folder to rebuild the source in (default: the chunk folder's parent); - writes a "
                     "single-file set to standard output")
        ->type_name("DIR")
        ->check(kNotEmpty);
    AddPasswordOption(*join, options, "The chunk set's password");
    join->add_flag("-f,--force", options.force, "Replace an existing output");
    join->add_flag("-q,--quiet", options.quiet, "Show no progress bar");
    join->add_flag("--verify-first", options.verifyFirst,
                   "With -o -: hash every chunk before the first byte goes out (the chunks are read twice)");
    join->add_flag("--no-metadata", options.noMetadata,
                   "Restore the bytes only: no modes, times or empty folders from the metadata file");
    join->add_flag("--ignore-checksums", options.ignoreChecksums,
                   "Pass a damaged checksum file over: check each chunk by its size and first KiB alone");
    AddNoSyncFlag(*join, options);

    CLI::App* repair = app.add_subcommand("repair", "Rebuild a chunk set's lost chunks from its recovery files");
    AddChunkFolderArgument(*repair, options);
    repair->add_flag("-q,--quiet", options.quiet, "Show no progress bar");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        if (error.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) return FinishStdout(app.exit(error));
        const char* usage = split->parsed()    ? kSplitUsage
                            : list->parsed()   ? kListUsage
                            : join->parsed()   ? kJoinUsage
                            : repair->parsed() ? kRepairUsage
                                               : nullptr;
        return UsageError(error.what(), usage);
    }
    options.hasSize = size->count() > 0;
    options.hasCount = count->count() > 0;

    partwise::CatchStopSignals(OnCancelSignal);
    int status = split->parsed()    ? Split(options)
                 : list->parsed()   ? List(options)
                 : repair->parsed() ? Repair(options)
                                    : Join(options);
    status = FinishStdout(status);
    partwise::DieOfSignal(g_cancelSignal);
    return status;
}
