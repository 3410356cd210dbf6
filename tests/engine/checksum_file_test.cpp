#include "checksum_file.h"

#include <sys/stat.h>

#include <cstdlib>

#include "partwise/errors.h"
#include "test_support.h"

namespace partwise {
namespace {

using test::EngineTest;
using test::ReadFile;
using test::WriteFile;

Digest128 HashOf(const std::string& bytes) {
    ChunkHasher hasher;
    hasher.Update(bytes.data(), bytes.size());
    return hasher.Final();
}

// What `xxhsum -H2` prints for these bytes.
TEST(ChecksumFile, HashesAsXxhsumDoes) {
    EXPECT_EQ(DigestHex(HashOf("hello")), "b5e9c1ad071b3e7fc779cfaa5e523818");
    EXPECT_EQ(DigestHex(HashOf("")), "99aa06d3014798d86001c324468d497f");
    // Fed in pieces, the same as in one go.
    ChunkHasher hasher;
    hasher.Update("hel", 3);
    hasher.Update("lo", 2);
    EXPECT_EQ(hasher.Final(), HashOf("hello"));
}

class ChecksumFileTest : public EngineTest {
protected:
    std::string path() { return dir / "f.xxh128"; }

    // Loads content as the checksum file of a set of count chunks of stem "f".
    ChecksumTable Load(const std::string& content, int32_t count, int expected = 1) {
        WriteFile(path(), content);
        ChecksumTable table;
        EXPECT_EQ(ReadChecksumFile(path(), "f", count, table), expected) << GetLastErrorText();
        return table;
    }

