// Two sources that share a chunk folder, and chunk folders with links in
// them: no chunk set is replaced without leave, and no file outside the new
// set is ever changed.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "partwise/descriptor.h"
#include "partwise/errors.h"
#include "partwise/joiner.h"
#include "partwise/splitter.h"
#include "test_support.h"

namespace partwise {
namespace {

using test::Exists;
using test::ReadFile;
using test::WriteFile;

// report.v1.doc and report.v2.doc both split into dir/report_spt.
class SharedChunkFolder : public test::EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        WriteFile(dir / "src/report.v1.doc", test::PatternBytes(1000, 1));
        WriteFile(dir / "src/report.v2.doc", test::PatternBytes(500, 2));
    }
    SplitJob Job(const std::string& name, int64_t chunkSize, bool replace = false) {
        SplitJob job = test::MakeJob(dir / "src/" + name, dir.path(), chunkSize);
        job.replaceOtherSet = replace ? 1 : 0;
        return job;
    }
    std::string Folder() const { return dir / "report_spt"; }
    std::string Chunk(int i) const { return Folder() + "/report_" + std::to_string(i) + ".spt"; }
    // The names in the chunk folder, sorted.
    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const auto& [path, content] : test::ReadTree(Folder())) names.push_back(path);
        return names;
    }
    // The joined set equals the named source.
    void ExpectJoinsTo(const std::string& name) {
        WriteFile(dir / "out/.keep", "");
        ASSERT_EQ(RunJoin(Folder(), dir / "out", test::Replacing()), 0) << GetLastErrorText();
        EXPECT_EQ(ReadFile(dir / "out/" + name), ReadFile(dir / "src/" + name));
    }
};

TEST_F(SharedChunkFolder, AnotherSourcesSetIsReplacedOnlyWhenAskedTo) {
    ASSERT_EQ(RunSplit(Job("report.v1.doc", 300)), 0) << GetLastErrorText();
    const auto before = test::ReadTree(Folder());
    const std::string reason = "'" + Folder() + "' already holds the chunk set of 'report.v1.doc'";

    std::string held;
    EXPECT_EQ(FindOtherChunkSet(Job("report.v2.doc", 300), held), 1);
    EXPECT_EQ(held, "report.v1.doc");
    EXPECT_EQ(GetLastErrorText(), reason);

    EXPECT_EQ(RunSplit(Job("report.v2.doc", 300)), -1);
    EXPECT_EQ(GetLastErrorText(), reason);
    EXPECT_EQ(test::ReadTree(Folder()), before) << "a refused split changed the folder";
    ExpectJoinsTo("report.v1.doc");

    // Replaced: two chunks now, and none of the four old ones beside them.
    ASSERT_EQ(RunSplit(Job("report.v2.doc", 300, true)), 0) << GetLastErrorText();
    EXPECT_EQ(Names(), (std::vector<std::string>{"report.meta", "report.xxh128", "report_0.spt", "report_1.spt",
                                                 "spt_config.brixspt"}));
    ExpectJoinsTo("report.v2.doc");
    EXPECT_EQ(FindOtherChunkSet(Job("report.v2.doc", 100), held), 0);
}

// What the folder holds before report.v2.doc is split into it, and whether
// that split must be refused.
struct FolderCase {
    const char* name;
    std::function<void()> stage;
    const char* refusal;  // "" when the split goes ahead without asking
};

class FolderStates : public SharedChunkFolder {
protected:
    void RunCase(const FolderCase& c) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(Folder());
        c.stage();
        WriteFile(dir / "src/report.v2.doc", test::PatternBytes(500, 2));
        const auto before = Exists(Folder()) ? test::ReadTree(Folder()) : decltype(test::ReadTree("")){};
        std::string held;
        const int found = FindOtherChunkSet(Job("report.v2.doc", 200), held);
        const int result = RunSplit(Job("report.v2.doc", 200));
        if (*c.refusal == '\0') {
            EXPECT_EQ(found, 0) << GetLastErrorText();
            ASSERT_EQ(result, 0) << GetLastErrorText();
            EXPECT_FALSE(Exists(Chunk(3))) << "a chunk beyond the new set was left";
            ExpectJoinsTo("report.v2.doc");
        } else {
            EXPECT_EQ(found, 1);
            EXPECT_EQ(result, -1);
            EXPECT_EQ(GetLastErrorText(), "'" + Folder() + "' " + c.refusal);
            EXPECT_EQ(test::ReadTree(Folder()), before);
        }
    }
    void Split(const std::string& name, int64_t size) {
        WriteFile(dir / "src/" + name, test::PatternBytes(static_cast<std::size_t>(size), 7));
        ASSERT_EQ(RunSplit(Job(name, 100)), 0) << GetLastErrorText();
    }
    void RemoveChunks() {
        for (int i = 0; i < 10; ++i) ::unlink(Chunk(i).c_str());
    }
    std::string DescriptorPath() const { return Folder() + "/spt_config.brixspt"; }
};

