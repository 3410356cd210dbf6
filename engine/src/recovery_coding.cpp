#include "recovery_coding.h"

#include <fcntl.h>
#include <isa-l/erasure_code.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <cerrno>
#include <map>
#include <set>
#include <system_error>
#include <thread>

#include "cancel.h"
#include "fail.h"
#include "fingerprint.h"
#include "folder_ops.h"
#include "partwise/chunk_names.h"
#include "partwise/errors.h"
#include "partwise/limits.h"
#include "read_back_hasher.h"

namespace partwise {

namespace {

// The slices of all shards of a stripe together. Shared by two threads,
// larger stripes measured faster up to about this: fewer calls, and fewer
// waits for the other thread.
constexpr int64_t kStripeBudget = int64_t{8} << 20;
constexpr int64_t kMinStripe = 16 * 1024;
std::atomic<int64_t> g_stripedChunkMinimum{kInHandLimit};

// Larger than any recovery checksum file of the layout: every file's line
// twice over, at the longest a name can make it.
int64_t MaxRecoveryChecksumBytes(const RecoveryLayout& layout) {
    constexpr int64_t kLongestLine = 32 + 2 + static_cast<int64_t>(kMaxNameBytes) + 1;
    return int64_t{2} * layout.perGroup * layout.groups * kLongestLine + (int64_t{64} << 10);
}

int64_t StripeFor(int64_t shardSize, std::size_t shards) {
    int64_t stripe = kStripeBudget / static_cast<int64_t>(shards);
    stripe = std::max(kMinStripe, stripe - stripe % 64);
    return std::min(stripe, shardSize);
}

// Runs the rows x k coefficients over the inputs into the outputs a stripe at
// a time, hashing the outputs, and the inputs when inSums is given, as they
// pass. Two threads share each stripe where a second one starts: each reads
// every other input, codes half of the slices and writes every other output,
// with a wait for the other between the steps.
class StripeCoder {
public:
    StripeCoder(const std::vector<Shard>& in, const std::vector<Shard>& out, unsigned char* coefficients,
                int64_t shardSize, ShardSums* inSums, std::vector<ChunkHasher>& outHash)
        : in_(in),
          out_(out),
          shardSize_(shardSize),
          stripe_(StripeFor(shardSize, in.size() + out.size())),
          inSums_(inSums),
          outHash_(outHash) {
        const int k = static_cast<int>(in.size());
        const int rows = static_cast<int>(out.size());
        tables_.resize(static_cast<std::size_t>(32 * k * rows));
        ec_init_tables(k, rows, coefficients, tables_.data());
        memory_.resize(static_cast<std::size_t>(stripe_) * (in.size() + out.size()));
        for (std::size_t i = 0; i < in.size() + out.size(); ++i)
            pointers_.push_back(memory_.data() + i * static_cast<std::size_t>(stripe_));
        if (inSums_ != nullptr) {
            inSums_->hashes.assign(in.size(), ChunkHasher());
            inSums_->heads.assign(in.size(), std::string());
        }
        outHash_.assign(out.size(), ChunkHasher());
    }

    int Run() {
        {
            std::jthread worker;
            try {
                worker = std::jthread([this] { Work(1); });
            } catch (const std::system_error&) {
                parts_ = 1;
                sync_.arrive_and_drop();  // the place of the worker that did not start
            }
            Work(0);
        }
        return failed_ ? -1 : 0;
    }

private:
    void Work(int part) {
        std::vector<unsigned char*> shifted(pointers_.size());
        for (int64_t offset = 0; offset < shardSize_; offset += stripe_) {
            const int64_t length = std::min(stripe_, shardSize_ - offset);
            if (!failed_ && ReadInputs(part, offset, length) != 0) failed_ = true;
            sync_.arrive_and_wait();
            if (failed_) return;
            // Halves on 64-byte bounds, which the code's vector loops take whole.
            const int64_t half = parts_ == 1 ? 0 : length / 2 / 64 * 64;
            const int64_t from = part == 0 ? 0 : half, to = part + 1 == parts_ ? length : half;
            for (std::size_t i = 0; i < pointers_.size(); ++i) shifted[i] = pointers_[i] + from;
            if (to > from)
                ec_encode_data(static_cast<int>(to - from), static_cast<int>(in_.size()), static_cast<int>(out_.size()),
                               tables_.data(), shifted.data(), shifted.data() + in_.size());
            sync_.arrive_and_wait();
            // The next stripe's reads may start at once: only the code read the
            // inputs' slices, and the next code waits for both writers.
            if (WriteOutputs(part, offset, length) != 0 || (part == 0 && CountBlock(BytesIn(offset, length)) != 0))
                failed_ = true;
        }
    }

