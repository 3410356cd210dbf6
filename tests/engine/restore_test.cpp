#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "meta_file.h"
#include "partwise/errors.h"
#include "partwise/joiner.h"
#include "partwise/splitter.h"
#include "test_support.h"

namespace partwise {
namespace {

using test::Exists;
using test::ReadFile;
using test::WriteFile;

struct stat Look(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st;
}

void SetTime(const std::string& path, int64_t seconds, long nanoseconds) {
    const struct timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(seconds), nanoseconds}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

// Mode bits and modification time, as the join should give them back.
void ExpectSameMetadata(const std::string& original, const std::string& copy) {
    const struct stat a = Look(original), b = Look(copy);
    EXPECT_EQ(a.st_mode & 07777, b.st_mode & 07777) << copy;
    EXPECT_EQ(a.st_mtim.tv_sec, b.st_mtim.tv_sec) << copy;
    EXPECT_EQ(a.st_mtim.tv_nsec, b.st_mtim.tv_nsec) << copy;
}

class Restore : public test::EngineTest {
protected:
    // A tree with what a plain copy loses. Modes and times are set last,
    // deepest first, so that writing the tree does not change them.
    void MakeTree() {
        WriteFile(dir / "src/tree/run.sh", "#!/bin/sh\necho hi\n");
        WriteFile(dir / "src/tree/old.txt", "from 2001");
        WriteFile(dir / "src/tree/private/key", "secret");
        WriteFile(dir / "src/tree/docs/read-only.txt", "do not touch");
        ASSERT_EQ(::mkdir((dir / "src/tree/empty").c_str(), 0750), 0);
        ASSERT_EQ(::mkdir((dir / "src/tree/empty/deeper").c_str(), 0755), 0);
        ASSERT_EQ(::mkdir((dir / "src/tree/empty/deeper/deepest").c_str(), 0711), 0);
        ASSERT_EQ(::chmod((dir / "src/tree/run.sh").c_str(), 0755), 0);
        ASSERT_EQ(::chmod((dir / "src/tree/docs/read-only.txt").c_str(), 0444), 0);
        SetTime(dir / "src/tree/old.txt", 1000000000, 0);  // 2001-09-09
        SetTime(dir / "src/tree/run.sh", 1600000000, 123456789);
        SetTime(dir / "src/tree/empty/deeper/deepest", 1100000000, 5);
        SetTime(dir / "src/tree/empty/deeper", 1200000000, 0);
        SetTime(dir / "src/tree/empty", 1300000000, 0);
        ASSERT_EQ(::chmod((dir / "src/tree/private").c_str(), 0700), 0);
        SetTime(dir / "src/tree/private", 1400000000, 999999999);
        ASSERT_EQ(::chmod((dir / "src/tree/docs").c_str(), 0555), 0);
        SetTime(dir / "src/tree/docs", 1500000000, 0);
        SetTime(dir / "src/tree", 1700000000, 42);
    }
    const std::vector<std::string> kPaths = {".",
                                             "run.sh",
                                             "old.txt",
                                             "private",
                                             "private/key",
                                             "docs",
                                             "docs/read-only.txt",
                                             "empty",
                                             "empty/deeper",
                                             "empty/deeper/deepest"};
    void TearDown() override {
        // Let the temporary folder go.
        for (const std::string folder : {"src/tree/docs", "out5/tree/docs", "out1048576/tree/docs"})
            if (Exists(dir / folder)) ::chmod((dir / folder).c_str(), 0755);
    }
};

TEST_F(Restore, TreeComesBackWithModesTimesAndEmptyFolders) {
    MakeTree();
    for (int64_t chunkSize : {5, 1 << 20}) {
        SCOPED_TRACE(chunkSize);
        ASSERT_EQ(RunSplit(test::MakeJob(dir / "src/tree", dir.path(), chunkSize)), 0) << GetLastErrorText();
        const std::string out = dir / ("out" + std::to_string(chunkSize));
        ASSERT_EQ(::mkdir(out.c_str(), 0755), 0);
        ASSERT_EQ(RunJoin(dir / "tree_spt", out), 0) << GetLastErrorText();
        EXPECT_EQ(test::ReadTree(out + "/tree"), test::ReadTree(dir / "src/tree"));
        for (const std::string& path : kPaths) ExpectSameMetadata(dir / ("src/tree/" + path), out + "/tree/" + path);
    }
}

TEST_F(Restore, WithoutMetadataOnlyTheBytesComeBack) {
    MakeTree();
    ASSERT_EQ(RunSplit(test::MakeJob(dir / "src/tree", dir.path(), 100)), 0) << GetLastErrorText();
    JoinOptions options;
    options.restoreMetadata = false;
    ASSERT_EQ(::mkdir((dir / "out5").c_str(), 0755), 0);
    ASSERT_EQ(RunJoin(dir / "tree_spt", dir / "out5", options), 0) << GetLastErrorText();
    EXPECT_EQ(test::ReadTree(dir / "out5/tree"), test::ReadTree(dir / "src/tree"));
    EXPECT_FALSE(Exists(dir / "out5/tree/empty"));
    EXPECT_NE(Look(dir / "out5/tree/old.txt").st_mtim.tv_sec, 1000000000);
    EXPECT_EQ(Look(dir / "out5/tree/run.sh").st_mode & 0111, 0u);

    // A set from before, or from elsewhere, has no metadata file at all.
    ASSERT_EQ(::unlink((dir / "tree_spt/tree.meta").c_str()), 0);
    ASSERT_EQ(::mkdir((dir / "again").c_str(), 0755), 0);
    ASSERT_EQ(RunJoin(dir / "tree_spt", dir / "again"), 0) << GetLastErrorText();
    EXPECT_EQ(test::ReadTree(dir / "again/tree"), test::ReadTree(dir / "src/tree"));
    EXPECT_FALSE(Exists(dir / "again/tree/empty"));
}

TEST_F(Restore, SingleFileKeepsItsModeAndTime) {
    WriteFile(dir / "src/tool", test::PatternBytes(1000));
    ASSERT_EQ(::chmod((dir / "src/tool").c_str(), 0750), 0);
    SetTime(dir / "src/tool", 978307200, 250000000);  // 2001-01-01
    ASSERT_EQ(RunSplit(test::MakeJob(dir / "src/tool", dir.path(), 300)), 0) << GetLastErrorText();
    EXPECT_EQ(ReadFile(dir / "tool_spt/tool.meta"), "partwise-meta 1\nF 0750 978307200 250000000 .\n");
    WriteFile(dir / "out/.keep", "");
    ASSERT_EQ(RunJoin(dir / "tool_spt", dir / "out"), 0) << GetLastErrorText();
    ExpectSameMetadata(dir / "src/tool", dir / "out/tool");
}

TEST_F(Restore, NeverReplacesItsOwnMetadataFile) {
    // "f.meta" joined into its own chunk folder lands on the set's metadata file.
    WriteFile(dir / "src/f.meta", "data");
    ASSERT_EQ(RunSplit(test::MakeJob(dir / "src/f.meta", dir.path(), 3)), 0) << GetLastErrorText();
    const std::string before = ReadFile(dir / "f_spt/f.meta");
    EXPECT_EQ(RunJoin(dir / "f_spt", dir / "f_spt", test::Replacing()), -1);
    EXPECT_NE(GetLastErrorText().find("part of the chunk set"), std::string::npos) << GetLastErrorText();
    EXPECT_EQ(ReadFile(dir / "f_spt/f.meta"), before);
}

TEST_F(Restore, SplitReportsWhatItPassesOver) {
    WriteFile(dir / "src/t/a", "a");
    WriteFile(dir / "src/t/sub/b", "b");
    ASSERT_EQ(::symlink("sub", (dir / "src/t/to-sub").c_str()), 0);
    ASSERT_EQ(::symlink("nowhere", (dir / "src/t/sub/dangling").c_str()), 0);
    ASSERT_EQ(::symlink("a", (dir / "src/t/to-a").c_str()), 0);  // stored as the file it points to
    ASSERT_EQ(::mkfifo((dir / "src/t/pipe").c_str(), 0644), 0);
    SplitReport report;
    report.passedOver.push_back({PassedOverKind::Device, "left from before"});
    ASSERT_EQ(RunSplit(test::MakeJob(dir / "src/t", dir.path(), 10), &report), 0) << GetLastErrorText();
    ASSERT_EQ(report.passedOver.size(), 3u);
    EXPECT_EQ(report.passedOver[0].kind, PassedOverKind::Fifo);
    EXPECT_EQ(report.passedOver[0].path, dir / "src/t/pipe");
    EXPECT_EQ(report.passedOver[1].kind, PassedOverKind::DanglingLink);
    EXPECT_EQ(report.passedOver[1].path, dir / "src/t/sub/dangling");
    EXPECT_EQ(report.passedOver[2].kind, PassedOverKind::LinkToFolder);
    EXPECT_EQ(DescribePassedOver(report.passedOver), "passed over 1 link to a folder, 1 dangling link and 1 FIFO");
    EXPECT_EQ(DescribePassedOver({}), "");
    report.passedOver.pop_back();
    report.passedOver.push_back(report.passedOver[0]);
    EXPECT_EQ(DescribePassedOver(report.passedOver), "passed over 1 dangling link and 2 FIFOs");
}

// A metadata file written by someone else: refused before anything is
// written, or stripped of what a join never gives; the sentinel outside the
// output folder never changes.
class HostileMeta : public test::EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        WriteFile(dir / "src/tree/a", "abc");
        WriteFile(dir / "src/tree/sub/b", "def");
        ASSERT_EQ(RunSplit(test::MakeJob(dir / "src/tree", dir.path(), 10)), 0) << GetLastErrorText();
        WriteFile(dir / "sentinel", "keep me");
        ASSERT_EQ(::chmod((dir / "sentinel").c_str(), 0644), 0);
        SetTime(dir / "sentinel", 1234567890, 0);
        WriteFile(dir / "out/.keep", "");
    }
    void WriteMeta(const std::vector<std::string>& lines) {
        std::string text = "partwise-meta 1\n";
        for (const std::string& line : lines) text += line + "\n";
        WriteFile(dir / "tree_spt/tree.meta", text);
    }
    void ExpectSentinelUnchanged() {
        const struct stat st = Look(dir / "sentinel");
        EXPECT_EQ(ReadFile(dir / "sentinel"), "keep me");
        EXPECT_EQ(st.st_mode & 07777, 0644u);
        EXPECT_EQ(st.st_mtim.tv_sec, 1234567890);
    }
};

