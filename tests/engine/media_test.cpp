// The largest file a file system takes, with the file system's answer
// injected, and which splits carry a join script.
#include <gtest/gtest.h>
#include <linux/magic.h>
#include <unistd.h>

#include "media_rules.h"
#include "partwise/errors.h"
#include "partwise/joiner.h"
#include "test_support.h"

namespace partwise {
namespace {

class OntoFat : public test::EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        OverrideFileSystemType(MSDOS_SUPER_MAGIC);
    }
    void TearDown() override { OverrideFileSystemType(0); }
};

TEST_F(OntoFat, TakesFilesUpTo4GiBLess1Byte) {
    EXPECT_EQ(CheckChunksFit("/out", 4294967295), 0);
    EXPECT_EQ(CheckChunksFit("/out", 4294967296), -1);
    EXPECT_EQ(GetLastErrorText(),
              "cannot split into '/out': chunks of 4.00 G do not fit on this FAT32 file system (largest file 4 GiB "
              "\xE2\x88\x92 1 byte); choose 4095 MB or the preset fat32");
    OverrideFileSystemType(EXT4_SUPER_MAGIC);
    EXPECT_EQ(CheckChunksFit("/out", int64_t{1} << 40), 0);
}

// The largest file a split writes is the chunk size, or the source when it is smaller.
TEST_F(OntoFat, SplitIsRefusedBeforeWritingChunksTooLarge) {
    test::WriteFile(dir / "disk.img", "");
    ASSERT_EQ(::truncate((dir / "disk.img").c_str(), 4294967296), 0);
    EXPECT_EQ(RunSplit(test::MakeJob(dir / "disk.img", dir.path(), 4294967296)), -1);
    EXPECT_FALSE(test::Exists(dir / "disk_spt"));
    test::WriteFile(dir / "small.img", "0123456789");
    EXPECT_EQ(RunSplit(test::MakeJob(dir / "small.img", dir.path(), int64_t{8} << 30)), 0) << GetLastErrorText();
}

TEST_F(OntoFat, JoinIsRefusedBeforeWritingAFileTooLarge) {
    test::WriteFile(dir / "disk.img", "");
    ASSERT_EQ(::truncate((dir / "disk.img").c_str(), 4294967296), 0);
    OverrideFileSystemType(0);
    ASSERT_EQ(RunSplit(test::MakeJob(dir / "disk.img", dir.path(), 1 << 30)), 0) << GetLastErrorText();
    test::WriteFile(dir / "out/.keep", "");
    OverrideFileSystemType(MSDOS_SUPER_MAGIC);
    EXPECT_EQ(RunJoin(dir / "disk_spt", dir / "out"), -1);
    EXPECT_EQ(GetLastErrorText(), "cannot join into '" + dir / "out" +
                                      "': 'disk.img' of 4.00 G does not fit on this FAT32 file system (largest file 4 "
                                      "GiB \xE2\x88\x92 1 byte)");
    EXPECT_EQ(test::ReadTree(dir / "out").size(), 1U);
}

using JoinScript = test::EngineTest;

// Only a single-file set without a password gets one; the report says why not.
TEST_F(JoinScript, GoesWithSingleFileSetsWithoutPassword) {
    test::WriteFile(dir / "f/a.bin", test::PatternBytes(3000));
    const struct {
        std::string source, password, script, note;
    } cases[] = {
        {dir / "f/a.bin", "", dir / "a_spt/join-a.sh", ""},
        {dir / "f/a.bin", "pw", dir / "a_spt/join-a.sh",
         "no join script: it would join the chunks without the password"},
        {dir / "f", "", dir / "f_spt/join-f.sh", "no join script: a folder set needs Partwise to rebuild the tree"}};
    for (const auto& c : cases) {
        SplitJob job = test::MakeJob(c.source, dir.path(), 1024, c.password);
        job.joinScript = 1;
        SplitReport report;
        ASSERT_EQ(RunSplit(job, &report), 0) << GetLastErrorText();
        EXPECT_EQ(report.joinScriptNote, c.note);
        EXPECT_EQ(test::Exists(c.script), c.note.empty()) << c.script;
    }
}

}  // namespace
}  // namespace partwise
