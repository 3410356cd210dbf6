#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <tuple>

#include "partwise/chunk_names.h"
#include "partwise/descriptor.h"
#include "partwise/errors.h"
#include "partwise/job_checks.h"
#include "partwise/joiner.h"
#include "partwise/progress.h"
#include "partwise/splitter.h"
#include "test_support.h"

namespace partwise {
namespace {

using test::Exists;
using test::ReadFile;
using test::WriteFile;

struct SizeCase {
    std::size_t fileSize;
    int64_t chunkSize;
    int32_t chunks;
};

class SingleFileRoundTrip : public test::EngineTest, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(SingleFileRoundTrip, JoinsBackByteForByte) {
    const SizeCase c = GetParam();
    const std::string content = test::PatternBytes(c.fileSize);
    WriteFile(dir / "src/data.bin", content);
    ASSERT_EQ(RunSplit(test::MakeJob(dir / "src/data.bin", dir / "src", c.chunkSize)), 0) << GetLastErrorText();
    EXPECT_EQ(GetBytesDone(), static_cast<int64_t>(c.fileSize));
    EXPECT_EQ(GetTotalBytes(), static_cast<int64_t>(c.fileSize));
    for (int32_t i = 0; i < c.chunks; ++i) {
        const int64_t expected = std::min<int64_t>(c.chunkSize, static_cast<int64_t>(c.fileSize) - i * c.chunkSize);
        EXPECT_EQ(ReadFile(dir / "src/data_spt/data_" + std::to_string(i) + ".spt"),
                  content.substr(static_cast<std::size_t>(i * c.chunkSize), static_cast<std::size_t>(expected)));
    }
    EXPECT_FALSE(Exists(dir / "src/data_spt/data_" + std::to_string(c.chunks) + ".spt"));
    ASSERT_EQ(ReadDescriptor(dir / "src/data_spt"), 0);
    EXPECT_EQ(GetChunkCount(), c.chunks);