TEST_F(HostileMeta, RefusedBeforeAnythingIsWritten) {
    struct Case {
        std::vector<std::string> lines;
        std::string reason;
    };
    const std::vector<Case> cases = {
        {{"D 0755 0 0 .", "D 0777 0 0 ..", "F 0644 0 0 a", "F 0644 0 0 sub/b"}, "unsafe folder path '..'"},
        {{"D 0755 0 0 ../escape", "F 0644 0 0 a", "F 0644 0 0 sub/b"}, "unsafe folder path '../escape'"},
        {{"D 0755 0 0 /tmp", "F 0644 0 0 a", "F 0644 0 0 sub/b"}, "unsafe folder path '/tmp'"},
        {{"D 0755 0 0 sub//x", "F 0644 0 0 a", "F 0644 0 0 sub/b"}, "unsafe folder path"},
        {{"D 0755 0 0 " + std::string(300, 'x'), "F 0644 0 0 a", "F 0644 0 0 sub/b"}, "unsafe folder path"},
        {{"F 0644 0 0 a", "F 0644 0 0 ../sentinel", "F 0644 0 0 sub/b"}, "lists the file '../sentinel'"},
        {{"F 0644 0 0 a", "F 0644 0 0 sub/b", "F 0644 0 0 c"}, "lists the file 'c', which the chunk set does not list"},
        {{"F 0644 0 0 sub/b", "F 0644 0 0 a"}, "lists the file 'sub/b' where the chunk set lists 'a'"},
        {{"F 0644 0 0 a"}, "does not list the file 'sub/b'"},
        {{"F 0644 0 0 a", "F 0644 0 0 sub/b", "X 0644 0 0 c"}, "line 4 is not an entry"},
        {{"F 0644 0 0 a", "F 0644 0 0 sub/b", "F 010644 0 0 c"}, "line 4 is not an entry"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        WriteMeta(c.lines);
        EXPECT_EQ(RunJoin(dir / "tree_spt", dir / "out"), -1);
        EXPECT_NE(GetLastErrorText().find(c.reason), std::string::npos) << GetLastErrorText();
        EXPECT_FALSE(Exists(dir / "out/tree"));
        ExpectSentinelUnchanged();
    }
    WriteFile(dir / "tree_spt/tree.meta", "partwise-meta 2\n");
    EXPECT_EQ(RunJoin(dir / "tree_spt", dir / "out"), -1);
    EXPECT_NE(GetLastErrorText().find("not a metadata file of this version"), std::string::npos);
}

TEST_F(HostileMeta, SpecialBitsAreStripped) {
    WriteMeta({"D 07777 0 0 .", "F 06755 1000 0 a", "D 01777 0 0 sub", "F 04777 2000 0 sub/b", "D 02700 0 0 extra"});
    ASSERT_EQ(RunJoin(dir / "tree_spt", dir / "out"), 0) << GetLastErrorText();
    EXPECT_EQ(Look(dir / "out/tree/a").st_mode & 07777, 0755u);
    EXPECT_EQ(Look(dir / "out/tree/a").st_mtim.tv_sec, 1000);
    EXPECT_EQ(Look(dir / "out/tree/sub/b").st_mode & 07777, 0777u);
    EXPECT_EQ(Look(dir / "out/tree/sub").st_mode & 07777, 0777u);
    EXPECT_EQ(Look(dir / "out/tree/extra").st_mode & 07777, 0700u);
    EXPECT_EQ(Look(dir / "out/tree").st_mode & 07777, 0777u);
    ExpectSentinelUnchanged();
}

TEST_F(HostileMeta, NothingIsAppliedThroughALink) {
    // A folder entry where the output already holds a link to the outside.
    WriteMeta({"D 0700 0 0 .", "F 0644 0 0 a", "D 0700 0 0 sub", "F 0644 0 0 sub/b", "D 0777 0 0 out-link"});
    ASSERT_EQ(::mkdir((dir / "out/tree").c_str(), 0755), 0);
    ASSERT_EQ(::symlink(dir.path().c_str(), (dir / "out/tree/out-link").c_str()), 0);
    const struct stat before = Look(dir.path());
    EXPECT_EQ(RunJoin(dir / "tree_spt", dir / "out", test::Replacing()), -1);
    EXPECT_NE(GetLastErrorText().find("it is not a folder"), std::string::npos) << GetLastErrorText();
    EXPECT_EQ(Look(dir.path()).st_mode, before.st_mode);
    ExpectSentinelUnchanged();
}

}  // namespace
}  // namespace partwise
