#include "meta_file.h"

#include <sys/stat.h>

#include "partwise/errors.h"
#include "test_support.h"

namespace partwise {
namespace {

using test::EngineTest;
using test::ReadFile;
using test::WriteFile;

TEST(MetaFile, EscapesEveryByteAPathMayHold) {
    struct Case {
        std::string path, text;
    } cases[] = {
        {"plain/name.txt", "plain/name.txt"},
        {"with space", "with space"},
        {"tab\there", "tab\\there"},
        {"line\nbreak\r", "line\\nbreak\\r"},
        {"back\\slash", "back\\\\slash"},
        {"bell\x07 del\x7f", "bell\\x07 del\\x7f"},
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},  // UTF-8 kept
        {"latin1 caf\xe9", "latin1 caf\\xe9"},
        {"overlong \xc0\xaf", "overlong \\xc0\\xaf"},
        {"surrogate \xed\xa0\x80", "surrogate \\xed\\xa0\\x80"},
        {"cut \xe2\x82", "cut \\xe2\\x82"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(EscapePath(c.path), c.text);
        std::string back;
        ASSERT_TRUE(UnescapePath(c.text, back));
        EXPECT_EQ(back, c.path);
    }
    std::string out;
    for (const char* bad : {"a\\", "a\\q", "a\\x4", "a\\xzz", "a\\x00", "raw\ttab"}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(UnescapePath(bad, out));
    }
}

TEST(MetaFile, LinesRoundTripAndOnlyWellFormedOnesParse) {
    MetaEntry file{'F', 0755, 978307200, 123456789, "bin/run me.sh"};
    EXPECT_EQ(FormatMetaLine(file), "F 0755 978307200 123456789 bin/run me.sh");
    MetaEntry folder{'D', 0700, -5, 0, "."};
    EXPECT_EQ(FormatMetaLine(folder), "D 0700 -5 0 .");
    MetaEntry back;
    ASSERT_TRUE(ParseMetaLine(FormatMetaLine(file), back));
    EXPECT_EQ(back, file);
    ASSERT_TRUE(ParseMetaLine(FormatMetaLine(folder), back));
    EXPECT_EQ(back, folder);

    for (const char* bad : {"", "F", "X 0644 1 0 a", "F 0644 1 0 ", "F 0644 1 0", "F 0648 1 0 a", "F 10000 1 0 a",
                            "F 0644 1 1000000000 a", "F 0644 1 -1 a", "F  0644 1 0 a", "F 0644 1x 0 a",
                            "F 0644 99999999999999999999 0 a", "F 0644 +1 0 a", "F 0644 1 0 a\r"}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(ParseMetaLine(bad, back));
    }
}

class MetaFileTest : public EngineTest {
protected:
    std::string path() { return dir / "t.meta"; }
};

TEST_F(MetaFileTest, WritesThenReadsEntriesInOrderAndGoesBack) {
    std::vector<MetaEntry> entries = {
        {'D', 0755, 1, 2, "."},
        {'D', 0700, 3, 4, "private"},
        {'F', 0600, 5, 6, "private/key\nfile"},
    };
    for (int i = 0; i < 3000; ++i)
        entries.push_back({'F', 0644, i, i, "many/" + std::string(200, 'x') + std::to_string(i)});
    {
        MetaFileWriter writer;
        ASSERT_EQ(writer.Open(path()), 0);
        for (const MetaEntry& e : entries) ASSERT_EQ(writer.Add(e), 0);
        ASSERT_EQ(writer.Commit(), 0) << GetLastErrorText();
    }
    EXPECT_EQ(ReadFile(path()).substr(0, 40), "partwise-meta 1\nD 0755 1 2 .\nD 0700 3 4 ");

    MetaFileReader reader;
    ASSERT_EQ(reader.Open(path()), 1);
    MetaEntry entry;
    int64_t thirdAt = 0;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (i == 2) thirdAt = reader.position();
        ASSERT_EQ(reader.Next(entry), 1) << i << ": " << GetLastErrorText();
        ASSERT_EQ(entry, entries[i]);
    }
    EXPECT_EQ(reader.Next(entry), 0);
    reader.Seek(thirdAt);
    ASSERT_EQ(reader.Next(entry), 1);
    EXPECT_EQ(entry, entries[2]);
}

TEST_F(MetaFileTest, RefusesWhatIsNotAMetadataFile) {
    MetaFileReader reader;
    EXPECT_EQ(reader.Open(path()), 0) << "no file: nothing to restore";

    struct Case {
        const char* what;
        std::string content;
        int open, next;
        const char* reason;
    } cases[] = {
        {"other header", "partwise-meta 2\nF 0644 1 0 a\n", -1, 0, "not a metadata file of this version"},
        {"empty", "", -1, 0, "not a metadata file"},
        {"bad line", "partwise-meta 1\nF 0644 1 0 a\nnonsense\n", 1, -1, "line 3 is not an entry"},
        {"cut short", "partwise-meta 1\nF 0644 1 0 a", 1, -1, "ends inside a line"},
        {"huge line", "partwise-meta 1\nF 0644 1 0 " + std::string(200000, 'a') + "\n", 1, -1, "longer than any"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WriteFile(path(), c.content);
        MetaFileReader r;
        ASSERT_EQ(r.Open(path()), c.open);
        if (c.open == 1) {
            MetaEntry entry;
            int result;
            while ((result = r.Next(entry)) == 1) {}
            EXPECT_EQ(result, c.next);
        }
        EXPECT_NE(GetLastErrorText().find(c.reason), std::string::npos) << GetLastErrorText();
    }

    ::unlink(path().c_str());
    ASSERT_EQ(::mkfifo(path().c_str(), 0644), 0);
    MetaFileReader fifo;
    EXPECT_EQ(fifo.Open(path()), -1) << "a FIFO must neither hang nor pass";
}

}  // namespace
}  // namespace partwise
