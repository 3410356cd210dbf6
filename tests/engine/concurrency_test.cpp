// A second writer, a link swapped in mid-job, a file that appears, a dead
// job's leftovers: nothing outside the output is touched, nothing is
// replaced unasked, and a failure leaves what was there.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string_view>

#include "folder_ops.h"
#include "partwise/errors.h"
#include "partwise/joiner.h"
#include "partwise/splitter.h"
#include "test_support.h"

namespace partwise {
namespace {

using test::Exists;
using test::ReadFile;
using test::WriteFile;

class Concurrency : public test::EngineTest {
protected:
    void TearDown() override { SetStepHook(nullptr); }

    // Runs what at the named step, once.
    void At(std::string_view step, std::function<void()> what) {
        SetStepHook([step, what, done = std::make_shared<bool>(false)](std::string_view now) {
            if (now == step && !*done) {
                *done = true;
                what();
            }
        });
    }

    // Puts a link to victim where folder was.
    void SwapForLink(const std::string& folder) {
        ASSERT_EQ(std::rename(folder.c_str(), (dir / "moved").c_str()), 0) << folder << " " << std::strerror(errno);
        ASSERT_EQ(::symlink((dir / "victim").c_str(), folder.c_str()), 0);
    }

    std::string SplitTree() {
        WriteFile(dir / "src/tree/a", test::PatternBytes(3000, 1));
        WriteFile(dir / "src/tree/sub/b", test::PatternBytes(5000, 2));
        WriteFile(dir / "src/tree/sub/c", test::PatternBytes(100, 3));
        EXPECT_EQ(RunSplit(test::MakeJob(dir / "src/tree", dir.path(), 4096)), 0) << GetLastErrorText();
        WriteFile(dir / "victim/b", "victim's");
        WriteFile(dir / "out/.keep", "");
        return dir / "tree_spt";
    }
};

struct Swap {
    const char* step;
    bool replace;
};

class LinkSwappedIn : public Concurrency, public ::testing::WithParamInterface<Swap> {};

TEST_P(LinkSwappedIn, NothingOutsideTheOutputIsWritten) {
    const std::string set = SplitTree();
    if (GetParam().replace) WriteFile(dir / "out/tree/sub/b", "earlier");
    // The folder being built: the existing one, or a new one under its temporary name.
    At(GetParam().step, [this] {
        for (const auto& entry : std::filesystem::directory_iterator(dir / "out")) {
            const std::string sub = entry.path().string() + "/sub";
            if (entry.is_directory() && std::filesystem::is_directory(sub)) return SwapForLink(sub);
        }
    });
    const JoinOptions options = GetParam().replace ? test::Replacing() : JoinOptions{};
    RunJoin(set, dir / "out", options);
    EXPECT_EQ(test::ReadTree(dir / "victim"), (decltype(test::ReadTree("")){{"b", "victim's"}})) << GetLastErrorText();
}

INSTANTIATE_TEST_SUITE_P(Steps, LinkSwappedIn,
                         ::testing::Values(Swap{"join: writing", false}, Swap{"join: file written", false},
                                           Swap{"join: commit", false}, Swap{"join: writing", true},
                                           Swap{"join: file written", true}, Swap{"join: commit", true}));

TEST_F(Concurrency, AFailedSplitRemovesNothingThroughALinkedChunkFolder) {
    for (const char* name : {"f_0.spt", "f_1.spt", "f.meta"}) WriteFile(dir / "victim/" + std::string(name), "keep");
    for (const char* step : {"split: chunk folder locked", "split: writing"}) {
        std::filesystem::remove_all(dir / "moved");
        std::filesystem::remove_all(dir / "f_spt");
        WriteFile(dir / "src/f.bin", test::PatternBytes(10000));
        const SplitJob job = test::MakeJob(dir / "src/f.bin", dir.path(), 4096);
        At(step, [this] {
            SwapForLink(dir / "f_spt");
            WriteFile(dir / "src/f.bin", "shorter now");
        });
        EXPECT_EQ(RunSplit(job), -1) << step;
        EXPECT_EQ(test::ReadTree(dir / "victim").size(), 3u) << step;
        for (const auto& [name, content] : test::ReadTree(dir / "victim")) EXPECT_EQ(content, "keep") << name;
    }
}

TEST_F(Concurrency, ASecondWriterIsRefusedAtOnce) {
    WriteFile(dir / "src/f.bin", test::PatternBytes(10000));
    const SplitJob job = test::MakeJob(dir / "src/f.bin", dir.path(), 4096);
    int second = 0, reader = 0;
    std::string secondError, readerError;
    At("split: chunk folder locked", [&] {
        second = RunSplit(job);
        secondError = GetLastErrorText();
        reader = RunJoin(dir / "f_spt", dir.path());
        readerError = GetLastErrorText();
    });
    ASSERT_EQ(RunSplit(job), 0) << GetLastErrorText();
    EXPECT_EQ(second, -1);
    EXPECT_EQ(secondError, "'" + (dir / "f_spt") + "' is being written by another split");
    EXPECT_EQ(reader, -1);
    EXPECT_EQ(readerError, "'" + (dir / "f_spt") + "' is being written by another split");

    // Two joins building one folder.
    const std::string set = SplitTree();
    WriteFile(dir / "out/tree/x", "kept");
    At("join: writing", [&] {
        second = RunJoin(set, dir / "out", test::Replacing());
        secondError = GetLastErrorText();
    });
    ASSERT_EQ(RunJoin(set, dir / "out", test::Replacing()), 0) << GetLastErrorText();
    EXPECT_EQ(secondError, "'" + (dir / "out/tree") + "' is being written by another join");
}

TEST_F(Concurrency, AnOutputThatAppearsIsNeverReplaced) {
    WriteFile(dir / "src/big.bin", test::PatternBytes(10000));
    ASSERT_EQ(RunSplit(test::MakeJob(dir / "src/big.bin", dir.path(), 4096)), 0);
    WriteFile(dir / "out/.keep", "");
    At("join: placing file", [this] { WriteFile(dir / "out/big.bin", "USERDATA"); });
    EXPECT_EQ(RunJoin(dir / "big_spt", dir / "out"), -1);
    EXPECT_EQ(GetLastErrorText(), "'" + (dir / "out/big.bin") + "' appeared while the join ran; it was left as it was");
    EXPECT_EQ(test::ReadTree(dir / "out").size(), 2u) << "a temporary file was left";
    EXPECT_EQ(ReadFile(dir / "out/big.bin"), "USERDATA");

    const std::string set = SplitTree();
    At("join: commit", [this] { WriteFile(dir / "out/tree/mine", "USERDATA"); });
    EXPECT_EQ(RunJoin(set, dir / "out"), -1);
    EXPECT_EQ(test::ReadTree(dir / "out/tree"), (decltype(test::ReadTree("")){{"mine", "USERDATA"}}));
    EXPECT_EQ(test::ReadTree(dir / "out").size(), 3u) << "a temporary folder was left";
}

TEST_F(Concurrency, AReplaceThatFailsHalfWayPutsEverythingBack) {
    const std::string set = SplitTree();
    WriteFile(dir / "out/tree/a", "old a");
    WriteFile(dir / "out/tree/x", "not in the set");
    // The last file cannot replace a folder: a and sub/b are placed first.
    WriteFile(dir / "out/tree/sub/c/inside", "");
    const auto before = test::ReadTree(dir / "out");
    EXPECT_EQ(RunJoin(set, dir / "out", test::Replacing()), -1);
    EXPECT_NE(GetLastErrorText().find("cannot replace the folder"), std::string::npos) << GetLastErrorText();
    EXPECT_EQ(test::ReadTree(dir / "out"), before);
}

TEST_F(Concurrency, ADeadJobsLeftoversGoAndALiveOnesStay) {
    const std::string set = SplitTree();
    WriteFile(dir / "out/.partwise-1-1.tmp", "dead join's");
    WriteFile(dir / "out/.partwise-1-2.tmp/sub/f", "dead folder join's");
    WriteFile(dir / "out/.partwise-1-3.tmp", "live");
    const int live = ::open((dir / "out/.partwise-1-3.tmp").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::flock(live, LOCK_EX), 0);
    ASSERT_EQ(RunJoin(set, dir / "out"), 0) << GetLastErrorText();
    EXPECT_FALSE(Exists(dir / "out/.partwise-1-1.tmp"));
    EXPECT_FALSE(Exists(dir / "out/.partwise-1-2.tmp"));
    EXPECT_TRUE(Exists(dir / "out/.partwise-1-3.tmp"));
    ::close(live);

    // A killed split: chunks without a descriptor, beside its unlocked marker.
    WriteFile(dir / "src/f.bin", test::PatternBytes(100));
    WriteFile(dir / "f_spt/f_0.spt", "partial");
    WriteFile(dir / "f_spt/f_7.spt", "partial");
    EXPECT_EQ(RunSplit(test::MakeJob(dir / "src/f.bin", dir.path(), 64)), -1) << "no marker: an unknown set";
    WriteFile(dir / "f_spt/.partwise-1-4.tmp", "");
    ASSERT_EQ(RunSplit(test::MakeJob(dir / "src/f.bin", dir.path(), 64)), 0) << GetLastErrorText();
    std::vector<std::string> names;
    for (const auto& [name, content] : test::ReadTree(dir / "f_spt")) names.push_back(name);
    EXPECT_EQ(names, (std::vector<std::string>{"f.meta", "f.xxh128", "f_0.spt", "f_1.spt", "spt_config.brixspt"}));
}

TEST_F(Concurrency, LongNamesSplitOrAreRefusedUpFront) {
    const std::string name(245, 'n');
    WriteFile(dir / "src/" + name, test::PatternBytes(1000));
    ASSERT_EQ(RunSplit(test::MakeJob(dir / "src/" + name, dir.path(), 100)), 0) << GetLastErrorText();
    WriteFile(dir / "out/.keep", "");
    ASSERT_EQ(RunJoin(dir / name + "_spt", dir / "out"), 0) << GetLastErrorText();
    EXPECT_EQ(ReadFile(dir / "out/" + name), test::PatternBytes(1000));

    const std::string longer(250, 'l');
    WriteFile(dir / "src/" + longer, "x");
    EXPECT_EQ(RunSplit(test::MakeJob(dir / "src/" + longer, dir.path(), 100)), -1);
    EXPECT_NE(GetLastErrorText().find("' would be longer than 255 bytes"), std::string::npos) << GetLastErrorText();
    EXPECT_FALSE(Exists(dir / longer + "_spt"));
}

}  // namespace
}  // namespace partwise
