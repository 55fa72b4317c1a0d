#include "crypto/md5.h"

#include <cstring>

#include "crypto/block_buffer.h"
#include "crypto/secure_zero.h"

namespace kelm::crypto {
namespace {

inline uint32_t Rotl(uint32_t x, int n) {
    return (x << n) | (x >> (32 - n));
}

inline uint32_t LoadLe32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap32(v);
#endif
    return v;
}

inline void StoreLe32(uint8_t* p, uint32_t v) {
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap32(v);
#endif
    std::memcpy(p, &v, 4);
}

// The four round functions, each written so that as little as possible waits for x, the word
// the previous step has just made: F in the form that needs one operation less; G as the sum of
// its two disjoint halves, the one without x added first; H and I with the older words combined
// first.
#define MD5_F(x, y, z) ((z) ^ ((x) & ((y) ^ (z))))
#define MD5_H(x, y, z) ((x) ^ ((y) ^ (z)))
#define MD5_I(x, y, z) ((y) ^ ((x) | ~(z)))
#define MD5_STEP(f, a, b, c, d, m, s, t) \
    (a) += (m) + (t) + f((b), (c), (d)); \
    (a) = Rotl((a), (s)) + (b)
#define MD5_STEP_G(a, b, c, d, m, s, t)            \
    (a) += (m) + (t) + ((c) & ~(d)) + ((b) & (d)); \
    (a) = Rotl((a), (s)) + (b)

void Md5_Blocks(uint32_t state[4], const uint8_t* data, size_t blocks) {
    uint32_t a0 = state[0], b0 = state[1], c0 = state[2], d0 = state[3];
    for (; blocks > 0; --blocks, data += 64) {
        uint32_t m[16];
        for (int i = 0; i < 16; ++i) {
            m[i] = LoadLe32(data + 4 * i);
        }
        uint32_t a = a0, b = b0, c = c0, d = d0;

        MD5_STEP(MD5_F, a, b, c, d, m[0], 7, 0xd76aa478);
        MD5_STEP(MD5_F, d, a, b, c, m[1], 12, 0xe8c7b756);
        MD5_STEP(MD5_F, c, d, a, b, m[2], 17, 0x242070db);
        MD5_STEP(MD5_F, b, c, d, a, m[3], 22, 0xc1bdceee);
        MD5_STEP(MD5_F, a, b, c, d, m[4], 7, 0xf57c0faf);
        MD5_STEP(MD5_F, d, a, b, c, m[5], 12, 0x4787c62a);
        MD5_STEP(MD5_F, c, d, a, b, m[6], 17, 0xa8304613);
        MD5_STEP(MD5_F, b, c, d, a, m[7], 22, 0xfd469501);
        MD5_STEP(MD5_F, a, b, c, d, m[8], 7, 0x698098d8);
        MD5_STEP(MD5_F, d, a, b, c, m[9], 12, 0x8b44f7af);
        MD5_STEP(MD5_F, c, d, a, b, m[10], 17, 0xffff5bb1);
        MD5_STEP(MD5_F, b, c, d, a, m[11], 22, 0x895cd7be);
        MD5_STEP(MD5_F, a, b, c, d, m[12], 7, 0x6b901122);
        MD5_STEP(MD5_F, d, a, b, c, m[13], 12, 0xfd987193);
        MD5_STEP(MD5_F, c, d, a, b, m[14], 17, 0xa679438e);
        MD5_STEP(MD5_F, b, c, d, a, m[15], 22, 0x49b40821);

        MD5_STEP_G(a, b, c, d, m[1], 5, 0xf61e2562);
        MD5_STEP_G(d, a, b, c, m[6], 9, 0xc040b340);
        MD5_STEP_G(c, d, a, b, m[11], 14, 0x265e5a51);
        MD5_STEP_G(b, c, d, a, m[0], 20, 0xe9b6c7aa);
        MD5_STEP_G(a, b, c, d, m[5], 5, 0xd62f105d);
        MD5_STEP_G(d, a, b, c, m[10], 9, 0x02441453);
        MD5_STEP_G(c, d, a, b, m[15], 14, 0xd8a1e681);
        MD5_STEP_G(b, c, d, a, m[4], 20, 0xe7d3fbc8);
        MD5_STEP_G(a, b, c, d, m[9], 5, 0x21e1cde6);
        MD5_STEP_G(d, a, b, c, m[14], 9, 0xc33707d6);
        MD5_STEP_G(c, d, a, b, m[3], 14, 0xf4d50d87);
        MD5_STEP_G(b, c, d, a, m[8], 20, 0x455a14ed);
        MD5_STEP_G(a, b, c, d, m[13], 5, 0xa9e3e905);
        MD5_STEP_G(d, a, b, c, m[2], 9, 0xfcefa3f8);
        MD5_STEP_G(c, d, a, b, m[7], 14, 0x676f02d9);
        MD5_STEP_G(b, c, d, a, m[12], 20, 0x8d2a4c8a);

        MD5_STEP(MD5_H, a, b, c, d, m[5], 4, 0xfffa3942);
        MD5_STEP(MD5_H, d, a, b, c, m[8], 11, 0x8771f681);
        MD5_STEP(MD5_H, c, d, a, b, m[11], 16, 0x6d9d6122);
        MD5_STEP(MD5_H, b, c, d, a, m[14], 23, 0xfde5380c);
        MD5_STEP(MD5_H, a, b, c, d, m[1], 4, 0xa4beea44);
        MD5_STEP(MD5_H, d, a, b, c, m[4], 11, 0x4bdecfa9);
        MD5_STEP(MD5_H, c, d, a, b, m[7], 16, 0xf6bb4b60);
        MD5_STEP(MD5_H, b, c, d, a, m[10], 23, 0xbebfbc70);
        MD5_STEP(MD5_H, a, b, c, d, m[13], 4, 0x289b7ec6);
        MD5_STEP(MD5_H, d, a, b, c, m[0], 11, 0xeaa127fa);
        MD5_STEP(MD5_H, c, d, a, b, m[3], 16, 0xd4ef3085);
        MD5_STEP(MD5_H, b, c, d, a, m[6], 23, 0x04881d05);
        MD5_STEP(MD5_H, a, b, c, d, m[9], 4, 0xd9d4d039);
        MD5_STEP(MD5_H, d, a, b, c, m[12], 11, 0xe6db99e5);
        MD5_STEP(MD5_H, c, d, a, b, m[15], 16, 0x1fa27cf8);
        MD5_STEP(MD5_H, b, c, d, a, m[2], 23, 0xc4ac5665);

        MD5_STEP(MD5_I, a, b, c, d, m[0], 6, 0xf4292244);
        MD5_STEP(MD5_I, d, a, b, c, m[7], 10, 0x432aff97);
        MD5_STEP(MD5_I, c, d, a, b, m[14], 15, 0xab9423a7);
        MD5_STEP(MD5_I, b, c, d, a, m[5], 21, 0xfc93a039);
        MD5_STEP(MD5_I, a, b, c, d, m[12], 6, 0x655b59c3);
        MD5_STEP(MD5_I, d, a, b, c, m[3], 10, 0x8f0ccc92);
        MD5_STEP(MD5_I, c, d, a, b, m[10], 15, 0xffeff47d);
        MD5_STEP(MD5_I, b, c, d, a, m[1], 21, 0x85845dd1);
        MD5_STEP(MD5_I, a, b, c, d, m[8], 6, 0x6fa87e4f);
        MD5_STEP(MD5_I, d, a, b, c, m[15], 10, 0xfe2ce6e0);
        MD5_STEP(MD5_I, c, d, a, b, m[6], 15, 0xa3014314);
        MD5_STEP(MD5_I, b, c, d, a, m[13], 21, 0x4e0811a1);
        MD5_STEP(MD5_I, a, b, c, d, m[4], 6, 0xf7537e82);
        MD5_STEP(MD5_I, d, a, b, c, m[11], 10, 0xbd3af235);
        MD5_STEP(MD5_I, c, d, a, b, m[2], 15, 0x2ad7d2bb);
        MD5_STEP(MD5_I, b, c, d, a, m[9], 21, 0xeb86d391);

        a0 += a;
        b0 += b;
        c0 += c;
        d0 += d;
    }
    state[0] = a0;
    state[1] = b0;
    state[2] = c0;
    state[3] = d0;
}

#undef MD5_STEP_G
#undef MD5_STEP
#undef MD5_I
#undef MD5_H
#undef MD5_F

}  // namespace

void Md5_Init(MD5_STATE* state) {
    std::memset(state, 0, sizeof(*state));
    state->State[0] = 0x67452301;
    state->State[1] = 0xefcdab89;
    state->State[2] = 0x98badcfe;
    state->State[3] = 0x10325476;
}

void Md5_Update(MD5_STATE* state, const uint8_t* data, size_t length) {
    BlockBuffer_Update(state, data, length, Md5_Blocks);
}

void Md5_Final(MD5_STATE* state, uint8_t digest[16]) {
    uint8_t tail[8];
    StoreLe32(tail, state->BitCount[0]);
    StoreLe32(tail + 4, state->BitCount[1]);
    BlockBuffer_Pad(state, tail, Md5_Blocks);
    for (int i = 0; i < 4; ++i) {
        StoreLe32(digest + 4 * i, state->State[i]);
    }
    SecureZero(state, sizeof(*state));
}

}  // namespace kelm::crypto
