#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

#include "partwise/chunk_check.h"
#include "partwise/descriptor.h"
#include "partwise/errors.h"
#include "partwise/progress.h"
#include "partwise/splitter.h"
#include "test_support.h"

namespace partwise {
namespace {

class Inspect : public test::EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        test::WriteFile(dir / "report.final.doc", test::PatternBytes(5000));
        ASSERT_EQ(RunSplit(test::MakeJob(dir / "report.final.doc", dir.path(), 2000, "pw")), 0) << GetLastErrorText();
        folder = dir / "report_spt";
        ASSERT_EQ(ReadDescriptor(folder), 0);  // a split keeps no records in memory
    }
    std::vector<ChunkEntry> Run() {
        std::vector<ChunkEntry> entries;
        EXPECT_EQ(InspectChunkSet(folder, entries, digest, name), 0) << GetLastErrorText();
        return entries;
    }
    std::string Chunk(int i) { return folder + "/report_" + std::to_string(i) + ".spt"; }
    std::string folder, digest, name;
};

TEST_F(Inspect, FreshChunkSetIsAllGood) {
    Progress().bytesDone = 77;
    const auto entries = Run();
    EXPECT_EQ(name, "report.final.doc");
    EXPECT_EQ(digest.size(), 32u);
    EXPECT_EQ(GetBytesDone(), 0);
    EXPECT_EQ(GetTotalBytes(), 5000);
    ASSERT_EQ(entries.size(), 3u);
    const int64_t sizes[] = {2000, 2000, 1000};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(entries[i].chunkIndex, i);
        EXPECT_EQ(entries[i].verdict, 0);
        EXPECT_EQ(entries[i].chunkPath, Chunk(i));
        EXPECT_EQ(entries[i].chunkFileSize, sizes[i]);
        EXPECT_EQ(entries[i].recordedFingerprint.size(), 32u);
    }
}

TEST_F(Inspect, VerdictsFollowChangesToTheChunks) {
    ASSERT_EQ(::unlink(Chunk(0).c_str()), 0);
    std::string middle = test::ReadFile(Chunk(1));
    middle[1500] ^= 1;  // beyond the fingerprint's extent: unseen
    test::WriteFile(Chunk(1), middle);
    std::ofstream(Chunk(2), std::ios::app) << 'x';
    auto entries = Run();
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].verdict, -1);
    EXPECT_EQ(entries[0].chunkFileSize, -1);
    EXPECT_EQ(entries[1].verdict, 0);
    EXPECT_EQ(entries[2].verdict, -1);
    EXPECT_EQ(entries[2].chunkFileSize, 1001);

    middle[3] ^= 1;  // within the first 1016 bytes
    test::WriteFile(Chunk(1), middle);
    EXPECT_EQ(Run()[1].verdict, -1);
}

// The summary counts what the entries say; the visitor sees the entries the
// list gets, one as each chunk is checked.
TEST_F(Inspect, SummaryCountsTheVerdictsTheVisitorSees) {
    ChunkSetSummary summary;
    ASSERT_EQ(InspectChunkSet(folder, summary, nullptr), 0) << GetLastErrorText();
    EXPECT_TRUE(summary.sound());
    EXPECT_EQ(summary.goodChunks, 3);

    ASSERT_EQ(::unlink(Chunk(0).c_str()), 0);
    std::ofstream(Chunk(2), std::ios::app) << 'x';
    std::vector<ChunkEntry> visited;
    ASSERT_EQ(InspectChunkSet(folder, summary, [&](const ChunkEntry& entry) { visited.push_back(entry); }), 0);
    EXPECT_EQ(summary.sourceName, "report.final.doc");
    EXPECT_EQ(summary.totalSize, 5000);
    EXPECT_EQ(summary.chunkCount, 3);
    EXPECT_TRUE(summary.hasPassword());
    EXPECT_EQ(summary.passwordDigest.size(), 32u);
    EXPECT_FALSE(summary.cutShort);
    EXPECT_EQ(summary.goodChunks, 1);
    EXPECT_EQ(summary.damagedChunks, 1);
    EXPECT_EQ(summary.missingChunks, 1);
    EXPECT_FALSE(summary.sound());
    const auto listed = Run();
    ASSERT_EQ(visited.size(), listed.size());
    for (std::size_t i = 0; i < listed.size(); ++i) {
        EXPECT_EQ(visited[i].chunkIndex, listed[i].chunkIndex);
        EXPECT_EQ(visited[i].verdict, listed[i].verdict);
        EXPECT_EQ(visited[i].chunkPath, listed[i].chunkPath);
        EXPECT_EQ(visited[i].chunkFileSize, listed[i].chunkFileSize);
        EXPECT_EQ(visited[i].recordedFingerprint, listed[i].recordedFingerprint);
    }
}

TEST_F(Inspect, DescriptorCutShortInAChunkRecord) {
    // Ten bytes into the third record: its index and part of its fingerprint.
    ASSERT_EQ(::truncate((folder + "/spt_config.brixspt").c_str(), 352 + 37 * 2 + 10), 0);
    ChunkSetSummary summary;
    std::vector<int32_t> indexes;
    ASSERT_EQ(InspectChunkSet(folder, summary, [&](const ChunkEntry& entry) { indexes.push_back(entry.chunkIndex); }),
              0);
    EXPECT_TRUE(summary.cutShort);
    EXPECT_FALSE(summary.sound());
    EXPECT_EQ(indexes, (std::vector<int32_t>{0, 1, 2}));
    EXPECT_EQ(summary.goodChunks, 2);
    EXPECT_EQ(summary.damagedChunks, 1);
    EXPECT_EQ(Run().size(), 3u);
    EXPECT_TRUE(DescriptorIsTruncated());
}

TEST_F(Inspect, MissingChunkWithoutRecordedFingerprintIsStillBad) {
    std::memset(Descriptor().chunkRecords[1]->fingerprint, 0, 33);
    ASSERT_EQ(WriteDescriptor(), 0);
    ASSERT_EQ(::unlink(Chunk(1).c_str()), 0);
    const auto entries = Run();
    EXPECT_EQ(entries[1].recordedFingerprint, "");
    EXPECT_EQ(entries[1].verdict, -1);
    EXPECT_EQ(entries[1].chunkFileSize, -1);
}

TEST_F(Inspect, NoDescriptorLeavesTheOutputsAlone) {
    ASSERT_EQ(::unlink((folder + "/spt_config.brixspt").c_str()), 0);
    std::vector<ChunkEntry> entries;
    name = "untouched";
    EXPECT_EQ(InspectChunkSet(folder, entries, digest, name), -1);
    EXPECT_TRUE(entries.empty());
    EXPECT_EQ(name, "untouched");
    EXPECT_NE(GetLastErrorText().find("spt_config.brixspt"), std::string::npos);
}

TEST_F(Inspect, SetWithoutPasswordHasAnEmptyDigest) {
    test::WriteFile(dir / "plain/p.txt", "abc");
    ASSERT_EQ(RunSplit(test::MakeJob(dir / "plain/p.txt", dir / "plain", 2)), 0);
    folder = dir / "plain/p_spt";
    Run();
    EXPECT_EQ(digest, "");
    EXPECT_EQ(name, "p.txt");
}

}  // namespace
}  // namespace partwise
