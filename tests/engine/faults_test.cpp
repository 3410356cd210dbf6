// Faults and hostile chunk sets: nothing reported as good, no source or good
// output harmed, nothing written outside the output folder.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

#include "partwise/descriptor.h"
#include "partwise/errors.h"
#include "partwise/joiner.h"
#include "partwise/progress.h"
#include "partwise/splitter.h"
#include "test_support.h"

namespace partwise {
namespace {

using test::Exists;
using test::ReadFile;
using test::WriteFile;

// A tmpfs of a few pages, mounted for the life of the object.
class SmallDisk {
public:
    SmallDisk(std::string path, const std::string& size) : path_(std::move(path)) {
        if (::geteuid() != 0) {
            skipReason_ = "mounting a tmpfs needs root";
            return;
        }
        ::mkdir(path_.c_str(), 0755);
        if (::mount("tmpfs", path_.c_str(), "tmpfs", 0, ("size=" + size).c_str()) != 0)
            skipReason_ = "cannot mount a tmpfs here";
    }
    ~SmallDisk() {
        if (skipReason_.empty()) ::umount(path_.c_str());
    }
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;
    // Empty when mounted.
    const std::string& skipReason() const { return skipReason_; }
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

private:
    std::string path_;
    std::string skipReason_;
};

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// A failed split takes back every chunk file it wrote and the chunk folder it
// made, and says so.
class SplitFaults : public test::EngineTest {
protected:
    void ExpectNothingLeft(const std::string& chunkFolder, const std::string& reason) {
        EXPECT_NE(GetLastErrorText().find(reason), std::string::npos) << GetLastErrorText();
        EXPECT_TRUE(EndsWith(GetLastErrorText(), "; nothing was left behind")) << GetLastErrorText();
        EXPECT_FALSE(Exists(chunkFolder)) << "the chunk folder the split made is left";
    }
};

TEST_F(SplitFaults, FullDiskStopsAtTheFailingChunkAndLeavesNothing) {
    SmallDisk disk(dir / "small", "64k");
    if (!disk.skipReason().empty()) GTEST_SKIP() << disk.skipReason();
    const std::string content = test::PatternBytes(200000);
    WriteFile(dir / "src/f.bin", content);
    EXPECT_EQ(RunSplit(test::MakeJob(dir / "src/f.bin", disk.path(), 30000)), -1);
    ExpectNothingLeft(disk / "f_spt", "No space left on device");
    EXPECT_EQ(GetLastErrorText().rfind("cannot write '" + (disk / "f_spt/f_"), 0), 0u) << GetLastErrorText();
    EXPECT_EQ(ReadFile(dir / "src/f.bin"), content);

    // A chunk folder that was there before stays, with what else it held.
    WriteFile(disk / "f_spt/notes.txt", "mine");
    EXPECT_EQ(RunSplit(test::MakeJob(dir / "src/f.bin", disk.path(), 30000)), -1);
    EXPECT_TRUE(EndsWith(GetLastErrorText(), "; nothing was left behind")) << GetLastErrorText();
    EXPECT_EQ(test::ReadTree(disk / "f_spt"),
              (std::vector<std::pair<std::string, std::string>>{{"notes.txt", "mine"}}));
}

TEST_F(SplitFaults, FullDiskStopsAFolderSplitToo) {
    SmallDisk disk(dir / "small", "16k");
    if (!disk.skipReason().empty()) GTEST_SKIP() << disk.skipReason();
    for (int i = 0; i < 30; ++i) WriteFile(dir / "src/tree/f" + std::to_string(i), test::PatternBytes(1000, i));
    EXPECT_EQ(RunSplit(test::MakeJob(dir / "src/tree", disk.path(), 10000)), -1);
    ExpectNothingLeft(disk / "tree_spt", "No space left on device");
}

TEST_F(SplitFaults, PastTheFileSizeLimitFailsAndLeavesNothing) {
    // Small chunks go through memory; large ones are copied two at once, and
    // both copies fail: the first chunk's reason is the one given.
    struct Case {
        int64_t size, chunkSize;
        rlim_t limit;
    };
    for (const Case& c : {Case{100000, 80000, 50000}, Case{5 << 20, 3 << 19, 1 << 20}}) {
        SCOPED_TRACE(c.chunkSize);
        WriteFile(dir / "src/f.bin", test::PatternBytes(static_cast<std::size_t>(c.size)));
        struct rlimit old {};
        ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
        struct rlimit small = old;
        small.rlim_cur = c.limit;
        ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
        const int r = RunSplit(test::MakeJob(dir / "src/f.bin", dir.path(), c.chunkSize));
        ::setrlimit(RLIMIT_FSIZE, &old);
        EXPECT_EQ(r, -1);
        ExpectNothingLeft(dir / "f_spt", "File too large");
        EXPECT_NE(GetLastErrorText().find("f_0.spt"), std::string::npos) << GetLastErrorText();
    }
}

TEST_F(SplitFaults, DescriptorThatDoesNotFitLeavesNone) {
    SmallDisk disk(dir / "small", "64k");
    if (!disk.skipReason().empty()) GTEST_SKIP() << disk.skipReason();
    // 400 empty files need no chunk but 112 KB of file records.
    for (int i = 0; i < 400; ++i) WriteFile(dir / "tree/f" + std::to_string(i), "");
    EXPECT_EQ(RunSplit(test::MakeJob(dir / "tree", disk.path(), 4)), -1);
    EXPECT_EQ(GetLastErrorText(), "cannot write '" + (disk / "tree_spt/spt_config.brixspt") +
                                      "': No space left on device; nothing was left behind");
    EXPECT_FALSE(Exists(disk / "tree_spt"));
}

TEST_F(SplitFaults, NeverOverwritesItsOwnSource) {
    // A chunk path that leads back to the source file.
    const std::string content = test::PatternBytes(100);
    WriteFile(dir / "src/a.bin", content);
    WriteFile(dir / "a_spt/.keep", "");
    ASSERT_EQ(::symlink((dir / "src/a.bin").c_str(), (dir / "a_spt/a_0.spt").c_str()), 0);
    EXPECT_EQ(RunSplit(test::MakeJob(dir / "src/a.bin", dir.path(), 10)), -1);
    EXPECT_NE(GetLastErrorText().find("it is also a file in the chunk folder"), std::string::npos)
        << GetLastErrorText();
    EXPECT_EQ(ReadFile(dir / "src/a.bin"), content);

    // A chunk path that is a hard link to a file of the source folder.
    WriteFile(dir / "tree/x", content);
    WriteFile(dir / "out/tree_spt/.keep", "");
    ASSERT_EQ(::link((dir / "tree/x").c_str(), (dir / "out/tree_spt/tree_0.spt").c_str()), 0);
    EXPECT_EQ(RunSplit(test::MakeJob(dir / "tree", dir / "out", 10)), -1);
    EXPECT_EQ(ReadFile(dir / "tree/x"), content);
}

TEST_F(SplitFaults, UnreadableFileInAFolderFailsTheSplit) {
    if (::geteuid() == 0) GTEST_SKIP() << "root reads any file";
    WriteFile(dir / "tree/a", "abc");
    WriteFile(dir / "tree/b", "def");
    ASSERT_EQ(::chmod((dir / "tree/b").c_str(), 0), 0);
    EXPECT_EQ(RunSplit(test::MakeJob(dir / "tree", dir.path(), 4)), -1);
    ExpectNothingLeft(dir / "tree_spt", "cannot open '" + (dir / "tree/b") + "': Permission denied");

    // The same source split again fails half-way: the chunks of the set it
    // replaced do not stay behind as an orphaned set either.
    ASSERT_EQ(::chmod((dir / "tree/b").c_str(), 0644), 0);
    ASSERT_EQ(RunSplit(test::MakeJob(dir / "tree", dir.path(), 1)), 0) << GetLastErrorText();
    ASSERT_EQ(::chmod((dir / "tree/b").c_str(), 0), 0);
    EXPECT_EQ(RunSplit(test::MakeJob(dir / "tree", dir.path(), 1)), -1);
    EXPECT_TRUE(EndsWith(GetLastErrorText(), "; nothing was left behind")) << GetLastErrorText();
    EXPECT_EQ(test::ReadTree(dir / "tree_spt").size(), 0u);
}

TEST_F(SplitFaults, LinkUnderTheDescriptorsTemporaryNameIsNotWrittenThrough) {
    WriteFile(dir / "src/a.bin", test::PatternBytes(100));
    WriteFile(dir / "elsewhere", "keep me");
    WriteFile(dir / "a_spt/.keep", "");
    ASSERT_EQ(::symlink((dir / "elsewhere").c_str(), (dir / "a_spt/spt_config.brixspt.tmp").c_str()), 0);
    EXPECT_EQ(RunSplit(test::MakeJob(dir / "src/a.bin", dir.path(), 10)), 0) << GetLastErrorText();
    EXPECT_EQ(ReadFile(dir / "elsewhere"), "keep me");
    EXPECT_TRUE(Exists(dir / "a_spt/spt_config.brixspt"));

    // Rewriting a loaded descriptor takes the same care.
    ASSERT_EQ(ReadDescriptor(dir / "a_spt"), 0) << GetLastErrorText();
    EXPECT_EQ(WriteDescriptor(), 0) << GetLastErrorText();
    EXPECT_EQ(ReadFile(dir / "elsewhere"), "keep me");
}

TEST_F(SplitFaults, SourceThatShrinksOrGrowsFails) {
    WriteFile(dir / "f.bin", test::PatternBytes(100));
    SplitJob job = test::MakeJob(dir / "f.bin", dir.path(), 10);
    WriteFile(dir / "f.bin", test::PatternBytes(90));
    EXPECT_EQ(RunSplit(job), -1);

    WriteFile(dir / "tree/a", "abcd");
    job = test::MakeJob(dir / "tree", dir.path(), 4);
    WriteFile(dir / "tree/b", "x");
    EXPECT_EQ(RunSplit(job), -1);
    ExpectNothingLeft(dir / "tree_spt", "changed while it was split");

    job = test::MakeJob(dir / "tree", dir.path(), 2);
    WriteFile(dir / "tree/a", "ab");
    EXPECT_EQ(RunSplit(job), -1);
    ExpectNothingLeft(dir / "tree_spt", "changed while it was split");
}

// A good chunk set and a good earlier output; every fault must leave both.
class JoinFaults : public test::EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        content = test::PatternBytes(10000);
        WriteFile(dir / "src/f.bin", content);
        ASSERT_EQ(RunSplit(test::MakeJob(dir / "src/f.bin", dir.path(), 3000)), 0) << GetLastErrorText();
        ASSERT_EQ(ReadDescriptor(dir / "f_spt"), 0);  // a split keeps no records in memory
        WriteFile(dir / "out/f.bin", "the good file from before");
    }
    void ExpectFailedJoin(const std::string& reason) {
        EXPECT_EQ(RunJoin(dir / "f_spt", dir / "out"), -1);
        EXPECT_NE(GetLastErrorText().find(reason), std::string::npos) << GetLastErrorText();
        EXPECT_EQ(ReadFile(dir / "out/f.bin"), "the good file from before");
        EXPECT_EQ(test::ReadTree(dir / "out").size(), 1u) << "temporary files left behind";
    }
    std::string Chunk(int i) { return dir / "f_spt/f_" + std::to_string(i) + ".spt"; }
    std::string content;
};

