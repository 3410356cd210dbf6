// The checksum file beside the chunks: written by every split, and every
// byte checked by the join and the full check.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "checksum_file.h"
#include "partwise/checksums.h"
#include "partwise/chunk_check.h"
#include "partwise/errors.h"
#include "partwise/fsutil.h"
#include "partwise/joiner.h"
#include "partwise/progress.h"
#include "partwise/splitter.h"
#include "test_support.h"

namespace partwise {
namespace {

using test::Exists;
using test::ReadFile;
using test::WriteFile;

// In place, so that the holes elsewhere in the file stay holes.
void FlipByte(const std::string& path, off_t offset) {
    const int fd = ::open(path.c_str(), O_RDWR);
    ASSERT_GE(fd, 0) << path;
    char byte = 0;
    ASSERT_EQ(::pread(fd, &byte, 1, offset), 1) << path << " at " << offset;
    byte = static_cast<char>(~byte);
    ASSERT_EQ(::pwrite(fd, &byte, 1, offset), 1);
    ASSERT_EQ(::close(fd), 0);
}

class EveryByte : public test::EngineTest {
protected:
    // A 10,000-byte file in chunks of 4,096: 4096, 4096, 1808.
    std::string SplitFile() {
        WriteFile(dir / "src/data.bin", test::PatternBytes(10000));
        EXPECT_EQ(RunSplit(test::MakeJob(dir / "src/data.bin", dir.path(), 4096)), 0) << GetLastErrorText();
        return dir / "data_spt";
    }
    // Files a, sub/b, z laid end to end: chunks of 4096, 4096, 2808.
    std::string SplitFolder() {
        WriteFile(dir / "src/tree/a", test::PatternBytes(3000, 1));
        WriteFile(dir / "src/tree/sub/b", test::PatternBytes(6000, 2));
        WriteFile(dir / "src/tree/z", test::PatternBytes(2000, 3));
        EXPECT_EQ(RunSplit(test::MakeJob(dir / "src/tree", dir.path(), 4096)), 0) << GetLastErrorText();
        return dir / "tree_spt";
    }
    std::string Out() {
        WriteFile(dir / "out/.keep", "");
        ::unlink((dir / "out/.keep").c_str());
        return dir / "out";
    }
};

TEST_F(EveryByte, TheSplitWritesOneLinePerChunkThatXxhsumAccepts) {
    const std::string set = SplitFile();
    const std::string text = ReadFile(set + "/data.xxh128");
    ASSERT_EQ(text.size(), 3 * (32 + 2 + 10 + 1));
    EXPECT_EQ(text.substr(34, 11), "data_0.spt\n");
    EXPECT_EQ(text.substr(45 + 34, 11), "data_1.spt\n");
    EXPECT_FALSE(Exists(set + "/data.xxh128.tmp"));
    if (std::system("command -v xxhsum >/dev/null 2>&1") == 0) {
        const std::string check = "cd '" + set + "' && xxhsum -q -c data.xxh128 >/dev/null 2>&1";
        EXPECT_EQ(std::system(check.c_str()), 0);
        FlipByte(set + "/data_1.spt", 3000);
        EXPECT_NE(std::system(check.c_str()), 0);
    }
}

// Chunks larger than the slices the copy is hashed in, and a folder's small
// files gathered before they are written: the lines hash the chunks whole.
TEST_F(EveryByte, LinesHashWholeChunksOfAnySize) {
    const std::string content = test::PatternBytes(20 << 20, 7);
    WriteFile(dir / "src/big.bin", content);
    WriteFile(dir / "src/tree/big", content);
    for (int i = 0; i < 50; ++i) WriteFile(dir / "src/tree/small" + std::to_string(i), test::PatternBytes(1000, i));
    for (const char* name : {"big.bin", "tree"}) {
        const int64_t chunkSize = (9 << 20) + 3;
        ASSERT_EQ(RunSplit(test::MakeJob(dir / "src/" + name, dir.path(), chunkSize)), 0) << GetLastErrorText();
        std::string stem = name;
        StripExtension(stem);
        std::string expected;
        for (int i = 0; i < 3; ++i) {
            const std::string chunkName = stem + "_" + std::to_string(i) + ".spt";
            const std::string bytes = ReadFile(dir / stem + "_spt/" + chunkName);
            ChunkHasher hasher;
            hasher.Update(bytes.data(), bytes.size());
            expected += DigestHex(hasher.Final()) + "  " + chunkName + "\n";
        }
        EXPECT_EQ(ReadFile(dir / stem + "_spt/" + stem + ".xxh128"), expected) << name;
    }
}

// Holes read back as the zeros they stand for: a sparse source and an
// allocated one with the same bytes get the same lines.
TEST_F(EveryByte, ASparseSourceHashesLikeAnAllocatedOne) {
    const std::size_t size = 6 << 20;
    const std::size_t marks[] = {0, 3 << 20, size - 1};
    std::string bytes(size, '\0');
    for (std::size_t at : marks) bytes[at] = 'x';
    WriteFile(dir / "allocated/data.bin", bytes);
    WriteFile(dir / "sparse/data.bin", "");
    const int fd = ::open((dir / "sparse/data.bin").c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(size)), 0);
    for (std::size_t at : marks) ASSERT_EQ(::pwrite(fd, "x", 1, static_cast<off_t>(at)), 1);
    ASSERT_EQ(::close(fd), 0);
    for (const char* folder : {"sparse", "allocated"})
        ASSERT_EQ(RunSplit(test::MakeJob(dir / folder + "/data.bin", dir / folder, (2 << 20) + 5)), 0)
            << GetLastErrorText();
    EXPECT_EQ(ReadFile(dir / "sparse/data_spt/data.xxh128"), ReadFile(dir / "allocated/data_spt/data.xxh128"));
}

// Damage past the first KiB, which the fingerprints cannot see: the join
// names the chunk, places nothing from it, and --force has nothing to do with it.
// Chunks over 1 MiB, and with holes, are streamed through the hasher rather
// than checked in memory: 2 MiB + 5 bytes in chunks of 1 MiB + 1, and three
// chunks of 64 KiB that hold one byte of data each.
enum SetKind { kFile, kFolder, kLarge, kSparse };
struct Damage {
    SetKind kind;
    int32_t chunk;
    off_t offset;
};

class DamagedChunk : public EveryByte, public ::testing::WithParamInterface<Damage> {};

TEST_P(DamagedChunk, FailsTheJoinAndTheFullCheck) {
    const Damage d = GetParam();
    const bool folder = d.kind == kFolder;
    const std::string stem = folder ? "tree" : d.kind == kLarge ? "large" : d.kind == kSparse ? "holes" : "data";
    const int64_t total = folder ? 11000 : d.kind == kLarge ? (2 << 20) + 5 : d.kind == kSparse ? 3 << 16 : 10000;
    if (d.kind == kLarge || d.kind == kSparse) {
        const std::string source = dir / "src/" + stem + ".bin";
        WriteFile(source, d.kind == kLarge ? test::PatternBytes(static_cast<std::size_t>(total)) : "");
        ASSERT_EQ(::truncate(source.c_str(), total), 0);
        for (off_t at = 0; d.kind == kSparse && at < total; at += 1 << 16) FlipByte(source, at);
        ASSERT_EQ(RunSplit(test::MakeJob(source, dir.path(), d.kind == kLarge ? (1 << 20) + 1 : 1 << 16)), 0);
    }
    const std::string set = folder ? SplitFolder() : d.kind == kFile ? SplitFile() : dir / stem + "_spt";
    const std::string chunk = set + "/" + stem + "_" + std::to_string(d.chunk) + ".spt";
    FlipByte(chunk, d.offset);

    const std::string out = Out();
    ChunkSetCheck check;
    ASSERT_EQ(RunJoin(set, out, {}, &check), -1);
    EXPECT_EQ(GetLastErrorText(), "chunk '" + chunk + "' is damaged: its bytes differ from its checksum in '" + set +
                                      "/" + stem + ".xxh128'");
    EXPECT_FALSE(check.everyChunkMatched());
    EXPECT_EQ(check.partlyChecked, 0);
    EXPECT_EQ(check.damagedChunk, d.chunk);
    if (folder) {
        // Nothing is placed before every chunk matched.
        EXPECT_FALSE(Exists(out + "/tree"));
    } else {
        EXPECT_EQ(test::ReadTree(out).size(), 0u);
    }

    std::vector<FullCheckEntry> entries;
    ASSERT_EQ(CheckChunkSetFully(set, entries, check), 0) << GetLastErrorText();
    ASSERT_EQ(entries.size(), 3u);
    for (const FullCheckEntry& entry : entries)
        EXPECT_EQ(entry.verdict, entry.chunkIndex == d.chunk ? ChunkVerdict::kDamaged : ChunkVerdict::kOk)
            << entry.chunkIndex;
    EXPECT_EQ(check.matched, 2);
    EXPECT_EQ(GetBytesDone(), total) << "the progress covers every byte hashed";
}

INSTANTIATE_TEST_SUITE_P(EveryWayAChunkIsCopied, DamagedChunk,
                         ::testing::Values(Damage{kFile, 0, 2000}, Damage{kFile, 0, 4095}, Damage{kFile, 2, 1500},
                                           Damage{kFile, 2, 1807}, Damage{kFolder, 0, 2000}, Damage{kFolder, 0, 4095},
                                           Damage{kFolder, 2, 2000}, Damage{kFolder, 2, 2807},
                                           Damage{kLarge, 0, 1048000}, Damage{kLarge, 1, 1048576},
                                           Damage{kSparse, 1, 30000}, Damage{kSparse, 2, 65535}));

// A checksum file lacking a usable line for chunk 1 is damaged, not absent; every check refuses alike a chunk
// that is no regular file or fails its fingerprint. Bytes go in at an offset (-1 appends), or a FIFO or a link.
struct Fault {
    const char* file;
    int offset;
    std::string bytes;
    ChunkReason reason;
};

const Fault kFaults[] = {
    {"data.xxh128", 45 + 43, "u", ChunkReason::kNoChecksumLine},
    {"data.xxh128", -1, std::string(32, '0') + "  data_1.spt\n", ChunkReason::kConflictingChecksumLines},
    {"data.xxh128", 45, "G", ChunkReason::kUnreadableChecksumLine},
    {"spt_config.brixspt", 352 + 37 + 4, std::string(33, '\0'), ChunkReason::kFingerprintDiffers},
    {"data_1.spt", 0, "fifo", ChunkReason::kNotARegularFile},
    {"data_1.spt", 0, "link", ChunkReason::kNotARegularFile},
};

class FaultyChunk : public EveryByte, public ::testing::WithParamInterface<Fault> {};

TEST_P(FaultyChunk, IsRefusedByTheJoinAndMarkedByEveryCheck) {
    const Fault& fault = GetParam();
    const std::string set = SplitFile(), out = Out(), path = set + "/" + fault.file;
    if (fault.bytes == "fifo" || fault.bytes == "link") {
        ASSERT_EQ(::rename(path.c_str(), (dir / "elsewhere").c_str()), 0);
        ASSERT_EQ(fault.bytes == "fifo" ? ::mkfifo(path.c_str(), 0600) : ::symlink("../elsewhere", path.c_str()), 0);
    } else {
        std::string bytes = ReadFile(path);
        WriteFile(path, fault.offset < 0 ? bytes + fault.bytes
                                         : bytes.replace(fault.offset, fault.bytes.size(), fault.bytes));
    }
    ChunkSetCheck check;
    ASSERT_EQ(RunJoin(set, out, {}, &check), -1);
    EXPECT_NE(GetLastErrorText().find(ReasonText(fault.reason)), std::string::npos) << GetLastErrorText();
    EXPECT_EQ(check.refusedChunk, 1);
    EXPECT_EQ(check.checksumFault, IsChecksumFileFault(fault.reason));

    std::vector<FullCheckEntry> entries;
    ASSERT_EQ(CheckChunkSetFully(set, entries, check), 0) << GetLastErrorText();
    EXPECT_EQ(entries.at(1).verdict, ChunkVerdict::kDamaged);
    EXPECT_EQ(entries.at(1).reason, fault.reason);
    std::vector<ChunkEntry> quick;
    ChunkSetSummary summary;
    ASSERT_EQ(InspectChunkSet(set, summary, [&](const ChunkEntry& entry) { quick.push_back(entry); }), 0);
    EXPECT_EQ(quick.at(1).reason, IsChecksumFileFault(fault.reason) ? ChunkReason::kNone : fault.reason);
    // Passing the file over helps only where the file was at fault.
    JoinOptions passOver;
    passOver.ignoreChecksums = true;
    EXPECT_EQ(RunJoin(set, out, passOver, &check), IsChecksumFileFault(fault.reason) ? 0 : -1);
    EXPECT_EQ(test::ReadTree(out).size(), IsChecksumFileFault(fault.reason) ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Shapes, FaultyChunk, ::testing::ValuesIn(kFaults));

// Small chunks are read in blocks of 1,024, on two threads: damage in any
// block, and in the last chunk, names that chunk.
TEST_F(EveryByte, ManySmallChunksAreEachChecked) {
    WriteFile(dir / "src/data.bin", test::PatternBytes(5000 * 1024 + 1020, 4));
    ASSERT_EQ(RunSplit(test::MakeJob(dir / "src/data.bin", dir.path(), 1024)), 0) << GetLastErrorText();
    const std::string set = dir / "data_spt";
    for (int chunk : {100, 2500, 4500, 5000}) {
        const std::string path = set + "/data_" + std::to_string(chunk) + ".spt";
        FlipByte(path, 1018);
        EXPECT_EQ(RunJoin(set, Out()), -1) << chunk;
        EXPECT_EQ(GetLastErrorText().find("chunk '" + path + "' is damaged"), 0u) << GetLastErrorText();
        FlipByte(path, 1018);
    }
    ChunkSetCheck check;
    ASSERT_EQ(RunJoin(set, Out(), {}, &check), 0) << GetLastErrorText();
    EXPECT_EQ(check.matched, 5001);
    EXPECT_EQ(ReadFile(Out() + "/data.bin"), ReadFile(dir / "src/data.bin"));
}

TEST_F(EveryByte, AnExistingOutputIsReplacedOnlyByAVerifiedOne) {
    const std::string set = SplitFile();
    const std::string out = Out();
    WriteFile(out + "/data.bin", "earlier");
    FlipByte(set + "/data_1.spt", 4095);
    ASSERT_EQ(RunJoin(set, out, test::Replacing()), -1);
    EXPECT_EQ(ReadFile(out + "/data.bin"), "earlier");
    FlipByte(set + "/data_1.spt", 4095);
    ChunkSetCheck check;
    ASSERT_EQ(RunJoin(set, out, test::Replacing(), &check), 0) << GetLastErrorText();
    EXPECT_EQ(ReadFile(out + "/data.bin"), ReadFile(dir / "src/data.bin"));
    EXPECT_TRUE(check.everyChunkMatched());
    EXPECT_EQ(check.checksumFile, set + "/data.xxh128");
}

TEST_F(EveryByte, ASetWithoutTheFileJoinsAsBeforeCheckedInPart) {
    for (bool folder : {false, true}) {
        SCOPED_TRACE(folder ? "folder" : "file");
        const std::string set = folder ? SplitFolder() : SplitFile();
        const std::string sums = ChecksumFileFor(set, folder ? "tree" : "data.bin");
        ASSERT_TRUE(Exists(sums));
        ASSERT_EQ(::unlink(sums.c_str()), 0);
        ChunkSetCheck check;
        ASSERT_EQ(RunJoin(set, Out(), {}, &check), 0) << GetLastErrorText();
        EXPECT_EQ(check.checksumFile, "");
        EXPECT_EQ(check.chunkCount, 3);
        EXPECT_EQ(check.matched, 0);
        EXPECT_EQ(check.partlyChecked, 3);
        EXPECT_FALSE(check.everyChunkMatched());

        std::vector<FullCheckEntry> entries;
        ASSERT_EQ(CheckChunkSetFully(set, entries, check), 0) << GetLastErrorText();
        for (const FullCheckEntry& entry : entries) EXPECT_EQ(entry.verdict, ChunkVerdict::kUnchecked);
        // Without a line the fingerprint still decides.
        FlipByte(set + "/" + (folder ? "tree" : "data") + "_1.spt", 10);
        entries.clear();
        ASSERT_EQ(CheckChunkSetFully(set, entries, check), 0);
        EXPECT_EQ(entries[1].verdict, ChunkVerdict::kDamaged);
        ASSERT_EQ(::unlink(entries[2].chunkPath.c_str()), 0);
        entries.clear();
        ASSERT_EQ(CheckChunkSetFully(set, entries, check), 0);
        EXPECT_EQ(entries[2].verdict, ChunkVerdict::kMissing);
        EXPECT_EQ(entries[2].chunkFileSize, -1);
    }
}

TEST_F(EveryByte, ARefusedChecksumFileFailsTheJoinBeforeAnythingIsWritten) {
    const std::string set = SplitFile();
    WriteFile(set + "/data.xxh128", std::string(1 << 20, 'x'));
    const std::string out = Out();
    EXPECT_EQ(RunJoin(set, out), -1);
    EXPECT_NE(GetLastErrorText().find("larger than any for 3 chunks"), std::string::npos) << GetLastErrorText();
    EXPECT_EQ(test::ReadTree(out).size(), 0u);
}

// The collision rules keep the file in step with the chunks.
TEST_F(EveryByte, ResplittingKeepsTheFileInStep) {
    const std::string set = SplitFile();
    // A source of another size makes another set, which replaces this one only when asked.
    auto resplit = [&] {
        SplitJob job = test::MakeJob(dir / "src/data.bin", dir.path(), 4096);
        job.replaceOtherSet = 1;
        return RunSplit(job);
    };
    WriteFile(dir / "src/data.bin", test::PatternBytes(5000, 9));
    ASSERT_EQ(resplit(), 0) << GetLastErrorText();
    std::vector<FullCheckEntry> entries;
    ChunkSetCheck check;
    ASSERT_EQ(CheckChunkSetFully(set, entries, check), 0);
    EXPECT_EQ(check.chunkCount, 2);
    EXPECT_TRUE(check.everyChunkMatched());
    EXPECT_EQ(ReadFile(set + "/data.xxh128").size(), 2 * 45u);

    // An empty source makes no chunk, and so no checksum file: the old one goes.
    WriteFile(dir / "src/data.bin", "");
    ASSERT_EQ(resplit(), 0) << GetLastErrorText();
    EXPECT_FALSE(Exists(set + "/data.xxh128"));
}

TEST_F(EveryByte, AFailedSplitLeavesNoChecksumFile) {
    const std::string set = SplitFolder();
    ASSERT_TRUE(Exists(set + "/tree.xxh128"));
    // The files hold fewer bytes than measured: found only once the chunks are written.
    SplitJob job = test::MakeJob(dir / "src/tree", dir.path(), 4096);
    job.totalSize += 1;
    job.replaceOtherSet = 1;
    EXPECT_EQ(RunSplit(job), -1);
    EXPECT_FALSE(Exists(set + "/tree.xxh128"));
    EXPECT_FALSE(Exists(set + "/tree.xxh128.tmp"));
}

TEST_F(EveryByte, AStemWithALineBreakGetsNoChecksumFile) {
    EXPECT_FALSE(NameFitsChecksumFile("a\nb.txt"));
    EXPECT_TRUE(NameFitsChecksumFile("a.b\nc"));  // the stem stops at the first dot
    WriteFile(dir / "src/a\nb.txt", "hello");
    ASSERT_EQ(RunSplit(test::MakeJob(dir / "src/a\nb.txt", dir.path(), 4)), 0) << GetLastErrorText();
    EXPECT_FALSE(Exists(dir / "a\nb_spt/a\nb.xxh128"));
    ChunkSetCheck check;
    ASSERT_EQ(RunJoin(dir / "a\nb_spt", Out(), {}, &check), 0) << GetLastErrorText();
    EXPECT_EQ(check.partlyChecked, 2);
}

}  // namespace
}  // namespace partwise
