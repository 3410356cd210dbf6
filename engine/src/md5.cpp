#include "partwise/md5.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

#include "fingerprint.h"
#include "posix_file.h"

namespace partwise {
namespace {

constexpr uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

constexpr int kShift[64] = {7,  12, 17, 22, 7,  12, 17, 22, 7,  12, 17, 22, 7,  12, 17, 22, 5,  9,  14, 20, 5,  9,
                            14, 20, 5,  9,  14, 20, 5,  9,  14, 20, 4,  11, 16, 23, 4,  11, 16, 23, 4,  11, 16, 23,
                            4,  11, 16, 23, 6,  10, 15, 21, 6,  10, 15, 21, 6,  10, 15, 21, 6,  10, 15, 21};

// The steps below run on one uint32_t, or on a vector of them: one lane per
// message, several messages at once. They take vectors by reference and are
// always inlined, so that the vector unit of their caller is the one used.
using Md5Lanes4 = uint32_t __attribute__((vector_size(16)));
using Md5Lanes8 = uint32_t __attribute__((vector_size(32)));

// Step I of the 64, written out by the compiler for each I: the round's
// function and word index are constants, so no step branches or divides.
template <int I, typename W>
[[gnu::always_inline]] inline void Step(W& a, const W& b, const W& c, const W& d, const W words[16]) {
    W f;
    int g = 0;
    if constexpr (I < 16) {
        f = d ^ (b & (c ^ d));  // (b & c) | (~b & d)
        g = I;
    } else if constexpr (I < 32) {
        f = c ^ (d & (b ^ c));  // (d & b) | (~d & c)
        g = (5 * I + 1) % 16;
    } else if constexpr (I < 48) {
        f = b ^ c ^ d;
        g = (3 * I + 5) % 16;
    } else {
        f = c ^ (b | ~d);
        g = (7 * I) % 16;
    }
    const W sum = a + f + kSine[I] + words[g];
    a = b + ((sum << kShift[I]) | (sum >> (32 - kShift[I])));
}

// Four steps: each writes the register the next three leave alone.
template <int I, typename W>
[[gnu::always_inline]] inline void FourSteps(W& a, W& b, W& c, W& d, const W words[16]) {
    Step<I>(a, b, c, d, words);
    Step<I + 1>(d, a, b, c, words);
    Step<I + 2>(c, d, a, b, words);
    Step<I + 3>(b, c, d, a, words);
}

template <typename W, int... Groups>
[[gnu::always_inline]] inline void AllSteps(W& a, W& b, W& c, W& d, const W words[16],
                                            std::integer_sequence<int, Groups...>) {
    (FourSteps<Groups * 4>(a, b, c, d, words), ...);
}

template <typename W>
[[gnu::always_inline]] inline void TransformState(W state[4], const W words[16]) {
    W a = state[0], b = state[1], c = state[2], d = state[3];
    AllSteps(a, b, c, d, words, std::make_integer_sequence<int, 16>());
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
}

void HexDigits(const uint32_t state[4], char text[32]) {
    static const char kHex[] = "0123456789ABCDEF";
    for (int i = 0; i < 16; ++i) {
        const auto byte = static_cast<unsigned char>(state[i / 4] >> (8 * (i % 4)));
        text[2 * i] = kHex[byte >> 4];
        text[2 * i + 1] = kHex[byte & 0xF];
    }
}

void TransformBytes(uint32_t state[4], const unsigned char* bytes) {
    uint32_t words[16];
    for (int i = 0; i < 16; ++i) {
        const unsigned char* b = bytes + 4 * i;
        words[i] = uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
    }
    Md5Transform(state, words);
}

}  // namespace

void Md5Init(Md5Context& context) {
    context.bitCountLow = 0;
    context.bitCountHigh = 0;
    context.state[0] = 0x67452301;
    context.state[1] = 0xEFCDAB89;
    context.state[2] = 0x98BADCFE;
    context.state[3] = 0x10325476;
}

void Md5Transform(uint32_t state[4], const uint32_t words[16]) { TransformState(state, words); }

void Md5Update(Md5Context& context, const void* data, uint32_t length) {
    const unsigned char* input = static_cast<const unsigned char*>(data);
    uint32_t index = (context.bitCountLow >> 3) & 0x3F;
    uint32_t bitsLow = length << 3;
    context.bitCountLow += bitsLow;
    if (context.bitCountLow < bitsLow) ++context.bitCountHigh;
    context.bitCountHigh += length >> 29;
    // Whole blocks are taken straight from the input; only the ends go
    // through the context's block.
    if (index > 0) {
        const uint32_t fill = std::min<uint32_t>(64 - index, length);
        std::memcpy(context.block + index, input, fill);
        input += fill;
        length -= fill;
        if (index + fill < 64) return;
        TransformBytes(context.state, context.block);
    }
    for (; length >= 64; input += 64, length -= 64) TransformBytes(context.state, input);
    std::memcpy(context.block, input, length);
}

void Md5Final(Md5Context& context) {
    static const unsigned char kPadding[64] = {0x80};
    const uint32_t low = context.bitCountLow, high = context.bitCountHigh;
    uint32_t index = (low >> 3) & 0x3F;
    Md5Update(context, kPadding, index < 56 ? 56 - index : 120 - index);
    for (int i = 0; i < 4; ++i) {
        context.block[56 + i] = static_cast<unsigned char>(low >> (8 * i));
        context.block[60 + i] = static_cast<unsigned char>(high >> (8 * i));
    }
    TransformBytes(context.state, context.block);
    for (int i = 0; i < 16; ++i) context.digest[i] = static_cast<unsigned char>(context.state[i / 4] >> (8 * (i % 4)));
}

std::string Md5HexText(const void* data, std::size_t length) {
    Md5Context context{};
    Md5Init(context);
    const unsigned char* p = static_cast<const unsigned char*>(data);
    // Md5Update takes 32-bit lengths; feed larger inputs in slices.
    while (length > 0) {
        uint32_t slice = length > 0x40000000u ? 0x40000000u : static_cast<uint32_t>(length);
        Md5Update(context, p, slice);
        p += slice;
        length -= slice;
    }
    Md5Final(context);
    std::string text(32, '0');
    HexDigits(context.state, text.data());
    return text;
}

std::string ChunkFingerprint(const std::string& path) {
    UniqueFd fd = OpenForReading(path);
    if (!fd.valid()) return std::string();
    return FingerprintOpenFile(fd.get());
}

std::string FingerprintOpenFile(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return std::string();
    return FingerprintOpenFile(fd, st.st_size);
}

std::string FingerprintOpenFile(int fd, int64_t size) {
    unsigned char head[kFingerprintHead] = {};
    if (ReadAt(fd, head, sizeof head, 0) < 0) return std::string();
    return FingerprintOfBytes(size, head, sizeof head);
}

std::string FingerprintOfBytes(int64_t size, const void* head, std::size_t headLength) {
    unsigned char block[8 + kFingerprintHead] = {};
    std::memcpy(block + 8, head, std::min(headLength, kFingerprintHead));
    const auto bits = static_cast<uint64_t>(size);
    for (int i = 0; i < 8; ++i) block[i] = static_cast<unsigned char>(bits >> (8 * i));
    return Md5HexText(block, sizeof block);
}

namespace {

// The fingerprints of the first count of inputs, one a lane of W.
template <typename W>
[[gnu::always_inline]] inline void FingerprintLanes(FingerprintInput* inputs, std::size_t count) {
    constexpr std::size_t kLanes = sizeof(W) / sizeof(uint32_t);
    constexpr std::size_t kBlocks = (8 + kFingerprintHead) / 64;
    count = std::min(count, kLanes);
    // Each lane's 1024 bytes as FingerprintOfBytes lays them out; lanes
    // without a file hash zeros, and their results are dropped.
    alignas(64) unsigned char blocks[kLanes][8 + kFingerprintHead] = {};
    for (std::size_t lane = 0; lane < count; ++lane) {
        const auto bits = static_cast<uint64_t>(inputs[lane].size);
        for (int i = 0; i < 8; ++i) blocks[lane][i] = static_cast<unsigned char>(bits >> (8 * i));
        std::memcpy(blocks[lane] + 8, inputs[lane].head, std::min(inputs[lane].headLength, kFingerprintHead));
    }
    W state[4] = {W{} + 0x67452301u, W{} + 0xEFCDAB89u, W{} + 0x98BADCFEu, W{} + 0x10325476u};
    W words[16];
    for (std::size_t block = 0; block < kBlocks; ++block) {
        for (std::size_t w = 0; w < 16; ++w)
            for (std::size_t lane = 0; lane < kLanes; ++lane) {
                uint32_t word = 0;
                std::memcpy(&word, blocks[lane] + 64 * block + 4 * w, sizeof word);
                words[w][lane] = word;
            }
        TransformState(state, words);
    }
    // Every message is 1024 bytes long: one padding block, the same for all.
    for (W& word : words) word = W{};
    words[0] += 0x80u;
    words[14] += (8 + kFingerprintHead) * 8u;
    TransformState(state, words);
    for (std::size_t lane = 0; lane < count; ++lane) {
        const uint32_t digest[4] = {state[0][lane], state[1][lane], state[2][lane], state[3][lane]};
        HexDigits(digest, inputs[lane].text);
    }
}

static_assert(kFingerprintLanes == sizeof(Md5Lanes8) / sizeof(uint32_t));

#if defined(__x86_64__) || defined(__i386__)
[[gnu::target("avx2")]] void FingerprintEightWide(FingerprintInput* inputs, std::size_t count) {
    FingerprintLanes<Md5Lanes8>(inputs, count);
}
#endif

}  // namespace

void FingerprintSeveral(FingerprintInput* inputs, std::size_t count) {
    count = std::min(count, kFingerprintLanes);
#if defined(__x86_64__) || defined(__i386__)
    static const bool kWide = __builtin_cpu_supports("avx2");
    if (kWide) return FingerprintEightWide(inputs, count);
#endif
    // Two halves of four: the lanes of the vector unit every x86-64 has.
    FingerprintLanes<Md5Lanes4>(inputs, count);
    if (count > 4) FingerprintLanes<Md5Lanes4>(inputs + 4, count - 4);
}

int CheckPassword(const char* password, const char* storedDigest) {
    if (password == nullptr || storedDigest == nullptr) return -1;
    return Md5HexText(password, std::strlen(password)) == storedDigest ? 1 : 0;
}

}  // namespace partwise