    static std::string Line(const std::string& bytes, const std::string& name) {
        return DigestHex(HashOf(bytes)) + "  " + name + "\n";
    }
};

TEST_F(ChecksumFileTest, WritesTheLinesXxhsumWritesAndReadsThemBack) {
    ChecksumFileWriter writer;
    ASSERT_EQ(writer.Open(path()), 0);
    ASSERT_EQ(writer.Add("f_0.spt", HashOf("hello")), 0);
    ASSERT_EQ(writer.Add("f_1.spt", HashOf("")), 0);
    EXPECT_FALSE(test::Exists(path())) << "in place before the commit";
    ASSERT_EQ(writer.Commit(), 0) << GetLastErrorText();
    EXPECT_FALSE(test::Exists(path() + ".tmp"));
    EXPECT_EQ(ReadFile(path()),
              "b5e9c1ad071b3e7fc779cfaa5e523818  f_0.spt\n"
              "99aa06d3014798d86001c324468d497f  f_1.spt\n");

    ChecksumTable table;
    ASSERT_EQ(ReadChecksumFile(path(), "f", 2, table), 1);
    Digest128 digest;
    ASSERT_TRUE(table.Get(0, digest));
    EXPECT_EQ(digest, HashOf("hello"));
    ASSERT_TRUE(table.Get(1, digest));
    EXPECT_EQ(digest, HashOf(""));
    EXPECT_EQ(table.unusableLines(), 0);

    if (std::system("command -v xxhsum >/dev/null 2>&1") == 0) {
        WriteFile(dir / "f_0.spt", "hello");
        WriteFile(dir / "f_1.spt", "");
        std::string check = "cd '" + dir.path() + "' && xxhsum -q -c f.xxh128 >/dev/null 2>&1";
        EXPECT_EQ(std::system(check.c_str()), 0);
    }
}

TEST_F(ChecksumFileTest, AnUncommittedFileLeavesNothing) {
    WriteFile(path(), "old\n");
    {
        ChecksumFileWriter writer;
        ASSERT_EQ(writer.Open(path()), 0);
        ASSERT_EQ(writer.Add("f_0.spt", HashOf("x")), 0);
    }
    EXPECT_FALSE(test::Exists(path() + ".tmp"));
    EXPECT_EQ(ReadFile(path()), "old\n");
}

TEST_F(ChecksumFileTest, ATemporaryNameThatIsALinkIsNotWrittenThrough) {
    WriteFile(dir / "precious", "keep");
    ASSERT_EQ(::symlink((dir / "precious").c_str(), (path() + ".tmp").c_str()), 0);
    ChecksumFileWriter writer;
    ASSERT_EQ(writer.Open(path()), 0);
    ASSERT_EQ(writer.Add("f_0.spt", HashOf("x")), 0);
    ASSERT_EQ(writer.Commit(), 0);
    EXPECT_EQ(ReadFile(dir / "precious"), "keep");
}

// Lines that cannot be used leave their chunk unchecked; they never make a
// chunk checked against the wrong hash.
TEST_F(ChecksumFileTest, LinesItCannotUseLeaveTheirChunksUnchecked) {
    const std::string good = DigestHex(HashOf("a"));
    struct Case {
        const char* what;
        std::string line;
    } cases[] = {
        {"bad hex", "zz" + good.substr(2) + "  f_0.spt\n"},
        {"upper-case hex", "B5E9C1AD071B3E7FC779CFAA5E523818  f_0.spt\n"},
        {"short hex", good.substr(1) + "  f_0.spt\n"},
        {"one space", good + " f_0.spt\n"},
        {"binary marker", good + " *f_0.spt\n"},
        {"CRLF", good + "  f_0.spt\r\n"},
        {"another stem", good + "  g_0.spt\n"},
        {"leading zero", good + "  f_00.spt\n"},
        {"signed index", good + "  f_-0.spt\n"},
        {"no suffix", good + "  f_0\n"},
        {"chunk the set lacks", good + "  f_8.spt\n"},
        {"huge index", good + "  f_99999999999.spt\n"},
        {"over-long", good + "  f_0.spt" + std::string(300, ' ') + "\n"},
        {"empty line", "\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ChecksumTable table = Load(c.line, 8);
        Digest128 digest;
        EXPECT_FALSE(table.Get(0, digest));
        EXPECT_EQ(table.unusableLines(), 1);
    }
}

TEST_F(ChecksumFileTest, RepeatedAndMissingLines) {
    std::string content = Line("a", "f_0.spt") + Line("a", "f_0.spt") +  // agree: checked
                          Line("b", "f_1.spt") + Line("c", "f_1.spt") +  // disagree: unchecked
                          Line("e", "f_3.spt");                          // chunk 2 has none; no final newline
    content.pop_back();
    ChecksumTable table = Load(content, 4);
    Digest128 digest;
    ASSERT_TRUE(table.Get(0, digest));
    EXPECT_EQ(digest, HashOf("a"));
    EXPECT_FALSE(table.Get(1, digest));
    EXPECT_FALSE(table.Get(2, digest));
    ASSERT_TRUE(table.Get(3, digest));
    EXPECT_EQ(digest, HashOf("e"));
    EXPECT_FALSE(table.Get(4, digest));
    EXPECT_FALSE(table.Get(-1, digest));
}

TEST_F(ChecksumFileTest, NoFileIsNotAnError) {
    ChecksumTable table;
    EXPECT_EQ(ReadChecksumFile(path(), "f", 3, table), 0);
    EXPECT_FALSE(table.loaded());
}

TEST_F(ChecksumFileTest, RefusesWhatCannotBeAChecksumFile) {
    Load(std::string(10 * 1000 * 1000, 'x'), 3, -1);
    EXPECT_NE(GetLastErrorText().find("larger than any for 3 chunks"), std::string::npos) << GetLastErrorText();

    ::unlink(path().c_str());
    ASSERT_EQ(::mkdir(path().c_str(), 0755), 0);
    ChecksumTable table;
    EXPECT_EQ(ReadChecksumFile(path(), "f", 3, table), -1);
    ::rmdir(path().c_str());
    ASSERT_EQ(::mkfifo(path().c_str(), 0644), 0);
    EXPECT_EQ(ReadChecksumFile(path(), "f", 3, table), -1) << "a FIFO must neither hang nor pass";
    EXPECT_FALSE(table.loaded());
}

TEST(ChecksumFile, StemsWithALineBreakCannotBeWritten) {
    EXPECT_TRUE(StemFitsChecksumFile("a b\\c"));
    EXPECT_FALSE(StemFitsChecksumFile("a\nb"));
    EXPECT_FALSE(StemFitsChecksumFile("a\rb"));
}

}  // namespace
}  // namespace partwise