TEST_F(FolderStates, ReplacedWithoutAskingOrRefused) {
    const FolderCase cases[] = {
        {"the same name and size again",
         [this] {
             Split("report.v2.doc", 500);
             WriteFile(Chunk(7), "left from an older set");
         },
         ""},
        {"a descriptor whose chunks are all gone",
         [this] {
             Split("report.v1.doc", 1000);
             RemoveChunks();
         },
         ""},
        {"an unreadable descriptor alone", [this] { WriteFile(DescriptorPath(), "not a descriptor"); }, ""},
        {"no folder at all", [] {}, ""},
        {"another source's set", [this] { Split("report.v1.doc", 1000); },
         "already holds the chunk set of 'report.v1.doc'"},
        {"the same name, another size", [this] { Split("report.v2.doc", 499); },
         "already holds the chunk set of 'report.v2.doc'"},
        {"one chunk of another source's set left",
         [this] {
             Split("report.v1.doc", 1000);
             RemoveChunks();
             WriteFile(Chunk(9), "still here");
         },
         "already holds the chunk set of 'report.v1.doc'"},
        {"chunks beside no descriptor",
         [this] {
             Split("report.v1.doc", 1000);
             ::unlink(DescriptorPath().c_str());
         },
         "already holds chunk files of an unknown chunk set"},
        {"chunks beside an unreadable descriptor",
         [this] {
             Split("report.v1.doc", 1000);
             WriteFile(DescriptorPath(), std::string(100, 'x'));
         },
         "already holds chunk files of an unknown chunk set"},
    };
    for (const FolderCase& c : cases) RunCase(c);
}

TEST_F(SharedChunkFolder, OnlyFilesNamedLikeChunksOfTheStemAreRemoved) {
    ASSERT_EQ(RunSplit(Job("report.v1.doc", 100)), 0) << GetLastErrorText();
    const std::vector<std::string> others = {"notes.txt",   "report_01.spt", "report_1.spt.bak",      "report_x.spt",
                                             "other_5.spt", "report_-1.spt", "report_99999999999.spt"};
    for (const std::string& name : others) WriteFile(Folder() + "/" + name, name);
    ASSERT_EQ(RunSplit(Job("report.v1.doc", 400)), 0) << GetLastErrorText();
    std::vector<std::string> expected = others;
    for (const char* name :
         {"report.meta", "report.xxh128", "report_0.spt", "report_1.spt", "report_2.spt", "spt_config.brixspt"})
        expected.push_back(name);
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(Names(), expected);
    for (const std::string& name : others) EXPECT_EQ(ReadFile(Folder() + "/" + name), name);
}

TEST_F(SharedChunkFolder, LinksUnderChunkNamesAreReplacedNeverWrittenThrough) {
    WriteFile(dir / "precious", "keep me");
    WriteFile(dir / "linked", "keep me too");
    WriteFile(Folder() + "/.keep", "");
    ASSERT_EQ(::symlink((dir / "precious").c_str(), Chunk(0).c_str()), 0);
    ASSERT_EQ(::link((dir / "linked").c_str(), Chunk(1).c_str()), 0);
    ASSERT_EQ(::symlink("nowhere", Chunk(2).c_str()), 0);

    // Chunk names beside no descriptor: an unknown set, replaced only when asked to.
    EXPECT_EQ(RunSplit(Job("report.v1.doc", 300)), -1);
    ASSERT_EQ(RunSplit(Job("report.v1.doc", 300, true)), 0) << GetLastErrorText();
    EXPECT_EQ(ReadFile(dir / "precious"), "keep me");
    EXPECT_EQ(ReadFile(dir / "linked"), "keep me too");
    EXPECT_FALSE(Exists(dir / "nowhere"));
    for (int i = 0; i < 4; ++i) {
        struct stat st {};
        ASSERT_EQ(::lstat(Chunk(i).c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode) && st.st_nlink == 1) << "chunk " << i;
    }
    ExpectJoinsTo("report.v1.doc");
}

TEST_F(SharedChunkFolder, ChunkFolderThatIsALinkIsRefused) {
    WriteFile(dir / "elsewhere/.keep", "");
    ASSERT_EQ(::symlink((dir / "elsewhere").c_str(), Folder().c_str()), 0);
    const std::string reason = "refusing to split into '" + Folder() + "': it is a symbolic link";
    std::string held;
    EXPECT_EQ(FindOtherChunkSet(Job("report.v1.doc", 300), held), -1);
    EXPECT_EQ(GetLastErrorText(), reason);
    EXPECT_EQ(RunSplit(Job("report.v1.doc", 300, true)), -1);
    EXPECT_EQ(GetLastErrorText(), reason);
    EXPECT_EQ(test::ReadTree(dir / "elsewhere").size(), 1u);
}

}  // namespace
}  // namespace partwise
