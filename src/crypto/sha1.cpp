#include "crypto/sha1.h"

#include <cstring>

#include "crypto/block_buffer.h"
#include "crypto/cpu_features.h"
#include "crypto/secure_zero.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define KELM_SHA1_X86 1
#endif

namespace kelm::crypto {
namespace {

inline uint32_t Rotl(uint32_t x, int n) {
    return (x << n) | (x >> (32 - n));
}

inline uint32_t LoadBe32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

inline void StoreBe32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

}  // namespace

// Portable rounds: the message schedule lives in a 16-word ring.
void Sha1_CompressPortable(uint32_t state[5], const uint8_t* data, size_t blocks) {
    for (; blocks > 0; --blocks, data += 64) {
        uint32_t w[16];
        for (int i = 0; i < 16; ++i) {
            w[i] = LoadBe32(data + 4 * i);
        }
        uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
        auto round = [&](int t, uint32_t f, uint32_t k) {
            uint32_t wt;
            if (t < 16) {
                wt = w[t];
            } else {
                wt = Rotl(w[(t + 13) & 15] ^ w[(t + 8) & 15] ^ w[(t + 2) & 15] ^ w[t & 15], 1);
                w[t & 15] = wt;
            }
            const uint32_t temp = Rotl(a, 5) + f + e + k + wt;
            e = d;
            d = c;
            c = Rotl(b, 30);
            b = a;
            a = temp;
        };
        for (int t = 0; t < 20; ++t) {
            round(t, d ^ (b & (c ^ d)), 0x5a827999);
        }
        for (int t = 20; t < 40; ++t) {
            round(t, b ^ c ^ d, 0x6ed9eba1);
        }
        for (int t = 40; t < 60; ++t) {
            round(t, (b & c) | (d & (b | c)), 0x8f1bbcdc);
        }
        for (int t = 60; t < 80; ++t) {
            round(t, b ^ c ^ d, 0xca62c1d6);
        }
        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
        state[4] += e;
    }
}

namespace {

#ifdef KELM_SHA1_X86

// Four rounds with the SHA instructions. Message words four at a time: W[i] for group i >= 4 is
// msg2(msg1(W[i-4], W[i-3]) ^ W[i-2], W[i-1]); E for group i comes from ABCD before group i-1.
#define SHA1_GROUP(i, func)                                                                   \
    do {                                                                                      \
        if ((i) >= 4) {                                                                       \
            msg[(i) & 3] = _mm_sha1msg2_epu32(                                                \
                _mm_xor_si128(_mm_sha1msg1_epu32(msg[(i) & 3], msg[((i) + 1) & 3]),           \
                              msg[((i) + 2) & 3]),                                            \
                msg[((i) + 3) & 3]);                                                          \
        }                                                                                     \
        e = (i) == 0 ? _mm_add_epi32(e, msg[0]) : _mm_sha1nexte_epu32(previous, msg[(i) & 3]); \
        previous = abcd;                                                                      \
        abcd = _mm_sha1rnds4_epu32(abcd, e, func);                                            \
    } while (0)

__attribute__((target("sha,sse4.1,ssse3"))) void Sha1_BlocksShaNi(uint32_t state[5],
                                                                   const uint8_t* data,
                                                                   size_t blocks) {
    const __m128i byte_swap = _mm_set_epi64x(0x0001020304050607LL, 0x08090a0b0c0d0e0fLL);
    __m128i abcd = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0x1B);
    __m128i e0 = _mm_set_epi32(static_cast<int>(state[4]), 0, 0, 0);

    for (; blocks > 0; --blocks, data += 64) {
        const __m128i abcd_saved = abcd;
        const __m128i e_saved = e0;
        __m128i msg[4];
        for (int i = 0; i < 4; ++i) {
            msg[i] = _mm_shuffle_epi8(
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * i)), byte_swap);
        }
        __m128i e = e0;
        __m128i previous = abcd;
        SHA1_GROUP(0, 0);
        SHA1_GROUP(1, 0);
        SHA1_GROUP(2, 0);
        SHA1_GROUP(3, 0);
        SHA1_GROUP(4, 0);
        SHA1_GROUP(5, 1);
        SHA1_GROUP(6, 1);
        SHA1_GROUP(7, 1);
        SHA1_GROUP(8, 1);
        SHA1_GROUP(9, 1);
        SHA1_GROUP(10, 2);
        SHA1_GROUP(11, 2);
        SHA1_GROUP(12, 2);
        SHA1_GROUP(13, 2);
        SHA1_GROUP(14, 2);
        SHA1_GROUP(15, 3);
        SHA1_GROUP(16, 3);
        SHA1_GROUP(17, 3);
        SHA1_GROUP(18, 3);
        SHA1_GROUP(19, 3);
        e0 = _mm_sha1nexte_epu32(previous, e_saved);
        abcd = _mm_add_epi32(abcd, abcd_saved);
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_shuffle_epi32(abcd, 0x1B));
    state[4] = static_cast<uint32_t>(_mm_extract_epi32(e0, 3));
}

#undef SHA1_GROUP

#endif

using BlocksFunction = void (*)(uint32_t[5], const uint8_t*, size_t);

BlocksFunction ChooseBlocks() {
#ifdef KELM_SHA1_X86
    if (CpuHasShaExtensions()) {
        return Sha1_BlocksShaNi;
    }
#endif
    return Sha1_CompressPortable;
}

}  // namespace

void Sha1_Compress(uint32_t state[5], const uint8_t* data, size_t blocks) {
    static const BlocksFunction blocks_function = ChooseBlocks();
    blocks_function(state, data, blocks);
}

void Sha1_Init(SHA1_STATE* state) {
    std::memset(state, 0, sizeof(*state));
    state->State[0] = 0x67452301;
    state->State[1] = 0xefcdab89;
    state->State[2] = 0x98badcfe;
    state->State[3] = 0x10325476;
    state->State[4] = 0xc3d2e1f0;
}

void Sha1_Update(SHA1_STATE* state, const uint8_t* data, size_t length) {
    BlockBuffer_Update(state, data, length, Sha1_Compress);
}

void Sha1_Final(SHA1_STATE* state, uint8_t digest[20]) {
    uint8_t tail[8];
    StoreBe32(tail, state->BitCount[1]);
    StoreBe32(tail + 4, state->BitCount[0]);
    BlockBuffer_Pad(state, tail, Sha1_Compress);
    for (int i = 0; i < 5; ++i) {
        StoreBe32(digest + 4 * i, state->State[i]);
    }
    SecureZero(state, sizeof(*state));
}

}  // namespace kelm::crypto