    WriteFile(dir / "out/.keep", "");
    ASSERT_EQ(RunJoin(dir / "src/data_spt", dir / "out"), 0) << GetLastErrorText();
    EXPECT_EQ(ReadFile(dir / "out/data.bin"), content);
    EXPECT_EQ(GetBytesDone(), static_cast<int64_t>(c.fileSize));
}

INSTANTIATE_TEST_SUITE_P(Boundaries, SingleFileRoundTrip,
                         ::testing::Values(SizeCase{10, 4, 3}, SizeCase{12, 4, 3}, SizeCase{0, 4, 0}, SizeCase{1, 1, 1},
                                           SizeCase{4096, 4096, 1}, SizeCase{4095, 4096, 1}, SizeCase{4097, 4096, 2},
                                           SizeCase{3 << 20, 1 << 20, 3}, SizeCase{(3 << 20) + 7, 1000003, 4},
                                           SizeCase{5, 1 << 30, 1},
                                           // Chunk records beyond one written block, checked on
                                           // several threads; chunks on either side of the size
                                           // that goes through memory.
                                           SizeCase{9000, 1, 9000}, SizeCase{(2 << 20) + 5, (1 << 20) + 1, 3}));

class SplitJoin : public test::EngineTest {
protected:
    void Tree(const std::string& root) {
        WriteFile(root + "/a.txt", test::PatternBytes(5000, 1));
        WriteFile(root + "/empty", "");
        WriteFile(root + "/.hidden/config", test::PatternBytes(77, 2));
        WriteFile(root + "/deep/er/still/x.tar.gz", test::PatternBytes(12345, 3));
        WriteFile(root + "/deep/zero", "");
        WriteFile(root + "/été/文件.txt", test::PatternBytes(1000, 4));
        WriteFile(root + "/exact", test::PatternBytes(4096, 5));
    }
};

TEST_F(SplitJoin, NestedTreeRoundTripsAtManyChunkSizes) {
    Tree(dir / "src/my.tree");
    const auto original = test::ReadTree(dir / "src/my.tree");
    for (int64_t chunkSize : {13, 4096, 5000, 5077, 1 << 20}) {
        test::TempDir out;
        ASSERT_EQ(RunSplit(test::MakeJob(dir / "src/my.tree", out.path(), chunkSize)), 0) << GetLastErrorText();
        ASSERT_TRUE(Exists(out / "my_spt/spt_config.brixspt"));
        ASSERT_EQ(RunJoin(out / "my_spt", out.path()), 0) << chunkSize << ": " << GetLastErrorText();
        EXPECT_EQ(test::ReadTree(out / "my.tree"), original) << "chunk size " << chunkSize;
    }
}

TEST_F(SplitJoin, FilesListedOutOfWalkOrderStillJoin) {
    // Sets made elsewhere may list their files in another order.
    WriteFile(dir / "src/t/a", "aaa");
    WriteFile(dir / "src/t/b/c", "ccc");
    WriteFile(dir / "src/t/b.d", "ddd");
    ASSERT_EQ(RunSplit(test::MakeJob(dir / "src/t", dir.path(), 5)), 0) << GetLastErrorText();
    ASSERT_EQ(ReadDescriptor(dir / "t_spt"), 0);
    auto& records = Descriptor().fileRecords;
    ASSERT_EQ(records.size(), 4u);  // a, b/c (in two chunks), b.d
    EXPECT_STREQ(records[1]->relativePath, "b/c");
    EXPECT_STREQ(records[3]->relativePath, "b.d");
    std::rotate(records.begin(), records.begin() + 1, records.end());
    ASSERT_EQ(WriteDescriptor(), 0);
    // Such sets carry no metadata file in this order.
    ASSERT_EQ(::unlink((dir / "t_spt/t.meta").c_str()), 0);
    ASSERT_EQ(RunJoin(dir / "t_spt", dir.path()), 0) << GetLastErrorText();
    EXPECT_EQ(test::ReadTree(dir / "t"), test::ReadTree(dir / "src/t"));
}

TEST_F(SplitJoin, NamesKeepAllDotsAndStemsStopAtTheFirst) {
    WriteFile(dir / "report.final.doc", "0123456789");
    ASSERT_EQ(RunSplit(test::MakeJob(dir / "report.final.doc", dir.path(), 4)), 0) << GetLastErrorText();
    EXPECT_EQ(ReadFile(dir / "report_spt/report_2.spt"), "89");
    ASSERT_EQ(ReadDescriptor(dir / "report_spt"), 0);
    EXPECT_EQ(GetSourceName(), "report.final.doc");

    WriteFile(dir / "folder/ünï.cödé.txt", "x");
    ASSERT_EQ(RunSplit(test::MakeJob(dir / "folder/ünï.cödé.txt", dir / "folder", 4)), 0) << GetLastErrorText();
    ASSERT_EQ(::unlink((dir / "folder/ünï.cödé.txt").c_str()), 0);
    ASSERT_EQ(RunJoin(dir / "folder/ünï_spt", dir / "folder"), 0) << GetLastErrorText();
    EXPECT_EQ(ReadFile(dir / "folder/ünï.cödé.txt"), "x");
}

TEST_F(SplitJoin, TrailingSlashOnTheSourceIsIgnored) {
    WriteFile(dir / "src/photos/a", "abc");
    ASSERT_EQ(RunSplit(test::MakeJob(dir / "src/photos/", dir.path(), 2)), 0) << GetLastErrorText();
    ASSERT_EQ(ReadDescriptor(dir / "photos_spt"), 0);
    EXPECT_EQ(GetSourceName(), "photos");
}

TEST_F(SplitJoin, PasswordLeavesChunkBytesAlone) {
    WriteFile(dir / "a/f.bin", test::PatternBytes(1000));
    WriteFile(dir / "b/f.bin", test::PatternBytes(1000));
    ASSERT_EQ(RunSplit(test::MakeJob(dir / "a/f.bin", dir / "a", 300)), 0);
    ASSERT_EQ(RunSplit(test::MakeJob(dir / "b/f.bin", dir / "b", 300, "pw")), 0);
    for (int i = 0; i < 4; ++i) {
        const std::string name = "/f_spt/f_" + std::to_string(i) + ".spt";
        EXPECT_EQ(ReadFile(dir / "a" + name), ReadFile(dir / "b" + name));
    }
}

TEST_F(SplitJoin, SplittingAgainReplacesTheSetAndJoiningAgainTheOutput) {
    WriteFile(dir / "f.bin", test::PatternBytes(100, 1));
    ASSERT_EQ(RunSplit(test::MakeJob(dir / "f.bin", dir.path(), 10)), 0);
    // The same name and size: the same source, replaced without asking.
    WriteFile(dir / "f.bin", test::PatternBytes(100, 2));
    ASSERT_EQ(RunSplit(test::MakeJob(dir / "f.bin", dir.path(), 35)), 0) << GetLastErrorText();
    EXPECT_TRUE(Exists(dir / "f_spt/f_2.spt"));
    EXPECT_FALSE(Exists(dir / "f_spt/f_3.spt")) << "a chunk of the larger set was left";
    EXPECT_FALSE(Exists(dir / "f_spt/f_9.spt")) << "a chunk of the larger set was left";
    WriteFile(dir / "out/f.bin",
              "old contents that are longer than a hundred bytes, surely, since they go on and on "
              "and on for quite a while");
    ASSERT_EQ(RunJoin(dir / "f_spt", dir / "out", test::Replacing()), 0) << GetLastErrorText();
    ASSERT_EQ(RunJoin(dir / "f_spt", dir / "out", test::Replacing()), 0) << GetLastErrorText();
    EXPECT_EQ(ReadFile(dir / "out/f.bin"), test::PatternBytes(100, 2));
    EXPECT_EQ(test::ReadTree(dir / "out").size(), 1u);  // no temporary files left
}

TEST_F(SplitJoin, EmptyFilesInFoldersAndAfterAFullChunk) {
    WriteFile(dir / "src/blank/one", "");
    WriteFile(dir / "src/blank/sub/two", "");
    ASSERT_EQ(RunSplit(test::MakeJob(dir / "src/blank", dir.path(), 10)), 0);
    WriteFile(dir / "out/.keep", "");
    ASSERT_EQ(RunJoin(dir / "blank_spt", dir / "out"), 0) << GetLastErrorText();
    EXPECT_EQ(ReadFile(dir / "out/blank/one"), "");
    EXPECT_EQ(ReadFile(dir / "out/blank/sub/two"), "");

    // Empty files after a chunk that fills exactly are kept too.
    WriteFile(dir / "src/tail/a", "abcd");
    WriteFile(dir / "src/tail/b", "");
    WriteFile(dir / "src/tail/c", "");
    ASSERT_EQ(RunSplit(test::MakeJob(dir / "src/tail", dir.path(), 4)), 0);
    ASSERT_EQ(RunJoin(dir / "tail_spt", dir / "out"), 0) << GetLastErrorText();
    EXPECT_EQ(test::ReadTree(dir / "out/tail"), test::ReadTree(dir / "src/tail"));
}

class Refusals : public SplitJoin {
protected:
    void ExpectRefused(const SplitJob& job, const std::string& reason) {
        EXPECT_EQ(RunSplit(job), -1);
        EXPECT_NE(GetLastErrorText().find(reason), std::string::npos) << GetLastErrorText();
        EXPECT_FALSE(Exists(dir / "out/f_spt")) << "wrote before refusing: " << reason;
    }
};

TEST_F(Refusals, BadJobsWriteNothing) {
    WriteFile(dir / "f.bin", "0123456789");
    WriteFile(dir / "out/.keep", "");
    ExpectRefused(test::MakeJob(dir / "f.bin", dir / "out", 0), "greater than 0");
    ExpectRefused(test::MakeJob(dir / "f.bin", dir / "out", -4), "greater than 0");
    ExpectRefused(test::MakeJob(dir / "missing", dir / "out", 4), "No such file");

    SplitJob job = test::MakeJob(dir / "f.bin", dir / "out", 4);
    job.totalSize = int64_t{1} << 40;
    job.chunkSize = 1;
    ExpectRefused(job, "more than 2147483647 chunks");

    job = test::MakeJob(dir / "f.bin", dir / "out", 4);
    job.totalSize = 11;
    ExpectRefused(job, "changed since it was measured");

    job = test::MakeJob(dir / "f.bin", dir / "out", 4);
    job.totalSize = -1;
    ExpectRefused(job, "the size of '" + (dir / "f.bin") + "' cannot be measured");

    job = test::MakeJob(dir / "f.bin", dir / "out", 4);
    std::memset(job.password, 'p', sizeof job.password);
    ExpectRefused(job, "terminating NUL");

    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0644), 0);
    ExpectRefused(test::MakeJob(dir / "fifo", dir / "out", 4), "not a regular file or folder");
}

