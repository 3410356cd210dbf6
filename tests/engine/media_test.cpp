// The largest file a file system takes, with the file system's answer
// injected, and which splits carry a join script.
#include <gtest/gtest.h>
#include <linux/magic.h>
#include <unistd.h>

#include <string>

#include "media_rules.h"
#include "partwise/errors.h"
#include "partwise/splitter.h"
#include "test_support.h"

namespace partwise {
namespace {

using test::Exists;

class FileSystemLimit : public test::EngineTest {
protected:
    void TearDown() override { OverrideFileSystemType(0); }
};

TEST_F(FileSystemLimit, FatTakesFilesUpTo4GiBLess1Byte) {
    constexpr int64_t kLargest = 4294967295;
    OverrideFileSystemType(EXT4_SUPER_MAGIC);
    EXPECT_EQ(CheckChunksFit("/out", kLargest * 8), 0);
    OverrideFileSystemType(MSDOS_SUPER_MAGIC);
    EXPECT_EQ(CheckChunksFit("/out", kLargest), 0);
    EXPECT_EQ(CheckJoinedFileFits("/out", "f", kLargest), 0);
    EXPECT_EQ(CheckChunksFit("/out", kLargest + 1), -1);
    EXPECT_EQ(GetLastErrorText(),
              "cannot split into '/out': chunks of 4.00 G do not fit on this FAT32 file system (largest file 4 GiB "
              "\xE2\x88\x92 1 byte); choose 4095 MB or the preset fat32");
    EXPECT_EQ(CheckJoinedFileFits("/out", "disk.img", kLargest + 1), -1);
    EXPECT_EQ(GetLastErrorText(),
              "cannot join into '/out': 'disk.img' of 4.00 G does not fit on this FAT32 file system (largest file 4 "
              "GiB \xE2\x88\x92 1 byte)");
}

struct FitCase {
    int64_t sourceSize;
    int64_t chunkSize;
    bool refused;
};

class SplitOntoFat : public FileSystemLimit, public ::testing::WithParamInterface<FitCase> {};

// The largest file a split writes is the chunk size, or the source when it is smaller.
TEST_P(SplitOntoFat, RefusesChunksTooLargeBeforeWriting) {
    const FitCase c = GetParam();
    test::WriteFile(dir / "disk.img", "");
    ASSERT_EQ(::truncate((dir / "disk.img").c_str(), c.sourceSize), 0);
    OverrideFileSystemType(MSDOS_SUPER_MAGIC);
    EXPECT_EQ(RunSplit(test::MakeJob(dir / "disk.img", dir.path(), c.chunkSize)), c.refused ? -1 : 0)
        << GetLastErrorText();
    EXPECT_EQ(Exists(dir / "disk_spt"), !c.refused);
}

INSTANTIATE_TEST_SUITE_P(Sizes, SplitOntoFat,
                         ::testing::Values(FitCase{4294967296, 4294967296, true},
                                           FitCase{10, int64_t{8} << 30, false}));

struct ScriptCase {
    bool folder;
    const char* password;
    bool written;
    const char* note;
};

class JoinScript : public test::EngineTest, public ::testing::WithParamInterface<ScriptCase> {};

TEST_P(JoinScript, GoesWithSingleFileSetsWithoutPassword) {
    const ScriptCase c = GetParam();
    const std::string source = c.folder ? dir / "tree" : dir / "tree.bin";
    test::WriteFile(c.folder ? source + "/a.bin" : source, test::PatternBytes(3000));
    SplitJob job = test::MakeJob(source, dir.path(), 1024, c.password);
    job.joinScript = 1;
    SplitReport report;
    ASSERT_EQ(RunSplit(job, &report), 0) << GetLastErrorText();
    EXPECT_EQ(Exists(dir / "tree_spt/join-tree.sh"), c.written);
    EXPECT_EQ(report.joinScriptNote, c.note);
}

INSTANTIATE_TEST_SUITE_P(
    Sets, JoinScript,
    ::testing::Values(ScriptCase{false, "", true, ""},
                      ScriptCase{false, "pw", false, "no join script: it would join the chunks without the password"},
                      ScriptCase{true, "", false, "no join script: a folder set needs Partwise to rebuild the tree"}));

}  // namespace
}  // namespace partwise
