#include "enterprise/common/zaph/md5.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace Zaph::Util {
namespace {

uint32_t LoadLittleEndian(const uint8_t* bytes) {
    uint32_t word;
    std::memcpy(&word, bytes, sizeof word);
    if constexpr (std::endian::native == std::endian::big) {
        word = (word >> 24) | ((word >> 8) & 0xff00) | ((word << 8) & 0xff0000) | (word << 24);
    }
    return word;
}

void StoreLittleEndian(uint8_t* bytes, uint64_t value, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

// The four auxiliary functions, in forms with fewer operations than the RFC's.
inline uint32_t F(uint32_t x, uint32_t y, uint32_t z) {
    return z ^ (x & (y ^ z));
}
inline uint32_t G(uint32_t x, uint32_t y, uint32_t z) {
    return y ^ (z & (x ^ y));
}
inline uint32_t H(uint32_t x, uint32_t y, uint32_t z) {
    return x ^ y ^ z;
}
inline uint32_t I(uint32_t x, uint32_t y, uint32_t z) {
    return y ^ (x | ~z);
}

}  // namespace

// One step: a = b + ((a + f(b, c, d) + x[k] + t) <<< s).
#define MD5_STEP(f, a, b, c, d, k, s, t)               \
    a += f(b, c, d) + x[k] + static_cast<uint32_t>(t); \
    a = std::rotl(a, s) + b

void Md5::Reset() {
    state_[0] = 0x67452301;
    state_[1] = 0xefcdab89;
    state_[2] = 0x98badcfe;
    state_[3] = 0x10325476;
    length_ = 0;
    pendingSize_ = 0;
}

void Md5::Compress(const uint8_t* blocks, size_t count) {
    uint32_t a = state_[0];
    uint32_t b = state_[1];
    uint32_t c = state_[2];
    uint32_t d = state_[3];
    for (; count > 0; --count, blocks += kBlockSize) {
        uint32_t x[16];
        for (int i = 0; i < 16; ++i) {
            x[i] = LoadLittleEndian(blocks + 4 * i);
        }
        const uint32_t aa = a, bb = b, cc = c, dd = d;

        MD5_STEP(F, a, b, c, d, 0, 7, 0xd76aa478);
        MD5_STEP(F, d, a, b, c, 1, 12, 0xe8c7b756);
        MD5_STEP(F, c, d, a, b, 2, 17, 0x242070db);
        MD5_STEP(F, b, c, d, a, 3, 22, 0xc1bdceee);
        MD5_STEP(F, a, b, c, d, 4, 7, 0xf57c0faf);
        MD5_STEP(F, d, a, b, c, 5, 12, 0x4787c62a);
        MD5_STEP(F, c, d, a, b, 6, 17, 0xa8304613);
        MD5_STEP(F, b, c, d, a, 7, 22, 0xfd469501);
        MD5_STEP(F, a, b, c, d, 8, 7, 0x698098d8);
        MD5_STEP(F, d, a, b, c, 9, 12, 0x8b44f7af);
        MD5_STEP(F, c, d, a, b, 10, 17, 0xffff5bb1);
        MD5_STEP(F, b, c, d, a, 11, 22, 0x895cd7be);
        MD5_STEP(F, a, b, c, d, 12, 7, 0x6b901122);
        MD5_STEP(F, d, a, b, c, 13, 12, 0xfd987193);
        MD5_STEP(F, c, d, a, b, 14, 17, 0xa679438e);
        MD5_STEP(F, b, c, d, a, 15, 22, 0x49b40821);

        MD5_STEP(G, a, b, c, d, 1, 5, 0xf61e2562);
        MD5_STEP(G, d, a, b, c, 6, 9, 0xc040b340);
        MD5_STEP(G, c, d, a, b, 11, 14, 0x265e5a51);
        MD5_STEP(G, b, c, d, a, 0, 20, 0xe9b6c7aa);
        MD5_STEP(G, a, b, c, d, 5, 5, 0xd62f105d);
        MD5_STEP(G, d, a, b, c, 10, 9, 0x02441453);
        MD5_STEP(G, c, d, a, b, 15, 14, 0xd8a1e681);
        MD5_STEP(G, b, c, d, a, 4, 20, 0xe7d3fbc8);
        MD5_STEP(G, a, b, c, d, 9, 5, 0x21e1cde6);
        MD5_STEP(G, d, a, b, c, 14, 9, 0xc33707d6);
        MD5_STEP(G, c, d, a, b, 3, 14, 0xf4d50d87);
        MD5_STEP(G, b, c, d, a, 8, 20, 0x455a14ed);
        MD5_STEP(G, a, b, c, d, 13, 5, 0xa9e3e905);
        MD5_STEP(G, d, a, b, c, 2, 9, 0xfcefa3f8);
        MD5_STEP(G, c, d, a, b, 7, 14, 0x676f02d9);
        MD5_STEP(G, b, c, d, a, 12, 20, 0x8d2a4c8a);

        MD5_STEP(H, a, b, c, d, 5, 4, 0xfffa3942);
        MD5_STEP(H, d, a, b, c, 8, 11, 0x8771f681);
        MD5_STEP(H, c, d, a, b, 11, 16, 0x6d9d6122);
        MD5_STEP(H, b, c, d, a, 14, 23, 0xfde5380c);
        MD5_STEP(H, a, b, c, d, 1, 4, 0xa4beea44);
        MD5_STEP(H, d, a, b, c, 4, 11, 0x4bdecfa9);
        MD5_STEP(H, c, d, a, b, 7, 16, 0xf6bb4b60);
        MD5_STEP(H, b, c, d, a, 10, 23, 0xbebfbc70);
        MD5_STEP(H, a, b, c, d, 13, 4, 0x289b7ec6);
        MD5_STEP(H, d, a, b, c, 0, 11, 0xeaa127fa);
        MD5_STEP(H, c, d, a, b, 3, 16, 0xd4ef3085);
        MD5_STEP(H, b, c, d, a, 6, 23, 0x04881d05);
        MD5_STEP(H, a, b, c, d, 9, 4, 0xd9d4d039);
        MD5_STEP(H, d, a, b, c, 12, 11, 0xe6db99e5);
        MD5_STEP(H, c, d, a, b, 15, 16, 0x1fa27cf8);
        MD5_STEP(H, b, c, d, a, 2, 23, 0xc4ac5665);

        MD5_STEP(I, a, b, c, d, 0, 6, 0xf4292244);
        MD5_STEP(I, d, a, b, c, 7, 10, 0x432aff97);
        MD5_STEP(I, c, d, a, b, 14, 15, 0xab9423a7);
        MD5_STEP(I, b, c, d, a, 5, 21, 0xfc93a039);
        MD5_STEP(I, a, b, c, d, 12, 6, 0x655b59c3);
        MD5_STEP(I, d, a, b, c, 3, 10, 0x8f0ccc92);
        MD5_STEP(I, c, d, a, b, 10, 15, 0xffeff47d);
        MD5_STEP(I, b, c, d, a, 1, 21, 0x85845dd1);
        MD5_STEP(I, a, b, c, d, 8, 6, 0x6fa87e4f);
        MD5_STEP(I, d, a, b, c, 15, 10, 0xfe2ce6e0);
        MD5_STEP(I, c, d, a, b, 6, 15, 0xa3014314);
        MD5_STEP(I, b, c, d, a, 13, 21, 0x4e0811a1);
        MD5_STEP(I, a, b, c, d, 4, 6, 0xf7537e82);
        MD5_STEP(I, d, a, b, c, 11, 10, 0xbd3af235);
        MD5_STEP(I, c, d, a, b, 2, 15, 0x2ad7d2bb);
        MD5_STEP(I, b, c, d, a, 9, 21, 0xeb86d391);

        a += aa;
        b += bb;
        c += cc;
        d += dd;
    }
    state_[0] = a;
    state_[1] = b;
    state_[2] = c;
    state_[3] = d;
}

#undef MD5_STEP

void Md5::Update(const void* data, size_t size) {
    if (size == 0) {
        return;  // `data` may then be null, which memcpy does not accept
    }
    const auto* bytes = static_cast<const uint8_t*>(data);
    length_ += size;
    if (pendingSize_ > 0) {
        const size_t taken = std::min(size, kBlockSize - pendingSize_);
        std::memcpy(pending_ + pendingSize_, bytes, taken);
        pendingSize_ += taken;
        bytes += taken;
        size -= taken;
        if (pendingSize_ < kBlockSize) {
            return;
        }
        Compress(pending_, 1);
        pendingSize_ = 0;
    }
    const size_t whole = size / kBlockSize;
    if (whole > 0) {
        Compress(bytes, whole);
        bytes += whole * kBlockSize;
        size -= whole * kBlockSize;
    }
    if (size > 0) {
        std::memcpy(pending_, bytes, size);
        pendingSize_ = size;
    }
}

Md5Digest Md5::Finish() {
    const uint64_t bitLength = length_ * 8;
    // A 1 bit, zeros up to 56 bytes into a block, then the length in bits.
    uint8_t padding[2 * kBlockSize] = {0x80};
    const size_t padSize =
        (pendingSize_ < kBlockSize - 8 ? kBlockSize : 2 * kBlockSize) - pendingSize_;
    StoreLittleEndian(padding + padSize - 8, bitLength, 8);
    Update(padding, padSize);
    Md5Digest digest;
    for (size_t i = 0; i < 4; ++i) {
        StoreLittleEndian(digest.data() + 4 * i, state_[i], 4);
    }
    Reset();
    return digest;
}

}  // namespace Zaph::Util