TEST_F(Refusals, FolderWithoutFilesIsNotSplitIntoAFile) {
    ASSERT_EQ(::mkdir((dir / "empty").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((dir / "empty/sub").c_str(), 0755), 0);
    ASSERT_EQ(::mkfifo((dir / "empty/sub/fifo").c_str(), 0644), 0);  // the walk passes over it
    WriteFile(dir / "out/.keep", "");
    EXPECT_EQ(RunSplit(test::MakeJob(dir / "empty", dir / "out", 4)), -1);
    EXPECT_EQ(GetLastErrorText(), "'" + (dir / "empty") + "' holds no files: nothing to split");
    EXPECT_FALSE(Exists(dir / "out/empty_spt"));
}

TEST_F(Refusals, OverlongNamesAndPaths) {
    // A relative path of 256 bytes inside a folder.
    WriteFile(dir / "big/" + std::string(200, 'd') + "/" + std::string(55, 'f'), "x");
    WriteFile(dir / "out/.keep", "");
    EXPECT_EQ(RunSplit(test::MakeJob(dir / "big", dir / "out", 4)), -1);
    EXPECT_NE(GetLastErrorText().find("longer than 255 bytes"), std::string::npos) << GetLastErrorText();
    EXPECT_FALSE(Exists(dir / "out/big_spt"));

    // An output folder so deep that the chunk paths pass 1023 bytes.
    std::string deep = dir / "out";
    while (deep.size() < 1010) deep += "/" + std::string(100, 'o');
    WriteFile(deep + "/.keep", "");
    WriteFile(dir / "f.bin", "x");
    EXPECT_EQ(RunSplit(test::MakeJob(dir / "f.bin", deep, 4)), -1);
    EXPECT_NE(GetLastErrorText().find("longer than 1023 bytes"), std::string::npos) << GetLastErrorText();
}

TEST_F(Refusals, OutputInsideTheSourceFolder) {
    WriteFile(dir / "src/a", "abc");
    WriteFile(dir / "src/inner/b", "def");
    EXPECT_EQ(RunSplit(test::MakeJob(dir / "src", dir / "src/inner", 2)), -1);
    EXPECT_NE(GetLastErrorText().find("into a folder inside it"), std::string::npos) << GetLastErrorText();
    EXPECT_EQ(RunSplit(test::MakeJob(dir / "src", dir / "src", 2)), -1);
    EXPECT_FALSE(Exists(dir / "src/src_spt"));
    EXPECT_FALSE(Exists(dir / "src/inner/src_spt"));
    // Nor through a chunk folder that is a link into the source.
    ASSERT_EQ(::mkdir((dir / "src/empty").c_str(), 0755), 0);
    ASSERT_EQ(::symlink((dir / "src/empty").c_str(), (dir / "src_spt").c_str()), 0);
    EXPECT_EQ(RunSplit(test::MakeJob(dir / "src", dir.path(), 2)), -1);
    EXPECT_NE(GetLastErrorText().find("symbolic link"), std::string::npos) << GetLastErrorText();
    EXPECT_EQ(test::ReadTree(dir / "src").size(), 2u);
    // A sibling whose name merely starts the same is fine.
    WriteFile(dir / "src2/.keep", "");
    EXPECT_EQ(RunSplit(test::MakeJob(dir / "src", dir / "src2", 2)), 0) << GetLastErrorText();
}

TEST_F(Refusals, JoinOfAFolderWithoutDescriptorWritesNothing) {
    WriteFile(dir / "nothing/.keep", "");
    WriteFile(dir / "out/.keep", "");
    EXPECT_EQ(RunJoin(dir / "nothing", dir / "out"), -1);
    EXPECT_NE(GetLastErrorText().find("spt_config.brixspt"), std::string::npos);
    EXPECT_EQ(test::ReadTree(dir / "out").size(), 1u);
}

// A count never yields more chunks than it asked for, nor chunks below 1 KiB,
// and nothing divides by 0.
TEST(ChunkSizeForCount, RoundsUpSoTheCountIsNeverExceeded) {
    struct Case {
        int64_t total, count, chunkSize;
    };
    const Case cases[] = {{1000001, 10, 100001}, {1000000, 10, 100000}, {50000000, 10, 5000000},
                          {10241, 10, 1025},     {10240, 10, 1024},     {5000, 9, 1024},
                          {9, 4, 1024},          {0, 5, 1024},          {-1, 5, 1024},
                          {100, 0, 1024}};
    for (const Case& c : cases) {
        EXPECT_EQ(ChunkSizeForCount(c.total, c.count), c.chunkSize) << c.total << " in " << c.count;
        if (c.total > 0 && c.count > 0) {
            EXPECT_LE(ChunkCountFor(c.total, c.chunkSize), c.count);
        }
    }
}

// What the front ends refuse before a job starts, with the reason they show.
TEST(JobOptions, TheFirstProblemIsTheReason) {
    const std::string deep = "/" + std::string(1023, 'p'),
                      tooDeep = "the path '" + deep + "' is longer than 1023 bytes";
    const std::string tooLong = "the password is longer than 31 bytes";
    const std::tuple<std::string, std::string, std::string, int64_t, std::string, std::string> cases[] = {
        {"/a", "/o", std::string(31, 'p'), 1, "", ""},
        {"", "/o", "", 1, "no source is chosen", "no chunk folder is chosen"},
        {"/a", "", "", 1, "no output folder is chosen", "no output folder is chosen"},
        {deep, "/o", "", 1, tooDeep, tooDeep},
        {"/a", "/o", std::string(32, 'p'), 1, tooLong, tooLong},
        {"/a", "/o", "", 0, "the chunk size must be at least 1 byte", ""}};
    for (const auto& [input, output, password, chunkSize, split, join] : cases) {
        EXPECT_EQ(SplitOptionsProblem(input, output, password, chunkSize), split);
        EXPECT_EQ(JoinOptionsProblem(input, output, password), join);
    }
}

// A name with control bytes keeps a reason on one line, written as
// `ls --quoting-style=shell-escape` writes it.
TEST(QuoteName, ControlBytesAsTheShellReadsThem) {
    const std::pair<std::string, std::string> cases[] = {
        {"a b", "'a b'"}, {"a\nb", "'a'$'\\n''b'"}, {"\x01\tz", "''$'\\001\\t''z'"}, {"end\n", "'end'$'\\n'"}};
    for (const auto& [name, quoted] : cases) EXPECT_EQ(QuoteName(name), quoted);
    SetLastErrorText("cannot open 'a\nb': gone");
    EXPECT_EQ(GetLastErrorText(), "cannot open 'a'$'\\n''b': gone");
}

}  // namespace
}  // namespace partwise