    int ReadInputs(int part, int64_t offset, int64_t length) {
        for (std::size_t i = static_cast<std::size_t>(part); i < in_.size(); i += static_cast<std::size_t>(parts_)) {
            const Shard& shard = in_[i];
            unsigned char* bytes = pointers_[i];
            const int64_t want = std::clamp<int64_t>(shard.length - offset, 0, length);
            const int64_t got = ReadAt(shard.fd, bytes, static_cast<std::size_t>(want), shard.base + offset);
            if (got < 0) return Fail("cannot read", shard.path, errno);
            if (got != want) return Fail("'" + shard.path + "' changed while it was read");
            std::fill(bytes + got, bytes + length, 0);
            const auto n = static_cast<std::size_t>(got);
            if (shard.copyFd >= 0 && WriteAllAt(shard.copyFd, bytes, n, offset) != 0)
                return Fail("cannot write", shard.copyPath, errno);
            if (inSums_ == nullptr) continue;
            inSums_->hashes[i].Update(bytes, n);
            if (offset == 0) inSums_->heads[i].assign(reinterpret_cast<char*>(bytes), std::min(n, kFingerprintHead));
        }
        return 0;
    }

    int WriteOutputs(int part, int64_t offset, int64_t length) {
        for (std::size_t o = static_cast<std::size_t>(part); o < out_.size(); o += static_cast<std::size_t>(parts_)) {
            const auto put = static_cast<std::size_t>(std::clamp<int64_t>(out_[o].length - offset, 0, length));
            unsigned char* bytes = pointers_[in_.size() + o];
            if (WriteAllAt(out_[o].fd, bytes, put, offset) != 0) return Fail("cannot write", out_[o].path, errno);
            outHash_[o].Update(bytes, put);
        }
        return 0;
    }

    // The bytes a stripe reads from the inputs, for the progress counter.
    int64_t BytesIn(int64_t offset, int64_t length) const {
        int64_t bytes = 0;
        for (const Shard& shard : in_) bytes += std::clamp<int64_t>(shard.length - offset, 0, length);
        return bytes;
    }

