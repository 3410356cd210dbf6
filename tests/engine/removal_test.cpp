#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "partwise/errors.h"
#include "partwise/joiner.h"
#include "partwise/removal.h"
#include "partwise/splitter.h"
#include "test_support.h"

namespace partwise {
namespace {

using test::Exists;
using test::WriteFile;

class RemoveSource : public test::EngineTest {
protected:
    // Splits source into dir and returns the job, for RemoveSplitSource.
    SplitJob Split(const std::string& source, int64_t chunkSize = 3) {
        SplitJob job = test::MakeJob(source, dir.path(), chunkSize);
        EXPECT_EQ(RunSplit(job), 0) << GetLastErrorText();
        return job;
    }
    bool IsFolder(const std::string& path) {
        struct stat st {};
        return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    }
    SourceRemoval removal;
};

TEST_F(RemoveSource, FileSource) {
    WriteFile(dir / "f.bin", "0123456789");
    const SplitJob job = Split(dir / "f.bin");
    ASSERT_EQ(RemoveSplitSource(job, removal), 0) << GetLastErrorText();
    EXPECT_TRUE(removal.setIsSound);
    EXPECT_EQ(removal.filesRemoved, 1);
    EXPECT_FALSE(Exists(dir / "f.bin"));
    EXPECT_TRUE(Exists(dir / "f_spt/f_3.spt"));
}

// Only the files the set holds go, and the folders that held them and are
// left empty; the empty folders too when the set's metadata file records
// them. What the split passed over or never saw stays, and is named.
TEST_F(RemoveSource, FolderSourceKeepsWhatTheSetDoesNotHold) {
    for (const bool withMetadata : {true, false}) {
        SCOPED_TRACE(withMetadata ? "with its metadata file" : "without its metadata file");
        const std::string root = dir / "tree";
        WriteFile(root + "/a", "aaaa");
        WriteFile(root + "/sub/b", "bb");
        WriteFile(root + "/sub/deeper/c", "");
        WriteFile(root + "/.hidden/d", "d");
        WriteFile(root + "/x/e", "e");
        ASSERT_EQ(::mkdir((root + "/bare").c_str(), 0755), 0);
        ASSERT_EQ(::mkdir((root + "/bare/deeper").c_str(), 0755), 0);
        ASSERT_EQ(::mkfifo((root + "/x/pipe").c_str(), 0600), 0);
        WriteFile(dir / "outside/keep", "keep");
        ASSERT_EQ(::symlink((dir / "outside").c_str(), (root + "/link").c_str()), 0);
        const SplitJob job = Split(root);
        if (!withMetadata) {
            ASSERT_EQ(::unlink(MetadataFilePath(dir / "tree_spt", "tree").c_str()), 0);
        }
        for (const char* late : {"late1", "late2", "late3", "x/late4"}) WriteFile(root + "/" + late, "new");

        ASSERT_EQ(RemoveSplitSource(job, removal), 0) << GetLastErrorText();
        EXPECT_EQ(removal.filesRemoved, 5);
        EXPECT_EQ(removal.filesNotRemoved, 0);
        for (const char* gone : {"a", "sub", ".hidden", "x/e"}) EXPECT_FALSE(Exists(root + "/" + gone)) << gone;
        EXPECT_EQ(IsFolder(root + "/bare"), !withMetadata);
        EXPECT_EQ(test::ReadFile(dir / "outside/keep"), "keep");
        const std::vector<std::string> kept =
            withMetadata ? std::vector<std::string>{"late1", "late2", "late3", "link", "x/late4"}
                         : std::vector<std::string>{"bare/deeper", "late1", "late2", "late3", "link"};
        EXPECT_EQ(removal.keptCount, withMetadata ? 6 : 7);
        EXPECT_EQ(removal.keptSample, kept);
        std::filesystem::remove_all(root);
    }
}

TEST_F(RemoveSource, EmptiedFolderSourceGoesWhole) {
    WriteFile(dir / "tree/a", "aaaa");
    WriteFile(dir / "tree/s/t/b", "bb");
    const SplitJob job = Split(dir / "tree");
    ASSERT_EQ(RemoveSplitSource(job, removal), 0) << GetLastErrorText();
    EXPECT_FALSE(Exists(dir / "tree"));
    EXPECT_EQ(removal.keptCount, 0);
}

// Nothing goes unless the new set checks out.
TEST_F(RemoveSource, SetThatFailsItsCheckDeletesNothing) {
    WriteFile(dir / "tree/a", "aaaa");
    WriteFile(dir / "tree/b", "bb");
    struct Case {
        const char* what;
        void (*spoil)(const test::TempDir&, SplitJob&);
    };
    const Case cases[] = {
        {"a damaged chunk", [](const test::TempDir& d, SplitJob&) { WriteFile(d / "tree_spt/tree_1.spt", "xyz"); }},
        {"a missing chunk", [](const test::TempDir& d, SplitJob&) { ::unlink((d / "tree_spt/tree_1.spt").c_str()); }},
        {"another total size", [](const test::TempDir&, SplitJob& j) { ++j.totalSize; }},
    };
    for (const Case& c : cases) {
        SplitJob spoilt = Split(dir / "tree");
        c.spoil(dir, spoilt);
        EXPECT_EQ(RemoveSplitSource(spoilt, removal), -1) << c.what;
        EXPECT_FALSE(removal.setIsSound) << c.what;
        EXPECT_NE(GetLastErrorText().find("did not pass its check"), std::string::npos) << GetLastErrorText();
        EXPECT_TRUE(Exists(dir / "tree/a") && Exists(dir / "tree/b")) << c.what;
    }
}

TEST_F(RemoveSource, FileThatCannotBeDeletedIsReportedNotKept) {
    if (::geteuid() == 0) GTEST_SKIP() << "root deletes in any folder";
    WriteFile(dir / "tree/a", "aaaa");
    WriteFile(dir / "tree/locked/b", "bb");
    const SplitJob job = Split(dir / "tree");
    ASSERT_EQ(::chmod((dir / "tree/locked").c_str(), 0555), 0);
    EXPECT_EQ(RemoveSplitSource(job, removal), -1);
    ::chmod((dir / "tree/locked").c_str(), 0755);
    EXPECT_TRUE(removal.setIsSound);
    EXPECT_EQ(removal.filesRemoved, 1);
    EXPECT_EQ(removal.filesNotRemoved, 1);
    EXPECT_EQ(removal.keptCount, 0);
    EXPECT_EQ(GetLastErrorText().rfind("cannot delete '" + (dir / "tree/locked/b") + "': ", 0), 0u)
        << GetLastErrorText();
    EXPECT_TRUE(Exists(dir / "tree/locked/b"));
}

}  // namespace
}  // namespace partwise
