#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>

#include "partwise/checksums.h"
#include "partwise/errors.h"
#include "partwise/joiner.h"
#include "partwise/limits.h"
#include "partwise/progress.h"
#include "partwise/splitter.h"
#include "test_support.h"

namespace partwise {
namespace {

using test::Exists;
using test::ReadFile;
using test::WriteFile;

// Splits content as a stream under name, written into a pipe in odd pieces.
int SplitThroughPipe(const std::string& content, const std::string& name, const std::string& output, int64_t chunkSize,
                     SplitReport* report = nullptr, int64_t maxChunks = kMaxChunkCount) {
    SplitJob job{};
    const std::string source = output + "/" + name;
    std::memcpy(job.sourcePath, source.data(), source.size());
    std::memcpy(job.outputFolder, output.data(), output.size());
    job.chunkSize = chunkSize;
    int ends[2];
    if (::pipe(ends) != 0) return -2;
    std::thread writer([&content, in = ends[1]] {
        for (std::size_t at = 0; at < content.size(); at += 7001)
            if (::write(in, content.data() + at, std::min<std::size_t>(7001, content.size() - at)) < 0) break;
        ::close(in);
    });
    const int result = RunSplitFromStream(job, ends[0], maxChunks, report);
    ::close(ends[0]);
    writer.join();
    return result;
}

// Joins folder into a fresh file; the file's bytes, or "" after a failure.
std::string JoinToFile(const std::string& folder, const std::string& path, ChunkSetCheck* check = nullptr) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const int result = RunJoinToStream(folder, fd, path, {}, check);
    ::close(fd);
    return result == 0 ? ReadFile(path) : "";
}

class StreamJob : public test::EngineTest {};
class StreamSizes : public test::EngineTest, public ::testing::WithParamInterface<std::size_t> {};

// A stream makes the set a file of the same name and bytes makes.
TEST_P(StreamSizes, MakesTheSetOfTheSameFile) {
    const std::string content = test::PatternBytes(GetParam());
    WriteFile(dir / "file/data.bin", content);
    ASSERT_EQ(RunSplit(test::MakeJob(dir / "file/data.bin", dir / "file", 1024)), 0) << GetLastErrorText();
    WriteFile(dir / "pipe/.keep", "");
    ASSERT_EQ(SplitThroughPipe(content, "data.bin", dir / "pipe", 1024), 0) << GetLastErrorText();
    EXPECT_EQ(GetBytesDone(), static_cast<int64_t>(content.size()));
    for (const char* name : {"spt_config.brixspt", "data.xxh128", "data_0.spt", "data_1.spt", "data_3.spt"}) {
        EXPECT_EQ(Exists(dir / "pipe/data_spt/" + name), Exists(dir / "file/data_spt/" + name)) << name;
        if (Exists(dir / "file/data_spt/" + name)) {
            EXPECT_EQ(ReadFile(dir / "pipe/data_spt/" + name), ReadFile(dir / "file/data_spt/" + name)) << name;
        }
    }
    EXPECT_NE(ReadFile(dir / "pipe/data_spt/data.meta").find("\nF 0644 "), std::string::npos);
    EXPECT_EQ(JoinToFile(dir / "pipe/data_spt", dir / "joined"), content) << GetLastErrorText();
}

INSTANTIATE_TEST_SUITE_P(Boundaries, StreamSizes, ::testing::Values(0, 1, 1024, 1025, 3 * 1024 + 7));

TEST_F(StreamJob, CancelOrTooManyChunksLeaveNothing) {
    WriteFile(dir / "pipe/.keep", "");
    SplitReport report;
    EXPECT_EQ(SplitThroughPipe(test::PatternBytes(3000), "data.bin", dir / "pipe", 1024, &report, 2), -1);
    EXPECT_TRUE(report.chunkLimitReached);
    EXPECT_FALSE(Exists(dir / "pipe/data_spt"));
    RequestCancelAt(3000);
    EXPECT_EQ(SplitThroughPipe(test::PatternBytes(20000), "data.bin", dir / "pipe", 1024), -1);
    EXPECT_EQ(GetLastErrorText().rfind("cancelled", 0), 0u) << GetLastErrorText();
    EXPECT_FALSE(Exists(dir / "pipe/data_spt"));
}

// No byte of a damaged chunk goes out; the chunks before it did. A chunk
// larger than the join's buffer is read twice.
TEST_F(StreamJob, JoinStopsBeforeADamagedChunk) {
    for (const std::size_t chunkSize : {std::size_t{4096}, std::size_t{5} << 20}) {
        const std::string content = test::PatternBytes(3 * chunkSize);
        const std::string at = dir / std::to_string(chunkSize);
        WriteFile(at + "/data.bin", content);
        ASSERT_EQ(RunSplit(test::MakeJob(at + "/data.bin", at, static_cast<int64_t>(chunkSize))), 0);
        std::string chunk = ReadFile(at + "/data_spt/data_1.spt");
        chunk[3000] ^= 1;
        WriteFile(at + "/data_spt/data_1.spt", chunk);
        ChunkSetCheck check;
        EXPECT_EQ(JoinToFile(at + "/data_spt", at + "/joined", &check), "");
        EXPECT_EQ(check.damagedChunk, 1);
        EXPECT_NE(GetLastErrorText().find("data_1.spt' is damaged"), std::string::npos) << GetLastErrorText();
        EXPECT_EQ(ReadFile(at + "/joined"), content.substr(0, chunkSize));
    }
}

TEST_F(StreamJob, JoinRefusesAFolderSet) {
    WriteFile(dir / "tree/a", "abc");
    ASSERT_EQ(RunSplit(test::MakeJob(dir / "tree", dir.path(), 4096)), 0) << GetLastErrorText();
    EXPECT_EQ(JoinToFile(dir / "tree_spt", dir / "joined"), "");
    EXPECT_EQ(ReadFile(dir / "joined"), "");
}

}  // namespace
}  // namespace partwise