    const std::vector<Shard>& in_;
    const std::vector<Shard>& out_;
    const int64_t shardSize_;
    const int64_t stripe_;
    ShardSums* inSums_;
    std::vector<ChunkHasher>& outHash_;
    std::vector<unsigned char> tables_;
    std::vector<unsigned char> memory_;
    std::vector<unsigned char*> pointers_;
    int parts_ = 2;
    std::barrier<> sync_{2};
    std::atomic<bool> failed_{false};
};

int CodeStripes(const std::vector<Shard>& in, const std::vector<Shard>& out, unsigned char* coefficients,
                int64_t shardSize, ShardSums* inSums, std::vector<ChunkHasher>& outHash) {
    return StripeCoder(in, out, coefficients, shardSize, inSums, outHash).Run();
}

// ISA-L's Cauchy matrix for k data and n recovery shards: k identity rows,
// then n coding rows; any k of its rows are independent.
std::vector<unsigned char> CodeMatrix(int k, int n) {
    std::vector<unsigned char> matrix(static_cast<std::size_t>((k + n) * k));
    gf_gen_cauchy1_matrix(matrix.data(), k + n, k);
    return matrix;
}

std::string InfoText(const RecoverySet& set) {
    return "partwise-recovery 1\nfiles-per-group " + std::to_string(set.layout.perGroup) + "\ngroups " +
           std::to_string(set.layout.groups) + "\nchunk-size " + std::to_string(set.chunkSize) +
           "\nmatrix isa-l-cauchy1\n";
}

// The chunks of a group as the folder holds them, read back.
int OpenGroupChunks(const RecoverySet& set, int32_t group, std::vector<UniqueFd>& fds, std::vector<Shard>& in) {
    for (int j = 0; j < set.layout.DataIn(group); ++j) {
        const int32_t chunk = set.layout.ChunkAt(group, j);
        const std::string name = ChunkFileName(set.stem, chunk);
        fds.push_back(OpenChunkAt(set.folderFd, name));
        if (!fds.back().valid()) return Fail("cannot open", set.PathOf(name), errno);
        in.push_back({fds.back().get(), set.PathOf(name), set.ChunkLength(chunk)});
    }
    return 0;
}

int EncodeGroup(const RecoverySet& set, int32_t group, const GroupInputs& inputs, std::vector<std::string>& created,
                ChecksumFileWriter& sums) {
    const int n = set.layout.perGroup;
    std::vector<UniqueFd> fds;
    std::vector<Shard> in, out;
    if ((inputs.open ? inputs.open(group, in) : OpenGroupChunks(set, group, fds, in)) != 0) return -1;
    const int k = static_cast<int>(in.size());
    std::vector<std::string> names;
    for (int row = 0; row < n; ++row) {
        names.push_back(RecoveryFileName(set.stem, {n, group, row}));
        fds.push_back(CreateFreshAt(set.folderFd, names.back()));
        if (!fds.back().valid()) return Fail("cannot create", set.PathOf(names.back()), errno);
        created.push_back(names.back());
        out.push_back({fds.back().get(), set.PathOf(names.back()), set.chunkSize});
    }
    std::vector<unsigned char> matrix = CodeMatrix(k, n);
    // Chunks read back were hashed by the split as it wrote them.
    ShardSums inSums;
    std::vector<ChunkHasher> outHash;
    if (CodeStripes(in, out, matrix.data() + k * k, set.chunkSize, inputs.done ? &inSums : nullptr, outHash) != 0)
        return -1;
    for (int row = 0; row < n; ++row) {
        const auto at = fds.size() - static_cast<std::size_t>(n - row);
        const std::string& path = out[static_cast<std::size_t>(row)].path;
        if (set.flushEachFile && set.durability.FlushFile(fds[at].get(), path) != 0) return -1;
        if (fds[at].Close() != 0) return Fail("cannot write", path, errno);
        if (sums.Add(names[static_cast<std::size_t>(row)], outHash[static_cast<std::size_t>(row)].Final()) != 0)
            return -1;
    }
    return inputs.done ? inputs.done(group, inSums) : 0;
}

// Names the lost chunks: "1, 4 and 7".
std::string ChunkList(const std::vector<int32_t>& chunks) {
    std::string text;
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        if (i > 0) text += i + 1 == chunks.size() ? " and " : ", ";
        text += std::to_string(chunks[i]);
    }
    return text;
}

// One group's shards as a rebuild finds them.
struct GroupState {
    std::vector<int> lostPositions;  // ascending
    std::vector<bool> rowUsable;
};

int TooManyLost(const RecoverySet& set, int32_t group, const GroupState& state, std::size_t usable) {
    std::vector<int32_t> chunks;
    for (int p : state.lostPositions) chunks.push_back(set.layout.ChunkAt(group, p));
    return Fail("cannot rebuild chunk" + std::string(chunks.size() > 1 ? "s " : " ") + ChunkList(chunks) +
                " of group " + std::to_string(group) + ": " + std::to_string(chunks.size()) + " recovery file" +
                (chunks.size() > 1 ? "s are" : " is") + " needed and the group has " + std::to_string(usable) +
                " usable of " + std::to_string(set.layout.perGroup));
}

bool LineDiffers(const ChecksumTable& sums, int32_t chunk, const Digest128& got) {
    Digest128 want{};
    return sums.Get(chunk, want) && want != got;
}

const Digest128* RecoveryLine(const std::vector<std::pair<std::string, Digest128>>& lines, const std::string& name) {
    for (const auto& [lineName, digest] : lines)
        if (lineName == name) return &digest;
    return nullptr;
}

// One decoding pass over a group. Returns 1 when a survivor turned out
// damaged (state updated; the pass must be run again), 0 when the lost
// chunks were rebuilt and checked, -1 with the last error.
int DecodeGroupOnce(const RecoverySet& set, const ChecksumTable& sums,
                    const std::vector<std::pair<std::string, Digest128>>& recoverySums, int32_t group,
                    GroupState& state, const RebuildTarget& target, std::vector<RebuiltFile>& rebuilt) {
    const int k = set.layout.DataIn(group);
    const int n = set.layout.perGroup;
    std::vector<int> rows;  // rows of the code matrix read, in input order
    std::vector<UniqueFd> fds;
    std::vector<Shard> in;
    std::vector<int32_t> inChunk;  // the data chunk of each input, -1 for a recovery file
    std::vector<std::string> inName;
    for (int j = 0; j < k; ++j) {
        if (std::binary_search(state.lostPositions.begin(), state.lostPositions.end(), j)) continue;
        const int32_t chunk = set.layout.ChunkAt(group, j);
        const std::string name = ChunkFileName(set.stem, chunk);
        UniqueFd fd = OpenChunkAt(set.folderFd, name);
        struct stat st {};
        if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
            st.st_size != set.ChunkLength(chunk)) {
            state.lostPositions.insert(std::upper_bound(state.lostPositions.begin(), state.lostPositions.end(), j), j);
            return 1;
        }
        rows.push_back(j);
        in.push_back({fd.get(), set.PathOf(name), st.st_size});
        inChunk.push_back(chunk);
        inName.push_back(name);
        fds.push_back(std::move(fd));
    }
    const std::size_t lost = state.lostPositions.size();
    std::size_t usable = 0;
    for (int row = 0; row < n && in.size() < static_cast<std::size_t>(k); ++row) {
        if (!state.rowUsable[static_cast<std::size_t>(row)]) continue;
        const std::string name = RecoveryFileName(set.stem, {n, group, row});
        UniqueFd fd = OpenChunkAt(set.folderFd, name);
        struct stat st {};
        if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size != set.chunkSize) {
            state.rowUsable[static_cast<std::size_t>(row)] = false;
            continue;
        }
        ++usable;
        rows.push_back(k + row);
        in.push_back({fd.get(), set.PathOf(name), st.st_size});
        inChunk.push_back(-1);
        inName.push_back(name);
        fds.push_back(std::move(fd));
    }
    if (in.size() < static_cast<std::size_t>(k)) return TooManyLost(set, group, state, usable);
    const std::vector<unsigned char> matrix = CodeMatrix(k, n);
    std::vector<unsigned char> chosen(static_cast<std::size_t>(k * k)), inverse(chosen.size());
    for (int r = 0; r < k; ++r)
        std::copy_n(matrix.begin() + rows[static_cast<std::size_t>(r)] * k, k, chosen.begin() + r * k);
    if (gf_invert_matrix(chosen.data(), inverse.data(), k) != 0)
        return Fail("the recovery code of group " + std::to_string(group) + " cannot be inverted");
    std::vector<unsigned char> decode(lost * static_cast<std::size_t>(k));
    std::vector<Shard> out;
    std::vector<RebuiltFile> made;
    for (std::size_t i = 0; i < lost; ++i) {
        const int position = state.lostPositions[i];
        std::copy_n(inverse.begin() + position * k, k, decode.begin() + static_cast<std::ptrdiff_t>(i) * k);
        const int32_t chunk = set.layout.ChunkAt(group, position);
        made.push_back({{chunk, static_cast<int32_t>(lost)}, target(chunk)});
        if (!made.back().fd.valid()) return -1;
        out.push_back({made.back().fd.get(), set.PathOf(ChunkFileName(set.stem, chunk)), set.ChunkLength(chunk)});
    }
    ShardSums inSums;
    std::vector<ChunkHasher> outHash;
    if (CodeStripes(in, out, decode.data(), set.chunkSize, &inSums, outHash) != 0) return -1;
    bool again = false;
    for (std::size_t i = 0; i < in.size(); ++i) {
        const Digest128 got = inSums.hashes[i].Final();
        if (inChunk[i] >= 0 && LineDiffers(sums, inChunk[i], got)) {
            const int position = rows[i];
            state.lostPositions.insert(
                std::upper_bound(state.lostPositions.begin(), state.lostPositions.end(), position), position);
            again = true;
        } else if (inChunk[i] < 0) {
            const Digest128* want = RecoveryLine(recoverySums, inName[i]);
            if (want != nullptr && *want != got) {
                state.rowUsable[static_cast<std::size_t>(rows[i] - k)] = false;
                again = true;
            }
        }
    }
    if (again) return 1;
    for (std::size_t i = 0; i < made.size(); ++i)
        if (LineDiffers(sums, made[i].chunk.chunkIndex, outHash[i].Final()))
            return Fail("rebuilt chunk " + std::to_string(made[i].chunk.chunkIndex) +
                        " does not match its checksum: the recovery files do not belong to these chunks");
    for (RebuiltFile& file : made) rebuilt.push_back(std::move(file));
    return 0;
}

}  // namespace

