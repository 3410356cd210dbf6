#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "partwise/errors.h"
#include "partwise/fsutil.h"
#include "partwise/progress.h"
#include "test_support.h"
#include "walk.h"

namespace partwise {
namespace {

class FsUtil : public test::EngineTest {};

TEST_F(FsUtil, PathTypeAndSize) {
    test::WriteFile(dir / "file", "12345");
    EXPECT_EQ(GetPathType(dir / "file"), 0);
    EXPECT_EQ(GetPathType(dir.path()), 1);
    EXPECT_EQ(GetPathType(dir / "missing"), -1);
    EXPECT_EQ(GetPathSize(dir / "file"), 5);
    EXPECT_EQ(GetPathSize(dir / "missing"), -1);
    EXPECT_EQ(GetFileSize64(dir / "missing"), -1);
    EXPECT_NE(GetLastErrorText().find(dir / "missing"), std::string::npos);
    EXPECT_EQ(GetFolderSize(dir / "missing"), -1);
}

TEST_F(FsUtil, WalkTakesHiddenFilesInByteOrderDepthFirst) {
    test::WriteFile(dir / "top/a.txt", std::string(10, 'a'));
    test::WriteFile(dir / "top/sub/b.txt", std::string(20, 'b'));
    test::WriteFile(dir / "top/.hidden", std::string(5, 'h'));
    test::WriteFile(dir / "top/B", "B");
    ASSERT_EQ(::mkdir((dir / "top/empty").c_str(), 0755), 0);
    const std::string top = dir / "top";

    EXPECT_EQ(GetFolderSize(top), 36);
    std::vector<std::string> list;
    EXPECT_EQ(ListFolderFiles(top, list, 1), 0);
    EXPECT_EQ(list, (std::vector<std::string>{top + "/.hidden", top + "/B", top + "/a.txt", top + "/sub/b.txt"}));

    list.clear();
    EXPECT_EQ(ListFolderFiles(top, list, 0), 0);
    EXPECT_EQ(list, (std::vector<std::string>{top + "/.hidden", top + "/B", top + "/a.txt"}));
    EXPECT_EQ(GetListEntry(list, 2), top + "/a.txt");
    EXPECT_EQ(GetListEntry(list, 3), "");
    EXPECT_EQ(GetListEntry(list, -1), "");
}

TEST_F(FsUtil, FoldersLargerThanABatchWalkTheSameInSmallBatches) {
    const std::string top = dir / "top";
    for (const char* name : {"m", "a-", "z", "é", "\x7f", "b.c", ".h", "Z", "aa", "a.b"})
        test::WriteFile(top + "/" + name, name);
    for (const char* name : {"b/3", "b/1", "b/2", "b/sub/x", "b/sub/y", "a/q"}) test::WriteFile(top + "/" + name, "");
    auto walk = [&top](std::size_t batchSize) {
        FolderWalker walker(top, true, true, batchSize);
        std::vector<std::string> paths;
        for (WalkEntry entry; walker.Next(entry);) paths.push_back(entry.path.substr(top.size() + 1));
        EXPECT_FALSE(walker.failed());
        return paths;
    };
    const std::vector<std::string> expected{".h",  "Z",       "a/q",     "a-",  "a.b", "aa", "b/1",  "b/2",
                                            "b/3", "b/sub/x", "b/sub/y", "b.c", "m",   "z",  "\x7f", "é"};
    for (std::size_t batchSize : {std::size_t{1}, std::size_t{2}, std::size_t{3}, FolderWalker::kBatchSize})
        EXPECT_EQ(walk(batchSize), expected) << "batches of " << batchSize;
}

TEST_F(FsUtil, WalkFollowsFileLinksOnlyAndSkipsSpecialFiles) {
    const std::string top = dir / "top";
    test::WriteFile(top + "/real", "1234");
    test::WriteFile(dir / "outside/x", "123456789");
    ASSERT_EQ(::symlink((dir / "outside/x").c_str(), (top + "/link-to-file").c_str()), 0);
    ASSERT_EQ(::symlink((dir / "outside").c_str(), (top + "/link-to-folder").c_str()), 0);
    ASSERT_EQ(::symlink(top.c_str(), (top + "/loop").c_str()), 0);
    ASSERT_EQ(::symlink((dir / "nowhere").c_str(), (top + "/dangling").c_str()), 0);
    ASSERT_EQ(::mkfifo((top + "/fifo").c_str(), 0644), 0);

    std::vector<std::string> list;
    EXPECT_EQ(ListFolderFiles(top, list, 1), 0);
    EXPECT_EQ(list, (std::vector<std::string>{top + "/link-to-file", top + "/real"}));
    EXPECT_EQ(GetFolderSize(top), 13);
}

TEST_F(FsUtil, UnlistableSubFolderIsReported) {
    if (::geteuid() == 0) GTEST_SKIP() << "root reads any folder";
    test::WriteFile(dir / "top/locked/x", "x");
    test::WriteFile(dir / "top/y", "yy");
    ASSERT_EQ(::chmod((dir / "top/locked").c_str(), 0), 0);
    std::vector<std::string> list;
    EXPECT_EQ(ListFolderFiles(dir / "top", list, 1), -1);
    EXPECT_EQ(list, std::vector<std::string>{dir / "top/y"});
    EXPECT_NE(GetLastErrorText().find("locked"), std::string::npos);
    EXPECT_EQ(GetFolderSize(dir / "top"), 2);
}

TEST(PathNames, LastComponentAndStem) {
    EXPECT_EQ(GetLastPathComponent("C:/data/film.mkv"), "film.mkv");
    EXPECT_EQ(GetLastPathComponent("C:\\data\\film.mkv"), "film.mkv");
    EXPECT_EQ(GetLastPathComponent("C:/data/"), "");
    EXPECT_EQ(GetLastPathComponent("/home/u/a.b"), "a.b");
    EXPECT_EQ(GetLastPathComponent("film.mkv"), "");
    EXPECT_EQ(GetLastPathComponent("/film.mkv"), "");  // the first character never separates

    std::string name = "archive.tar.gz";
    StripExtension(name);
    EXPECT_EQ(name, "archive");
    name = ".profile";
    StripExtension(name);
    EXPECT_EQ(name, "");
    name = "README";
    StripExtension(name);
    EXPECT_EQ(name, "README");
}

TEST_F(FsUtil, CreatesFoldersOnTheWayButNotTheFile) {
    const std::string file = dir / "out/photos/2019/a.jpg";
    EXPECT_EQ(CreateParentFolders(file), 0);
    EXPECT_EQ(GetPathType(dir / "out/photos/2019"), 1);
    EXPECT_EQ(GetPathType(file), -1);
    EXPECT_EQ(CreateParentFolders(file), 0);  // already there

    test::WriteFile(dir / "plain", "x");
    EXPECT_EQ(CreateFolder(dir / "plain"), -1);
    EXPECT_NE(GetLastErrorText().find("Not a directory"), std::string::npos);
    EXPECT_EQ(CreateParentFolders(dir / "plain/sub/file"), -1);
}

TEST(FormatSize, Table) {
    const std::pair<int64_t, const char*> cases[] = {
        {0, "0 bytes"},          {1023, "1023 bytes"},   {1024, "1.00 KB"},   {1536, "1.50 KB"},
        {1048575, "1024.00 KB"}, {1048576, "1.00 M"},    {1053819, "1.00 M"}, {1073741823, "1024.00 M"},
        {1073741824, "1.00 G"},  {5368709120, "5.00 G"}, {-1, "-1 bytes"},    {734003200, "700.00 M"},
    };
    for (const auto& [size, text] : cases) EXPECT_EQ(FormatSize(size), text) << size;
}

}  // namespace
}  // namespace partwise
