#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "partwise/descriptor.h"
#include "partwise/errors.h"
#include "partwise/md5.h"
#include "partwise/splitter.h"
#include "test_support.h"

namespace partwise {
namespace {

std::string Le32(int32_t v) {
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i) s[i] = static_cast<char>(static_cast<uint32_t>(v) >> (8 * i));
    return s;
}
std::string Le64(int64_t v) {
    std::string s(8, '\0');
    for (int i = 0; i < 8; ++i) s[i] = static_cast<char>(static_cast<uint64_t>(v) >> (8 * i));
    return s;
}
std::string Padded(const std::string& text, std::size_t width) { return text + std::string(width - text.size(), '\0'); }

std::string Header(int32_t chunks, int32_t files, int64_t total, const std::string& digest, const std::string& name) {
    return std::string(32, '\0') + Le32(2014) + Le32(101) + Le32(chunks) + Le32(files) + Le64(total) +
           Padded(digest, 40) + Padded(name, 256);
}
std::string ChunkBytes(int32_t index, const std::string& fingerprint) { return Le32(index) + Padded(fingerprint, 33); }
std::string FileBytes(const std::string& path, int32_t record, int32_t chunk, int64_t offset, int64_t length) {
    return Padded(path, 256) + Le32(record) + Le32(chunk) + Le64(offset) + Le64(length);
}

class DescriptorLayout : public test::EngineTest {};

TEST_F(DescriptorLayout, SingleFileSplitIsByteExact) {
    test::WriteFile(dir / "in/big.file.bin", test::PatternBytes(10000000));
    ASSERT_EQ(RunSplit(test::MakeJob(dir / "in/big.file.bin", dir.path(), 4000000)), 0) << GetLastErrorText();
    const std::string folder = dir / "big_spt";
    std::string expected = Header(3, 0, 10000000, "", "big.file.bin");
    for (int i = 0; i < 3; ++i)
        expected += ChunkBytes(i, ChunkFingerprint(folder + "/big_" + std::to_string(i) + ".spt"));
    const std::string written = test::ReadFile(folder + "/spt_config.brixspt");
    EXPECT_EQ(written.size(), 463u);
    EXPECT_EQ(written, expected);
}

TEST_F(DescriptorLayout, PasswordDigestFillsBytes56To95) {
    test::WriteFile(dir / "in/a.txt", "hello");
    ASSERT_EQ(RunSplit(test::MakeJob(dir / "in/a.txt", dir.path(), 2, "secret")), 0) << GetLastErrorText();
    const std::string written = test::ReadFile(dir / "a_spt/spt_config.brixspt");
    ASSERT_EQ(written.size(), 352u + 3 * 37);
    EXPECT_EQ(written.substr(56, 40), Padded("5EBE2294ECD0E0F08EAB7690D2A6EE69", 40));
    ASSERT_EQ(ReadDescriptor(dir / "a_spt"), 0);
    EXPECT_EQ(GetPasswordDigest(), "5EBE2294ECD0E0F08EAB7690D2A6EE69");
}

TEST_F(DescriptorLayout, EmptySourceGivesABareHeader) {
    test::WriteFile(dir / "in/empty.dat", "");
    ASSERT_EQ(RunSplit(test::MakeJob(dir / "in/empty.dat", dir.path(), 4)), 0) << GetLastErrorText();
    EXPECT_EQ(test::ReadFile(dir / "empty_spt/spt_config.brixspt"), Header(0, 0, 0, "", "empty.dat"));
    EXPECT_FALSE(test::Exists(dir / "empty_spt/empty_0.spt"));
    ASSERT_EQ(ReadDescriptor(dir / "empty_spt"), 0);
    EXPECT_EQ(GetPasswordDigest(), "");
}

TEST_F(DescriptorLayout, FolderPiecesSpanChunks) {
    test::WriteFile(dir / "photos.2019/a", "abc");
    test::WriteFile(dir / "photos.2019/b", "defgh");
    ASSERT_EQ(RunSplit(test::MakeJob(dir / "photos.2019", dir / "out", 4)), -1);  // no output folder yet
    test::WriteFile(dir / "out/.keep", "");
    ASSERT_EQ(RunSplit(test::MakeJob(dir / "photos.2019", dir / "out", 4)), 0) << GetLastErrorText();
    const std::string folder = dir / "out/photos_spt";
    EXPECT_EQ(test::ReadFile(folder + "/photos_0.spt"), "abcd");
    EXPECT_EQ(test::ReadFile(folder + "/photos_1.spt"), "efgh");
    std::string expected = Header(2, 3, 8, "", "photos.2019") +
                           ChunkBytes(0, ChunkFingerprint(folder + "/photos_0.spt")) +
                           ChunkBytes(1, ChunkFingerprint(folder + "/photos_1.spt")) + FileBytes("a", 0, 0, 0, 3) +
                           FileBytes("b", 1, 0, 3, 1) + FileBytes("b", 2, 1, 0, 4);
    EXPECT_EQ(test::ReadFile(folder + "/spt_config.brixspt"), expected);
}

TEST_F(DescriptorLayout, FileEndingAtAChunkEndGetsAZeroLengthRecordInTheNext) {
    test::WriteFile(dir / "in/set/a", "abcd");
    test::WriteFile(dir / "in/set/b", "ef");
    ASSERT_EQ(RunSplit(test::MakeJob(dir / "in/set", dir.path(), 4)), 0) << GetLastErrorText();
    const std::string descriptor = test::ReadFile(dir / "set_spt/spt_config.brixspt");
    ASSERT_EQ(descriptor.size(), 352u + 2 * 37 + 3 * 280);
    EXPECT_EQ(descriptor.substr(352 + 2 * 37),
              FileBytes("a", 0, 0, 0, 4) + FileBytes("a", 1, 1, 0, 0) + FileBytes("b", 2, 1, 0, 2));
}

TEST_F(DescriptorLayout, FolderOfEmptyFilesStillRecordsEachFile) {
    test::WriteFile(dir / "in/set/x", "");
    test::WriteFile(dir / "in/set/sub/y", "");
    ASSERT_EQ(RunSplit(test::MakeJob(dir / "in/set", dir.path(), 4)), 0) << GetLastErrorText();
    EXPECT_EQ(test::ReadFile(dir / "set_spt/spt_config.brixspt"),
              Header(0, 2, 0, "", "set") + FileBytes("sub/y", 0, 0, 0, 0) + FileBytes("x", 1, 0, 0, 0));
}

class DescriptorReader : public test::EngineTest {
protected:
    std::string Folder() { return dir / "set_spt"; }
    void Put(const std::string& bytes) { test::WriteFile(Folder() + "/spt_config.brixspt", bytes); }
    std::string Valid() {
        return Header(2, 1, 9, "", "set") + ChunkBytes(0, std::string(32, 'A')) + ChunkBytes(1, std::string(32, 'B')) +
               FileBytes("f", 0, 0, 0, 9);
    }
};

TEST_F(DescriptorReader, ReadsBackWhatItWroteUnchanged) {
    Put(Valid());
    ASSERT_EQ(ReadDescriptor(Folder()), 0);
    EXPECT_FALSE(DescriptorIsTruncated());
    EXPECT_EQ(GetChunkCount(), 2);
    EXPECT_EQ(GetFileRecordCount(), 1);
    EXPECT_EQ(GetTotalSize(), 9);
    EXPECT_EQ(GetSourceName(), "set");
    Descriptor().descriptorPath = dir / "copy";
    ASSERT_EQ(WriteDescriptor(), 0);
    EXPECT_EQ(test::ReadFile(dir / "copy"), Valid());
}

TEST_F(DescriptorReader, RefusesMissingFilesAndWrongMagic) {
    EXPECT_EQ(ReadDescriptor(Folder()), -1);
    EXPECT_NE(GetLastErrorText().find("spt_config.brixspt"), std::string::npos);

    std::string bytes = Valid();
    bytes[36] = 100;  // magic 2
    Put(bytes);
    EXPECT_EQ(ReadDescriptor(Folder()), -1);
    EXPECT_TRUE(Descriptor().chunkRecords.empty());
    EXPECT_TRUE(Descriptor().fileRecords.empty());

    Put(Valid().substr(0, 36));
    EXPECT_EQ(ReadDescriptor(Folder()), -1);
}

TEST_F(DescriptorReader, RecordsCutShortAreZeroFilledAndMarked) {
    const std::string valid = Valid();
    Put(valid.substr(0, valid.size() - 100));
    ASSERT_EQ(ReadDescriptor(Folder()), 0);
    EXPECT_TRUE(DescriptorIsTruncated());
    ASSERT_EQ(Descriptor().fileRecords.size(), 1u);
    EXPECT_EQ(Descriptor().fileRecords[0]->length, 0);  // lies in the missing tail
    EXPECT_STREQ(Descriptor().fileRecords[0]->relativePath, "f");

    Put(valid.substr(0, 352 + 37));
    ASSERT_EQ(ReadDescriptor(Folder()), 0);
    EXPECT_TRUE(DescriptorIsTruncated());
    EXPECT_EQ(Descriptor().chunkRecords.size(), 1u);
    EXPECT_TRUE(Descriptor().fileRecords.empty());
}

TEST_F(DescriptorReader, HugeOrNegativeCountsTakeOnlyWhatTheFileHolds) {
    std::string bytes = Valid();
    std::memcpy(&bytes[40], Le32(0x7FFFFFFF).data(), 4);
    std::memcpy(&bytes[44], Le32(0x7FFFFFFF).data(), 4);
    Put(bytes);
    ASSERT_EQ(ReadDescriptor(Folder()), 0);
    EXPECT_TRUE(DescriptorIsTruncated());
    // 2 * 37 + 280 bytes follow the header: 9 whole chunk records and a part.
    EXPECT_EQ(Descriptor().chunkRecords.size(), 10u);
    EXPECT_TRUE(Descriptor().fileRecords.empty());

    bytes = Valid();
    std::memcpy(&bytes[40], Le32(-5).data(), 4);
    std::memcpy(&bytes[44], Le32(INT32_MIN).data(), 4);
    Put(bytes);
    ASSERT_EQ(ReadDescriptor(Folder()), 0);
    EXPECT_TRUE(Descriptor().chunkRecords.empty());
    EXPECT_TRUE(Descriptor().fileRecords.empty());
}

TEST_F(DescriptorReader, TrailingBytesAreIgnored) {
    Put(Valid() + "junk");
    ASSERT_EQ(ReadDescriptor(Folder()), 0);
    EXPECT_FALSE(DescriptorIsTruncated());
    EXPECT_EQ(Descriptor().chunkRecords.size(), 2u);
}

}  // namespace
}  // namespace partwise