int64_t StripedChunkMinimum() { return g_stripedChunkMinimum.load(std::memory_order_relaxed); }

void SetStripedChunkMinimumForTesting(int64_t bytes) {
    g_stripedChunkMinimum.store(bytes < 0 ? kInHandLimit : bytes, std::memory_order_relaxed);
}

int64_t RecoverySet::ChunkLength(int32_t chunk) const {
    return std::min(chunkSize, totalSize - static_cast<int64_t>(chunk) * chunkSize);
}

int WriteRecoveryFiles(const RecoverySet& set, std::vector<std::string>& created, const GroupInputs& inputs) {
    ChecksumFileWriter sums;
    const std::string sumsName = RecoveryChecksumName(set.stem);
    created.push_back(sumsName);
    if (sums.Open(set.folderFd, set.PathOf(sumsName)) != 0) return -1;
    for (int32_t group = 0; group < set.layout.groups; ++group)
        if (EncodeGroup(set, group, inputs, created, sums) != 0) return -1;
    StagedFile info;
    const std::string infoName = RecoveryInfoName(set.stem);
    created.push_back(infoName);
    if (info.Open(set.folderFd, set.PathOf(infoName)) != 0 || info.Append(InfoText(set)) != 0 ||
        info.Commit(set.durability) != 0)
        return -1;
    return sums.Commit(set.durability);
}