TEST_F(JoinFaults, MissingChunk) {
    ASSERT_EQ(::unlink(Chunk(1).c_str()), 0);
    ExpectFailedJoin("cannot open chunk '" + Chunk(1) + "': No such file or directory");
}

TEST_F(JoinFaults, ChunkOneByteShortOrLong) {
    std::string last = ReadFile(Chunk(3));
    WriteFile(Chunk(3), last.substr(0, last.size() - 1));
    ExpectFailedJoin("fingerprint differs");
    WriteFile(Chunk(3), last + "x");
    ExpectFailedJoin("fingerprint differs");
}

TEST_F(JoinFaults, SwappedChunksAndAChunkFromAnotherSet) {
    std::string zero = ReadFile(Chunk(0)), one = ReadFile(Chunk(1));
    WriteFile(Chunk(0), one);
    WriteFile(Chunk(1), zero);
    ExpectFailedJoin("fingerprint differs");
    WriteFile(Chunk(0), test::PatternBytes(3000, 9));
    WriteFile(Chunk(1), one);
    ExpectFailedJoin("fingerprint differs");
}

TEST_F(JoinFaults, FifosInPlaceOfFilesDoNotHang) {
    ASSERT_EQ(::unlink(Chunk(1).c_str()), 0);
    ASSERT_EQ(::mkfifo(Chunk(1).c_str(), 0644), 0);
    ExpectFailedJoin("is not a regular file");
    const std::string descriptor = dir / "f_spt/spt_config.brixspt";
    ASSERT_EQ(::unlink(descriptor.c_str()), 0);
    ASSERT_EQ(::mkfifo(descriptor.c_str(), 0644), 0);
    ExpectFailedJoin("is not a regular file");
}

