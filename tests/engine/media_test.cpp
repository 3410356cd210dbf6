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

// FAT takes files up to 4 GiB - 1 byte: a split or a join that would write a
// larger one is refused before it writes anything.
TEST_F(OntoFat, LargerFilesAreRefusedBeforeWriting) {
    EXPECT_EQ(CheckChunksFit("/out", 4294967295), 0);
    test::WriteFile(dir / "disk.img", "");
    ASSERT_EQ(::truncate((dir / "disk.img").c_str(), 4294967296), 0);
    EXPECT_EQ(RunSplit(test::MakeJob(dir / "disk.img", dir.path(), 4294967296)), -1);
    EXPECT_EQ(GetLastErrorText(), "cannot split into '" + dir.path() +
                                      "': chunks of 4.00 G do not fit on this FAT32 file system (largest file 4 GiB "
                                      "\xE2\x88\x92 1 byte); choose 4095 MB or the preset fat32");
    EXPECT_FALSE(test::Exists(dir / "disk_spt"));
    // Every other file system is taken as unlimited.
    OverrideFileSystemType(EXT4_SUPER_MAGIC);
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
