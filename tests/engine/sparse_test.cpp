// Sparse files: holes stay holes through a split and a join, and the chunk
// set is the one the same bytes fully allocated make.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "partwise/errors.h"
#include "partwise/joiner.h"
#include "partwise/progress.h"
#include "partwise/splitter.h"
#include "posix_file.h"
#include "range_copier.h"
#include "test_support.h"

namespace partwise {
namespace {

using test::Exists;
using test::ReadFile;
using test::WriteFile;

constexpr int64_t kMiB = 1 << 20;
// What a file system may allocate around a run of data beyond its bytes.
constexpr int64_t kSlack = 64 * 1024;

struct Island {
    int64_t offset;
    std::size_t size;
};

// A file of size bytes that holds islands of data and nothing else: holes
// where the file system keeps them, or zeros written out when dense.
void MakeFile(const std::string& path, int64_t size, const std::vector<Island>& islands, bool dense) {
    WriteFile(path, "");
    const int fd = ::open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    if (dense) {
        const std::string zeros(kMiB, '\0');
        for (int64_t at = 0; at < size; at += kMiB)
            ASSERT_GT(::pwrite(fd, zeros.data(), static_cast<std::size_t>(std::min(kMiB, size - at)), at), 0);
    }
    unsigned seed = 1;
    for (const Island& island : islands) {
        const std::string bytes = test::PatternBytes(island.size, seed++);
        ASSERT_EQ(::pwrite(fd, bytes.data(), bytes.size(), island.offset), static_cast<ssize_t>(bytes.size()));
    }
    ASSERT_EQ(::ftruncate(fd, size), 0);
    ASSERT_EQ(::close(fd), 0);
}

int64_t Allocated(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return static_cast<int64_t>(st.st_blocks) * 512;
}

// Whether the file system under folder keeps holes at all.
bool KeepsHoles(const std::string& folder) {
    const std::string probe = folder + "/probe";
    MakeFile(probe, 4 * kMiB, {}, false);
    const bool keeps = Allocated(probe) == 0;
    ::unlink(probe.c_str());
    return keeps;
}

// Where the file system keeps holes, path occupies no more than its data
// needs, and nothing at all when it is all hole.
void ExpectOccupies(bool holes, const std::string& path, int64_t data) {
    if (!holes) return;
    if (data == 0) {
        EXPECT_EQ(Allocated(path), 0) << path << " is all hole";
    } else {
        EXPECT_LE(Allocated(path), data + kSlack) << path;
    }
}

// Data bytes of the islands within [from, from + length).
int64_t DataWithin(const std::vector<Island>& islands, int64_t from, int64_t length) {
    int64_t total = 0;
    for (const Island& island : islands) {
        const int64_t start = std::max(island.offset, from);
        const int64_t end = std::min(island.offset + static_cast<int64_t>(island.size), from + length);
        if (end > start) total += end - start;
    }
    return total;
}

std::string ChunkName(const std::string& folder, const std::string& stem, int i) {
    return folder + "/" + stem + "_" + std::to_string(i) + ".spt";
}

struct SparseCase {
    const char* name;
    int64_t size;
    int64_t chunkSize;
    std::vector<Island> islands;
};

void PrintTo(const SparseCase& c, std::ostream* os) { *os << c.name; }

class SparseFile : public test::EngineTest, public ::testing::WithParamInterface<SparseCase> {};

TEST_P(SparseFile, SplitsAndJoinsInTheSpaceOfItsData) {
    const SparseCase& c = GetParam();
    const bool holes = KeepsHoles(dir.path());
    if (!holes) std::cout << "the file system keeps no holes: allocation is not checked\n";
    MakeFile(dir / "sparse/disk.img", c.size, c.islands, false);
    MakeFile(dir / "dense/disk.img", c.size, c.islands, true);
    // The dense file by the kernel's copy and a hasher beside it, the sparse
    // one through memory: both sets must hash and join alike.
    KernelCopySharesBlocksForTesting(true);
    const int denseSplit = RunSplit(test::MakeJob(dir / "dense/disk.img", dir / "dense", c.chunkSize));
    KernelCopySharesBlocksForTesting(false);
    ASSERT_EQ(denseSplit, 0) << GetLastErrorText();
    ASSERT_EQ(RunSplit(test::MakeJob(dir / "sparse/disk.img", dir / "sparse", c.chunkSize)), 0) << GetLastErrorText();
    EXPECT_EQ(GetBytesDone(), c.size);

    const int chunks = static_cast<int>((c.size + c.chunkSize - 1) / c.chunkSize);
    EXPECT_FALSE(Exists(ChunkName(dir / "sparse/disk_spt", "disk", chunks)));
    EXPECT_EQ(ReadFile(dir / "sparse/disk_spt/spt_config.brixspt"),
              ReadFile(dir / "dense/disk_spt/spt_config.brixspt"));
    EXPECT_EQ(ReadFile(dir / "sparse/disk_spt/disk.xxh128"), ReadFile(dir / "dense/disk_spt/disk.xxh128"));
    for (int i = 0; i < chunks; ++i) {
        const std::string chunk = ChunkName(dir / "sparse/disk_spt", "disk", i);
        EXPECT_EQ(ReadFile(chunk), ReadFile(ChunkName(dir / "dense/disk_spt", "disk", i))) << chunk;
        const int64_t data = DataWithin(c.islands, i * c.chunkSize, c.chunkSize);
        ExpectOccupies(holes, chunk, data);
    }

    WriteFile(dir / "out/.keep", "");
    ASSERT_EQ(RunJoin(dir / "sparse/disk_spt", dir / "out"), 0) << GetLastErrorText();
    EXPECT_EQ(GetBytesDone(), c.size);
    EXPECT_EQ(ReadFile(dir / "out/disk.img"), ReadFile(dir / "dense/disk.img"));
    ExpectOccupies(holes, dir / "out/disk.img", DataWithin(c.islands, 0, c.size));

    // The dense file's set joins back dense: only holes the file system
    // reports are kept, never runs of zeros that were written.
    ASSERT_EQ(RunJoin(dir / "dense/disk_spt", dir / "sparse", test::Replacing()), 0) << GetLastErrorText();
    EXPECT_GE(Allocated(dir / "sparse/disk.img"), c.size);
}

INSTANTIATE_TEST_SUITE_P(Holes, SparseFile,
                         ::testing::Values(
                             // The first three chunks are all hole.
                             SparseCase{"HoleAtStart", 8 * kMiB, 2 * kMiB, {{7 * kMiB, 5000}}},
                             // The middle hole spans the boundaries at 3 and 6 MiB; odd chunk
                             // sizes put the data at offsets no block boundary lines up with.
                             SparseCase{"HoleInMiddle", 9 * kMiB, 3 * kMiB, {{0, 70000}, {9 * kMiB - 5000, 5000}}},
                             SparseCase{"HoleAtEnd", 8 * kMiB, 1000003, {{0, 300000}}},
                             SparseCase{
                                 "DataAcrossABoundary", 8 * kMiB, 3 * kMiB, {{3 * kMiB - 6000, 12000}, {5 * kMiB, 1}}},
                             SparseCase{"AllHole", 5 * kMiB, 2 * kMiB, {}}),
                         [](const ::testing::TestParamInfo<SparseCase>& row) { return std::string(row.param.name); });

class SparseCopy : public test::EngineTest {};

TEST_F(SparseCopy, HolesOverWrittenBytesAreWrittenAsZeros) {
    // Only the end of a file is known to read as zeros: a hole copied over
    // earlier bytes must replace them.
    MakeFile(dir / "in", 3 * kMiB, {{kMiB, 100}}, false);
    WriteFile(dir / "out", std::string(4 * kMiB, 'x'));
    UniqueFd in = OpenForReading(dir / "in");
    UniqueFd out(::open((dir / "out").c_str(), O_WRONLY | O_CLOEXEC));
    ASSERT_TRUE(in.valid() && out.valid());
    Progress().bytesDone = 0;
    RangeCopier copier;
    EXPECT_EQ(copier.Copy(in.get(), dir / "in", 0, out.get(), dir / "out", 5 * kMiB), 3 * kMiB) << GetLastErrorText();
    EXPECT_EQ(GetBytesDone(), 3 * kMiB);
    ASSERT_EQ(out.Close(), 0);
    EXPECT_EQ(ReadFile(dir / "out"), ReadFile(dir / "in") + std::string(kMiB, 'x'));
}

class SparseFolder : public test::EngineTest {};

TEST_F(SparseFolder, EachFileKeepsItsHoles) {
    const bool holes = KeepsHoles(dir.path());
    const std::vector<Island> islands = {{0, 4096}, {6 * kMiB + 100, 9000}, {10 * kMiB - 1, 1}};
    for (const char* kind : {"sparse", "dense"}) {
        const std::string root = dir / std::string(kind) + "/vm";
        WriteFile(root + "/a.conf", test::PatternBytes(3000, 7));
        MakeFile(root + "/disk.img", 10 * kMiB, islands, std::string(kind) == "dense");
        // Small enough to be read whole into memory with its neighbours.
        MakeFile(root + "/small.img", 200000, {{199900, 100}}, std::string(kind) == "dense");
        WriteFile(root + "/z/notes", test::PatternBytes(400000, 8));
        ASSERT_EQ(RunSplit(test::MakeJob(root, dir / kind, 4 * kMiB)), 0) << GetLastErrorText();
    }
    EXPECT_EQ(GetBytesDone(), 3000 + 10 * kMiB + 200000 + 400000);
    for (int i = 0; i < 3; ++i) {
        const std::string chunk = ChunkName(dir / "sparse/vm_spt", "vm", i);
        EXPECT_EQ(ReadFile(chunk), ReadFile(ChunkName(dir / "dense/vm_spt", "vm", i))) << chunk;
    }
    EXPECT_EQ(ReadFile(dir / "sparse/vm_spt/spt_config.brixspt"), ReadFile(dir / "dense/vm_spt/spt_config.brixspt"));
    // Chunk 1 holds only the middle of the image: 9000 bytes of data.
    ExpectOccupies(holes, ChunkName(dir / "sparse/vm_spt", "vm", 1), 9000);
    // Chunk 2: the image's last byte, the small image's 100 and the notes.
    ExpectOccupies(holes, ChunkName(dir / "sparse/vm_spt", "vm", 2), 1 + 100 + 400000);

    WriteFile(dir / "out/.keep", "");
    ASSERT_EQ(RunJoin(dir / "sparse/vm_spt", dir / "out"), 0) << GetLastErrorText();
    EXPECT_EQ(test::ReadTree(dir / "out/vm"), test::ReadTree(dir / "dense/vm"));
    ExpectOccupies(holes, dir / "out/vm/disk.img", 4096 + 9000 + 1);
    ExpectOccupies(holes, dir / "out/vm/small.img", 100);
}

}  // namespace
}  // namespace partwise