TEST_F(JoinFaults, UnreadableChunk) {
    if (::geteuid() == 0) GTEST_SKIP() << "root reads any file";
    ASSERT_EQ(::chmod(Chunk(2).c_str(), 0), 0);
    ExpectFailedJoin("Permission denied");
}

TEST_F(JoinFaults, TotalSizeDisagreesWithTheChunks) {
    SetTotalSize(10001);
    ASSERT_EQ(WriteDescriptor(), 0);
    ExpectFailedJoin("hold 10000 bytes, the chunk set records 10001");
}

TEST_F(JoinFaults, OutputFolderOnAFullDevice) {
    SmallDisk disk(dir / "small", "8k");
    if (!disk.skipReason().empty()) GTEST_SKIP() << disk.skipReason();
    EXPECT_EQ(RunJoin(dir / "f_spt", disk.path()), -1);
    // A claim refused for want of room is not trusted: the write that fails is.
    EXPECT_EQ(GetLastErrorText(), "cannot write '" + (disk / "f.bin") + "': No space left on device");
    EXPECT_EQ(test::ReadTree(disk.path()).size(), 0u);
}

TEST_F(JoinFaults, DescriptorCutAtEveryOffsetNeverSucceeds) {
    const std::string descriptor = ReadFile(dir / "f_spt/spt_config.brixspt");
    for (std::size_t size = 0; size < descriptor.size(); ++size) {
        WriteFile(dir / "f_spt/spt_config.brixspt", descriptor.substr(0, size));
        EXPECT_EQ(RunJoin(dir / "f_spt", dir / "out"), -1) << "cut at " << size;
    }
    EXPECT_EQ(ReadFile(dir / "out/f.bin"), "the good file from before");
    WriteFile(dir / "f_spt/spt_config.brixspt", descriptor);
    ASSERT_EQ(RunJoin(dir / "f_spt", dir / "out", test::Replacing()), 0) << GetLastErrorText();
    EXPECT_EQ(ReadFile(dir / "out/f.bin"), content);
}

