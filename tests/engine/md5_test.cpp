#include <gtest/gtest.h>

#include <cstring>
#include <span>
#include <string>

#include "fingerprint.h"
#include "partwise/md5.h"
#include "test_support.h"

namespace partwise {
namespace {

std::string Hex(const std::string& text) { return Md5HexText(text.data(), text.size()); }

TEST(Md5, MatchesTheRfc1321Suite) {
    EXPECT_EQ(Hex(""), "D41D8CD98F00B204E9800998ECF8427E");
    EXPECT_EQ(Hex("a"), "0CC175B9C0F1B6A831C399E269772661");
    EXPECT_EQ(Hex("abc"), "900150983CD24FB0D6963F7D28E17F72");
    EXPECT_EQ(Hex("message digest"), "F96B697D7CB7938D525A2F31AAF161D0");
    EXPECT_EQ(Hex("abcdefghijklmnopqrstuvwxyz"), "C3FCD3D76192E4007DFB496CCA67E13B");
    EXPECT_EQ(Hex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "D174AB98D277D9F5A5611C2C9F419D9F");
    std::string digits;
    for (int i = 0; i < 8; ++i) digits += "1234567890";
    EXPECT_EQ(Hex(digits), "57EDF4A22BE3C955AC49DA2E2107B67A");
}

TEST(Md5, PaddingBoundaries) {
    EXPECT_EQ(Hex(std::string(55, 'a')), "EF1772B6DFF9A122358552954AD0DF65");
    EXPECT_EQ(Hex(std::string(56, 'a')), "3B0C8AC703F828B04C6C197006D17218");
    EXPECT_EQ(Hex(std::string(63, 'a')), "B06521F39153D618550606BE297466D5");
    EXPECT_EQ(Hex(std::string(64, 'a')), "014842D480B571495A4A0363793F7367");
    EXPECT_EQ(Hex(std::string(65, 'a')), "C743A45E0D2E6A95CB859ADAE0248435");
}

TEST(Md5, UpdatesInPiecesGiveTheSameDigest) {
    const std::string input(1000000, 'a');
    Md5Context context{};
    Md5Init(context);
    // Pieces that cross block boundaries at every offset.
    for (std::size_t at = 0, step = 1; at < input.size(); at += step, step = step % 97 + 1)
        Md5Update(context, input.data() + at, static_cast<uint32_t>(std::min(step, input.size() - at)));
    Md5Final(context);
    std::string pieces;
    char hex[3];
    for (unsigned char b : context.digest) {
        std::snprintf(hex, sizeof hex, "%02X", b);
        pieces += hex;
    }
    EXPECT_EQ(pieces, "7707D6AE4E027C70EEA2A935C2296F21");
    EXPECT_EQ(Hex(input), pieces);
}

class Fingerprint : public test::EngineTest {};

TEST_F(Fingerprint, CoversSizeAndFirst1016Bytes) {
    // An empty file hashes a block of 1024 zero bytes.
    test::WriteFile(dir / "empty", "");
    EXPECT_EQ(ChunkFingerprint(dir / "empty"), "0F343B0931126A20F133D67C2B018A3B");

    std::string base = test::PatternBytes(3000);
    std::string changedLate = base;
    changedLate[1016] ^= 1;
    std::string changedEarly = base;
    changedEarly[1015] ^= 1;
    test::WriteFile(dir / "base", base);
    test::WriteFile(dir / "late", changedLate);
    test::WriteFile(dir / "early", changedEarly);
    test::WriteFile(dir / "longer", base + "x");
    const std::string fingerprint = ChunkFingerprint(dir / "base");
    EXPECT_EQ(fingerprint.size(), 32u);
    EXPECT_EQ(ChunkFingerprint(dir / "late"), fingerprint);
    EXPECT_NE(ChunkFingerprint(dir / "early"), fingerprint);
    EXPECT_NE(ChunkFingerprint(dir / "longer"), fingerprint);

    EXPECT_EQ(ChunkFingerprint(dir / "missing"), "");
}

TEST_F(Fingerprint, IsTheDigestOfSizeThenContent) {
    test::WriteFile(dir / "abc", "abc");
    unsigned char block[1024] = {3};
    std::memcpy(block + 8, "abc", 3);
    EXPECT_EQ(ChunkFingerprint(dir / "abc"), Md5HexText(block, sizeof block));
}

TEST(FingerprintSeveral, MatchesOneAtATime) {
    const std::string bytes = test::PatternBytes(3000, 7);
    for (std::size_t count = 1; count <= kFingerprintLanes; ++count) {
        FingerprintInput inputs[kFingerprintLanes];
        for (std::size_t lane = 0; lane < count; ++lane) {
            const std::size_t sizes[] = {0, 1, 1016, 1017, 3000};
            inputs[lane] = {static_cast<int64_t>(sizes[(lane + count) % 5]), bytes.data() + lane, 1016 - lane};
        }
        FingerprintSeveral(inputs, count);
        for (const FingerprintInput& in : std::span(inputs, count))
            EXPECT_EQ(std::string(in.text, 32), FingerprintOfBytes(in.size, in.head, in.headLength)) << count;
    }
}

TEST(CheckPassword, ComparesDigestTextsCaseSensitively) {
    EXPECT_EQ(CheckPassword("secret", "5EBE2294ECD0E0F08EAB7690D2A6EE69"), 1);
    EXPECT_EQ(CheckPassword("Secret", "5EBE2294ECD0E0F08EAB7690D2A6EE69"), 0);
    EXPECT_EQ(CheckPassword("secret", "5ebe2294ecd0e0f08eab7690d2a6ee69"), 0);
    EXPECT_EQ(CheckPassword("", ""), 0);
    EXPECT_EQ(CheckPassword("secret", ""), 0);
    EXPECT_EQ(CheckPassword(nullptr, "5EBE2294ECD0E0F08EAB7690D2A6EE69"), -1);
    EXPECT_EQ(CheckPassword("secret", nullptr), -1);
}

}  // namespace
}  // namespace partwise
