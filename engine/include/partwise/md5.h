#pragma once
// MD5 (RFC 1321), the password digest and the chunk fingerprint. All digests
// travel as their hex text: 32 upper-case hexadecimal digits. Reentrant.
#include <cstddef>
#include <cstdint>
#include <string>

namespace partwise {

struct Md5Context {
    uint32_t bitCountLow;
    uint32_t bitCountHigh;
    uint32_t state[4];
    unsigned char block[64];
    unsigned char digest[16];
};

void Md5Init(Md5Context& context);
void Md5Update(Md5Context& context, const void* data, uint32_t length);
// Pads, takes in the bit count and leaves the digest in context.digest.
void Md5Final(Md5Context& context);
// One RFC 1321 compression of a 64-byte block given as 16 little-endian words.
void Md5Transform(uint32_t state[4], const uint32_t words[16]);

// The 32-digit upper-case hex text of the MD5 of length bytes at data.
std::string Md5HexText(const void* data, std::size_t length);

// MD5 of a 1024-byte block: the file's size as 8 little-endian bytes, then its
// first 1016 bytes, zero-padded. Returns "" when the file cannot be opened.
std::string ChunkFingerprint(const std::string& path);

// 1 when the MD5 hex text of password equals storedDigest (case-sensitive),
// 0 when not, -1 when either pointer is null.
int CheckPassword(const char* password, const char* storedDigest);

}  // namespace partwise
