#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <tuple>
#include <vector>

#include "partwise/chunk_names.h"
#include "partwise/errors.h"
#include "partwise/joiner.h"
#include "partwise/progress.h"
#include "partwise/recovery.h"
#include "partwise/splitter.h"
#include "recovery_coding.h"
#include "test_support.h"

namespace partwise {
namespace {

using test::Exists;
using test::ReadFile;
using test::WriteFile;

struct LossCase {
    const char* name;
    int32_t perGroup;
    int32_t chunks;
    int64_t chunkSize;
    std::vector<int32_t> deleted;
    std::vector<int32_t> damaged;  // a byte past the first KiB flipped
    int32_t recoveryRowLost;       // -1: every recovery file stays
    bool repairable;
};

// Each case runs with small chunks written whole and read back for the
// code, and again with every chunk made in one pass with the recovery files.
class RecoveryRoundTrip : public test::EngineTest, public ::testing::WithParamInterface<std::tuple<LossCase, bool>> {
protected:
    void TearDown() override { SetStripedChunkMinimumForTesting(-1); }
    std::string Chunk(int32_t i) const { return dir / "src/data_spt/" + ChunkFileName("data", i); }
};

// The last chunk is short; a loss in it is rebuilt to its own length.
TEST_P(RecoveryRoundTrip, LostChunksAreRebuiltOnlyWhenTheGroupAllows) {
    const auto& [c, inOnePass] = GetParam();
    const std::string content =
        test::PatternBytes(static_cast<std::size_t>(c.chunkSize * (c.chunks - 1) + c.chunkSize / 3));
    WriteFile(dir / "src/data.bin", content);
    SplitJob job = test::MakeJob(dir / "src/data.bin", dir / "src", c.chunkSize);
    job.recoveryCount = c.perGroup;
    if (inOnePass) SetStripedChunkMinimumForTesting(0);
    ASSERT_EQ(RunSplit(job), 0) << GetLastErrorText();
    if (inOnePass) {
        // The same set, byte for byte, as the pass that reads the chunks back.
        SetStripedChunkMinimumForTesting(-1);
        WriteFile(dir / "readback/.keep", "");
        SplitJob readBack = test::MakeJob(dir / "src/data.bin", dir / "readback", c.chunkSize);
        readBack.recoveryCount = c.perGroup;
        ASSERT_EQ(RunSplit(readBack), 0) << GetLastErrorText();
        EXPECT_EQ(test::ReadTree(dir / "readback/data_spt"), test::ReadTree(dir / "src/data_spt"));
    }
    ASSERT_TRUE(Exists(dir / "src/data_spt/data.rec"));
    const std::string xxhsum = "cd '" + dir / "src/data_spt" + "' && xxhsum -q -c data.xxh128 >/dev/null 2>&1";
    ASSERT_EQ(std::system((xxhsum + " && xxhsum -q -c data.rec.xxh128 >/dev/null 2>&1").c_str()), 0);

    std::vector<std::string> before;
    for (int32_t i = 0; i < c.chunks; ++i) before.push_back(ReadFile(Chunk(i)));
    for (int32_t i : c.deleted) ASSERT_EQ(::unlink(Chunk(i).c_str()), 0);
    for (int32_t i : c.damaged) {
        std::string bytes = ReadFile(Chunk(i));
        bytes[1500 % bytes.size()] ^= 0x40;
        WriteFile(Chunk(i), bytes);
    }
    if (c.recoveryRowLost >= 0) {
        const std::string name = RecoveryFileName("data", {c.perGroup, 0, c.recoveryRowLost});
        ASSERT_EQ(::unlink((dir / "src/data_spt/" + name).c_str()), 0);
    }

    WriteFile(dir / "out/.keep", "");
    ChunkSetCheck check;
    const int joined = RunJoin(dir / "src/data_spt", dir / "out", {}, &check);
    EXPECT_EQ(joined == 0, c.repairable) << GetLastErrorText();
    EXPECT_EQ(Exists(dir / "out/data.bin"), c.repairable);
    if (c.repairable) {
        EXPECT_EQ(ReadFile(dir / "out/data.bin"), content);
        EXPECT_EQ(check.rebuilt.size(), c.deleted.size() + c.damaged.size());
    } else {
        EXPECT_NE(GetLastErrorText().find("recovery files are needed"), std::string::npos) << GetLastErrorText();
    }
    // To a stream: the damaged chunks as a full check beforehand finds them;
    // a set that cannot be made whole sends nothing.
    JoinOptions toStream;
    toStream.lostChunks = c.damaged;
    const std::string streamed = dir / "out/streamed";
    const int out = ::open(streamed.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    EXPECT_EQ(RunJoinToStream(dir / "src/data_spt", out, "streamed", toStream, &check) == 0, c.repairable);
    ::close(out);
    EXPECT_EQ(ReadFile(streamed), c.repairable ? content : "");

    std::vector<RebuiltChunk> rebuilt;
    EXPECT_EQ(RepairChunkSet(dir / "src/data_spt", rebuilt) == 0, c.repairable) << GetLastErrorText();
    EXPECT_EQ(std::system(xxhsum.c_str()) == 0, c.repairable);
    for (int32_t i = 0; i < c.chunks && c.repairable; ++i)
        EXPECT_EQ(ReadFile(Chunk(i)), before[static_cast<std::size_t>(i)]) << i;
    for (const auto& [name, bytes] : test::ReadTree(dir / "src/data_spt"))
        EXPECT_EQ(name.find(".partwise-"), std::string::npos) << name;
}

INSTANTIATE_TEST_SUITE_P(
    Losses, RecoveryRoundTrip,
    ::testing::Combine(::testing::Values(LossCase{"OneDeleted", 1, 10, 4096, {3}, {}, -1, true},
                                         LossCase{"ShortLastDamaged", 1, 10, 4096, {}, {9}, -1, true},
                                         LossCase{"TwoOfTwo", 2, 10, 4096, {0, 9}, {}, -1, true},
                                         LossCase{"RecoveryFileLostToo", 2, 10, 4096, {4}, {}, 0, true},
                                         LossCase{"FourOfFour", 4, 12, 4096, {1, 2}, {7, 11}, -1, true},
                                         LossCase{"SeveralGroups", 2, 600, 1024, {0, 3, 1, 4}, {599}, -1, true},
                                         LossCase{"OneTooMany", 1, 10, 4096, {2, 5}, {}, -1, false},
                                         LossCase{"RecoveryFileLostOneTooMany", 2, 10, 4096, {4}, {6}, 1, false},
                                         LossCase{"LargeChunks", 2, 4, (1 << 20) + 4099, {1}, {3}, -1, true}),
                       ::testing::Bool()),
    [](const auto& param) {
        return std::string(std::get<0>(param.param).name) + (std::get<1>(param.param) ? "InOnePass" : "");
    });

// Read back, the recovery pass counts the bytes again; in one pass, the
// cancel lands in a group's stripes with some chunks and recovery files made.
TEST_F(RecoveryRoundTrip, ACancelInTheRecoveryPassLeavesNothing) {
    WriteFile(dir / "src/data.bin", test::PatternBytes(40000));
    SplitJob job = test::MakeJob(dir / "src/data.bin", dir / "src", 4096);
    job.recoveryCount = 2;
    for (const int64_t minimum : {-1, 0}) {
        SetStripedChunkMinimumForTesting(minimum);
        RequestCancelAt(minimum < 0 ? 40000 + 1 : 20000);
        EXPECT_NE(RunSplit(job), 0);
        ClearCancel();
        EXPECT_NE(GetLastErrorText().find("cancelled"), std::string::npos) << GetLastErrorText();
        EXPECT_FALSE(Exists(dir / "src/data_spt"));
    }
}

TEST(RecoveryNames, OnlyExactNamesInRangeAreRecoveryFiles) {
    RecoveryFileId id;
    EXPECT_TRUE(ParseRecoveryFileName("a_b_r2_13_1.spr", "a_b", id));
    EXPECT_EQ(RecoveryFileName("a_b", id), "a_b_r2_13_1.spr");
    for (const char* name : {"a_r2_0_2.spr", "a_r0_0_0.spr", "a_r65_0_0.spr", "a_r2_00_1.spr", "a_r2_0_1.spt",
                             "a_r2_0.spr", "a_r2_0_1_.spr", "b_r2_0_1.spr", "a_r-2_0_1.spr", "a_r2_99999999999_1.spr"})
        EXPECT_FALSE(ParseRecoveryFileName(name, "a", id)) << name;
}

TEST(RecoveryLayoutTest, GroupsKeepTheCodeWithin256Shards) {
    RecoveryLayout layout;
    ASSERT_EQ(MakeRecoveryLayout(600, 2, layout), 0);
    EXPECT_EQ(layout.groups, 3);
    EXPECT_EQ(layout.DataIn(0) + layout.DataIn(1) + layout.DataIn(2), 600);
    EXPECT_LE(layout.DataIn(0) + 2, kMaxShards);
    EXPECT_EQ(RecoveryFilesPerGroup({0, 10}, 10), 1);
    EXPECT_EQ(RecoveryFilesPerGroup({0, 10}, 600), 20);
    EXPECT_EQ(RecoveryFilesPerGroup({0, 100}, 600), kMaxRecoveryFiles);
    RecoveryRequest request;
    EXPECT_EQ(ParseRecoveryRequest("10%", request), 0);
    EXPECT_EQ(request.percent, 10);
    for (const char* text : {"", "65", "0%", "101%", "-1", "1.5", "%"})
        EXPECT_NE(ParseRecoveryRequest(text, request), 0) << text;
}

}  // namespace
}  // namespace partwise