TEST_F(JoinFaults, NeverReplacesItsOwnInput) {
    // A recorded name that is the descriptor's own, joined into the chunk folder.
    SetSourceName("spt_config.brixspt");
    SetChunkCount(0);
    SetTotalSize(0);
    ClearDescriptorRecords();
    ASSERT_EQ(WriteDescriptor(), 0);
    const std::string before = ReadFile(dir / "f_spt/spt_config.brixspt");
    EXPECT_EQ(RunJoin(dir / "f_spt", dir / "f_spt", test::Replacing()), -1);
    EXPECT_NE(GetLastErrorText().find("part of the chunk set"), std::string::npos) << GetLastErrorText();
    EXPECT_EQ(ReadFile(dir / "f_spt/spt_config.brixspt"), before);
}

TEST_F(JoinFaults, NeverReplacesAChunkReachedThroughAnotherName) {
    // The second file met in place is a hard link to a chunk: the join checks
    // against what it has gathered since the first.
    WriteFile(dir / "src/t/a", "a's new bytes");
    WriteFile(dir / "src/t/b", "b's new bytes");
    ASSERT_EQ(RunSplit(test::MakeJob(dir / "src/t", dir.path(), 1 << 20)), 0) << GetLastErrorText();
    WriteFile(dir / "out/t/a", "old a");
    ASSERT_EQ(::link((dir / "t_spt/t_0.spt").c_str(), (dir / "out/t/b").c_str()), 0);
    const std::string chunk = ReadFile(dir / "t_spt/t_0.spt");
    EXPECT_EQ(RunJoin(dir / "t_spt", dir / "out", test::Replacing()), -1);
    EXPECT_NE(GetLastErrorText().find("part of the chunk set"), std::string::npos) << GetLastErrorText();
    EXPECT_EQ(ReadFile(dir / "out/t/a"), "old a") << "put back when the commit failed";
    EXPECT_EQ(ReadFile(dir / "t_spt/t_0.spt"), chunk);
}