int FindRecoverySet(int folderFd, const std::string& folder, const std::string& stem, int32_t chunkCount,
                    int64_t totalSize, RecoverySet& set) {
    std::set<int32_t> codes;
    std::map<int64_t, int> sizes;
    std::vector<std::pair<RecoveryFileId, int64_t>> found;
    if (ListFolderNamesAt(folderFd, folder, [&](std::string_view name) {
            RecoveryFileId id;
            if (!ParseRecoveryFileName(name, stem, id)) return;
            struct stat st {};
            const std::string entry(name);
            const bool regular =
                ::fstatat(folderFd, entry.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode);
            codes.insert(id.perGroup);
            found.push_back({id, regular ? st.st_size : -1});
        }) != 0)
        return -1;
    if (codes.empty()) return 0;
    if (codes.size() > 1)
        return Fail("the chunk folder " + QuoteName(folder) + " holds recovery files of " +
                    std::to_string(codes.size()) + " different codes");
    RecoveryLayout layout;
    if (MakeRecoveryLayout(chunkCount, *codes.begin(), layout) != 0) return -1;
    for (const auto& [id, size] : found)
        if (id.group < layout.groups && size > 0 && ChunkCountFor(totalSize, size) == chunkCount) ++sizes[size];
    if (sizes.empty())
        return Fail("no recovery file in " + QuoteName(folder) + " has a size that fits the set's chunks");
    const auto best =
        std::max_element(sizes.begin(), sizes.end(), [](const auto& a, const auto& b) { return a.second < b.second; });
    set.folderFd = folderFd;
    set.folder = folder;
    set.stem = stem;
    set.chunkSize = best->first;
    set.totalSize = totalSize;
    set.layout = layout;
    return 1;
}

