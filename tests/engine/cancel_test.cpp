// A cancel request stops a split or a join: nothing half-made is left over
// and nothing that existed is lost.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "partwise/checksums.h"
#include "partwise/errors.h"
#include "partwise/fsutil.h"
#include "partwise/joiner.h"
#include "partwise/progress.h"
#include "partwise/splitter.h"
#include "test_support.h"

namespace partwise {
namespace {

namespace fs = std::filesystem;
using test::Exists;
using test::ReadFile;
using test::WriteFile;

// The job started next cancels itself once it has copied `after` bytes.
class CancelWhenCopied {
public:
    explicit CancelWhenCopied(int64_t after) {
        Progress().bytesDone = 0;  // the count of an earlier job is not this job's
        RequestCancelAt(after);
    }
    ~CancelWhenCopied() { ClearCancel(); }
};

std::vector<std::string> Names(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        names.push_back(fs::relative(entry.path(), folder).string());
    std::sort(names.begin(), names.end());
    return names;
}

class Cancel : public test::EngineTest {
protected:
    void TearDown() override { ClearCancel(); }

    // Twenty 1 MiB files: a folder join has many files to be cut between.
    void MakeFolder(const std::string& root) {
        for (int i = 0; i < 20; ++i)
            WriteFile(root + "/sub/f" + std::to_string(100 + i), test::PatternBytes(1 << 20, static_cast<unsigned>(i)));
    }
};

TEST_F(Cancel, RequestBeforeTheFirstBlockStopsEveryKindOfJob) {
    WriteFile(dir / "src/data.bin", test::PatternBytes(3 << 20));
    MakeFolder(dir / "src/tree");
    WriteFile(dir / "out/.keep", "");
    for (const std::string& source : {dir / "src/data.bin", dir / "src/tree"}) {
        RequestCancel();
        EXPECT_EQ(RunSplit(test::MakeJob(source, dir / "out", 1 << 20)), -1) << source;
        // A folder is stopped while it is checked, before anything is written.
        EXPECT_EQ(GetLastErrorText().rfind("cancelled", 0), 0u) << GetLastErrorText();
        ClearCancel();
    }
    EXPECT_EQ(RunSplit(test::MakeJob(dir / "src/data.bin", dir / "src", 1 << 20)), 0) << GetLastErrorText();
    RequestCancel();
    EXPECT_EQ(RunJoin(dir / "src/data_spt", dir / "out"), -1);
    EXPECT_EQ(GetLastErrorText(), "cancelled");
    EXPECT_EQ(Names(dir / "out"), std::vector<std::string>{".keep"});
    ChunkSetCheck check;
    EXPECT_EQ(CheckChunkSetFully(dir / "src/data_spt", check, nullptr), -1);
    EXPECT_EQ(GetLastErrorText(), "cancelled");
}

TEST_F(Cancel, CancelledSplitLeavesNoChunkAndTheSourceWhole) {
    const std::string content = test::PatternBytes(64 << 20);
    WriteFile(dir / "src/data.bin", content);
    int result = 0;
    {
        CancelWhenCopied cancel(8 << 20);
        result = RunSplit(test::MakeJob(dir / "src/data.bin", dir / "src", 1 << 20));
    }
    ASSERT_EQ(result, -1);
    EXPECT_EQ(GetLastErrorText(), "cancelled; nothing was left behind");
    EXPECT_LT(GetBytesDone(), int64_t{64} << 20);
    EXPECT_FALSE(Exists(dir / "src/data_spt"));
    EXPECT_EQ(ReadFile(dir / "src/data.bin"), content);
}

TEST_F(Cancel, CancelledFolderSplitKeepsAChunkFolderItDidNotMake) {
    MakeFolder(dir / "src/tree");
    WriteFile(dir / "src/tree_spt/notes.txt", "mine");
    {
        CancelWhenCopied cancel(5 << 20);
        ASSERT_EQ(RunSplit(test::MakeJob(dir / "src/tree", dir / "src", 1 << 20)), -1);
    }
    EXPECT_EQ(Names(dir / "src/tree_spt"), std::vector<std::string>{"notes.txt"});
}

TEST_F(Cancel, CancelledFolderJoinKeepsOnlyWholeFilesAndNeverAPartialOne) {
    MakeFolder(dir / "src/tree");
    ASSERT_EQ(RunSplit(test::MakeJob(dir / "src/tree", dir / "src", 4 << 20)), 0) << GetLastErrorText();
    const auto chunksBefore = test::ReadTree(dir / "src/tree_spt");
    // An earlier output of the last file: a cancel must not replace it with a part.
    WriteFile(dir / "out/tree/sub/f119", "earlier");
    {
        CancelWhenCopied cancel(5 << 20);
        ASSERT_EQ(RunJoin(dir / "src/tree_spt", dir / "out", test::Replacing()), -1);
    }
    EXPECT_EQ(GetLastErrorText(), "cancelled");
    // Files are placed only once every chunk matched: the folder is as it was.
    EXPECT_EQ(Names(dir / "out/tree/sub"), std::vector<std::string>{"f119"});
    EXPECT_EQ(ReadFile(dir / "out/tree/sub/f119"), "earlier");
    EXPECT_EQ(test::ReadTree(dir / "src/tree_spt"), chunksBefore);
}

TEST(RateEstimate, SpeedAndTimeLeftOnlyOnceMeaningful) {
    RateEstimate rate;
    rate.Sample(0.5, 50 << 20);
    EXPECT_FALSE(rate.Meaningful());
    EXPECT_EQ(rate.Text(1000 << 20), "");
    rate.Sample(1.0, 100 << 20);
    ASSERT_TRUE(rate.Meaningful());
    EXPECT_DOUBLE_EQ(rate.BytesPerSecond(), 100 << 20);
    EXPECT_EQ(rate.Text(1000 << 20), "100.00 M/s, 0:09 left");
    // A stall lowers the figure gradually, not to 0 at once.
    rate.Sample(1.5, 100 << 20);
    EXPECT_GT(rate.BytesPerSecond(), 50 << 20);
    EXPECT_LT(rate.BytesPerSecond(), 100 << 20);
}

TEST(RateEstimate, DurationTexts) {
    EXPECT_EQ(FormatDuration(0), "0:00");
    EXPECT_EQ(FormatDuration(41.2), "0:42");
    EXPECT_EQ(FormatDuration(725), "12:05");
    EXPECT_EQ(FormatDuration(10930), "3:02:10");
}

}  // namespace
}  // namespace partwise