TEST_F(JoinFaults, LargeSetsNameTheirFirstBadChunk) {
    // Enough chunks to be checked on several threads: the fault reported is
    // the one first in chunk order, whichever thread found it.
    WriteFile(dir / "src/many.bin", test::PatternBytes(9000));
    ASSERT_EQ(RunSplit(test::MakeJob(dir / "src/many.bin", dir.path(), 1)), 0) << GetLastErrorText();
    const auto chunk = [this](int i) { return dir / "many_spt/many_" + std::to_string(i) + ".spt"; };
    const std::string late = ReadFile(chunk(8000)), early = ReadFile(chunk(3));
    WriteFile(chunk(8000), late == "x" ? "y" : "x");
    EXPECT_EQ(RunJoin(dir / "many_spt", dir / "out"), -1);
    EXPECT_NE(GetLastErrorText().find("many_8000.spt' is not the chunk"), std::string::npos) << GetLastErrorText();
    ASSERT_EQ(::unlink(chunk(3).c_str()), 0);
    ChunkSetCheck check;
    EXPECT_EQ(RunJoin(dir / "many_spt", dir / "out", {}, &check), -1);
    EXPECT_NE(GetLastErrorText().find("cannot open chunk '" + chunk(3) + "'"), std::string::npos) << GetLastErrorText();
    EXPECT_EQ(check.refusedChunk, 3);
    EXPECT_FALSE(Exists(dir / "out/many.bin"));
    // A small chunk's fingerprint is checked as it is copied, yet a chunk
    // missing further on does not hide it.
    WriteFile(chunk(3), early == "x" ? "y" : "x");
    ASSERT_EQ(::unlink(chunk(8001).c_str()), 0);
    EXPECT_EQ(RunJoin(dir / "many_spt", dir / "out", {}, &check), -1);
    EXPECT_NE(GetLastErrorText().find("many_3.spt' is not the chunk"), std::string::npos) << GetLastErrorText();
    EXPECT_EQ(check.refusedChunk, 3);
    // A failure that is no chunk's names none.
    EXPECT_EQ(RunJoin(dir / "many_spt", dir / "missing", {}, &check), -1);
    EXPECT_EQ(check.refusedChunk, -1);
}

// Hostile folder descriptors: refused before anything is written, and the
// sentinel outside the output folder is never touched.
class HostileDescriptor : public test::EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        WriteFile(dir / "src/tree/a", "abc");
        ASSERT_EQ(RunSplit(test::MakeJob(dir / "src/tree", dir.path(), 10)), 0) << GetLastErrorText();
        ASSERT_EQ(ReadDescriptor(dir / "tree_spt"), 0);  // a split keeps no records in memory
        // The descriptor alone is on trial here; the metadata file would no
        // longer agree with it.
        ASSERT_EQ(::unlink((dir / "tree_spt/tree.meta").c_str()), 0);
        WriteFile(dir / "sentinel", "keep me");
        WriteFile(dir / "out/.keep", "");
    }
    void SetPath(const char* path, std::size_t length) {
        FileRecord& record = *Descriptor().fileRecords[0];
        std::memset(record.relativePath, 0, sizeof record.relativePath);
        std::memcpy(record.relativePath, path, length);
        ASSERT_EQ(WriteDescriptor(), 0);
    }
    void ExpectRefused(const std::string& reason) {
        EXPECT_EQ(RunJoin(dir / "tree_spt", dir / "out"), -1);
        EXPECT_NE(GetLastErrorText().find(reason), std::string::npos) << GetLastErrorText();
        EXPECT_EQ(ReadFile(dir / "sentinel"), "keep me");
        EXPECT_EQ(test::ReadTree(dir / "out").size(), 1u);
        EXPECT_FALSE(Exists(dir / "out/tree"));
        ReadDescriptor(dir / "tree_spt");  // the join left the file records on disk
    }
};