std::vector<std::pair<std::string, Digest128>> ReadRecoveryChecksums(const RecoverySet& set) {
    std::vector<std::pair<std::string, Digest128>> lines;
    UniqueFd fd = OpenChunkAt(set.folderFd, RecoveryChecksumName(set.stem));
    struct stat st {};
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
        st.st_size > MaxRecoveryChecksumBytes(set.layout))
        return lines;
    std::string text(static_cast<std::size_t>(st.st_size), '\0');
    if (ReadAt(fd.get(), text.data(), text.size(), 0) != st.st_size) return lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) break;
        const std::string_view line(text.data() + start, end - start);
        start = end + 1;
        Digest128 digest{};
        RecoveryFileId id;
        if (line.size() < 35 || line.substr(32, 2) != "  " || !ParseDigest(line.substr(0, 32), digest) ||
            !ParseRecoveryFileName(line.substr(34), set.stem, id))
            continue;
        const std::string name(line.substr(34));
        if (const Digest128* other = RecoveryLine(lines, name); other != nullptr && *other != digest) return {};
        lines.emplace_back(name, digest);
    }
    return lines;
}

int RebuildChunks(const RecoverySet& set, const ChecksumTable& sums, std::vector<int32_t> lost,
                  const RebuildTarget& target, std::vector<RebuiltFile>& rebuilt) {
    std::sort(lost.begin(), lost.end());
    lost.erase(std::unique(lost.begin(), lost.end()), lost.end());
    const auto recoverySums = ReadRecoveryChecksums(set);
    std::map<int32_t, GroupState> groups;
    for (int32_t chunk : lost) {
        if (chunk < 0 || chunk >= set.layout.chunkCount) continue;
        GroupState& state = groups[set.layout.GroupOf(chunk)];
        state.lostPositions.push_back(chunk / set.layout.groups);
        state.rowUsable.assign(static_cast<std::size_t>(set.layout.perGroup), true);
    }
    for (auto& [group, state] : groups) {
        int result = 1;
        while (result == 1) {
            if (state.lostPositions.size() > static_cast<std::size_t>(set.layout.perGroup))
                return TooManyLost(
                    set, group, state,
                    static_cast<std::size_t>(std::count(state.rowUsable.begin(), state.rowUsable.end(), true)));
            result = DecodeGroupOnce(set, sums, recoverySums, group, state, target, rebuilt);
        }
        if (result != 0) return -1;
    }
    return 0;
}

UniqueFd CreateScratchFile(int folderFd, const std::string& folder) {
    UniqueFd fd(::openat(folderFd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    if (fd.valid()) return fd;
    // File systems without unnamed files (FAT among them): a temporary name,
    // removed at once, so that nothing is left whatever happens next.
    std::string name;
    if (CreateTemporaryAt(folderFd, folder, fd, name) != 0) return UniqueFd();
    ::unlinkat(folderFd, name.c_str(), 0);
    return fd;
}

}  // namespace partwise