TEST_F(HostileDescriptor, PathsLeavingTheOutputFolder) {
    for (const char* path :
         {"../sentinel", "a/b/../../../sentinel", "/abs", "//x", "..", "a/", "", "./a", "a//b", "a/."}) {
        SetPath(path, std::strlen(path));
        ExpectRefused("unsafe path");
    }
    std::string unterminated(256, 'x');
    SetPath(unterminated.data(), unterminated.size());
    ExpectRefused("unterminated name");
}

TEST_F(HostileDescriptor, FolderDescriptorCutAtEveryOffset) {
    const std::string path = dir / "tree_spt/spt_config.brixspt";
    const std::string descriptor = ReadFile(path);
    for (std::size_t size = 0; size < descriptor.size(); ++size) {
        WriteFile(path, descriptor.substr(0, size));
        EXPECT_EQ(RunJoin(dir / "tree_spt", dir / "out"), -1) << "cut at " << size;
    }
    EXPECT_EQ(ReadFile(dir / "sentinel"), "keep me");
    EXPECT_EQ(test::ReadTree(dir / "out").size(), 1u);
}

TEST_F(HostileDescriptor, UnsafeSourceNames) {
    for (const char* name : {"", ".", "..", "../x", "a/b"}) {
        SetSourceName(name);
        ASSERT_EQ(WriteDescriptor(), 0);
        ExpectRefused("unsafe name");
    }
}

TEST_F(HostileDescriptor, ImpossibleRecords) {
    // Each join reloads the state, so the record is looked up afresh.
    auto record = [] { return Descriptor().fileRecords[0].get(); };
    record()->chunkIndex = 5;
    ASSERT_EQ(WriteDescriptor(), 0);
    ExpectRefused("does not have");
    record()->chunkIndex = 0;
    record()->offsetInChunk = -1;
    ASSERT_EQ(WriteDescriptor(), 0);
    ExpectRefused("impossible offset");
    record()->offsetInChunk = 8;  // past the chunk's end
    ASSERT_EQ(WriteDescriptor(), 0);
    ExpectRefused("expects 11");
    record()->offsetInChunk = 0;
    Descriptor().chunkRecords[0]->chunkIndex = 3;
    ASSERT_EQ(WriteDescriptor(), 0);
    ExpectRefused("out of order");
}

TEST_F(HostileDescriptor, DuplicateFileOrNegativeCounts) {
    // "a" again after "b": out of walk order, so the names are compared.
    AddFileRecord("b", 0, 3, 0);
    AddFileRecord("a", 0, 3, 0);
    ASSERT_EQ(WriteDescriptor(), 0);
    ExpectRefused("the chunk set lists the file 'a' twice");
    Descriptor().header.fileRecordCount = -1;
    ASSERT_EQ(WriteDescriptor(), 0);
    ExpectRefused("");
}

TEST_F(HostileDescriptor, SymlinkInTheDestinationIsNotFollowed) {
    WriteFile(dir / "elsewhere/.keep", "");
    ASSERT_EQ(::symlink((dir / "elsewhere").c_str(), (dir / "out/tree").c_str()), 0);
    EXPECT_EQ(RunJoin(dir / "tree_spt", dir / "out"), -1);
    EXPECT_NE(GetLastErrorText().find("not a folder"), std::string::npos) << GetLastErrorText();
    EXPECT_EQ(test::ReadTree(dir / "elsewhere").size(), 1u);
}

}  // namespace
}  // namespace partwise
