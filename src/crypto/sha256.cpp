#include "crypto/sha256.h"

#include <cstring>

#include "crypto/block_buffer.h"
#include "crypto/cpu_features.h"
#include "crypto/secure_zero.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define KELM_SHA256_X86 1
#endif

namespace kelm::crypto {
namespace {

constexpr uint32_t kInitialState[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                       0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

inline void StoreBe32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

#ifdef KELM_SHA256_X86

alignas(16) constexpr uint32_t kRoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

// Four rounds with the SHA instructions; msg[i & 3] holds W[4i..4i+3]. Group i finishes the
// schedule words of group i + 1 (msg2 over msg1's partial sums and W[4i-3..4i]) and starts
// those of group i + 3 (msg1 over W[4i-4..4i+3]). Each sha256rnds2 runs two rounds; the state
// travels as ABEF and CDGH, which the two calls of a group swap and swap back.
#define SHA256_GROUP(i)                                                                          \
    do {                                                                                         \
        if ((i) < 4) {                                                                           \
            msg[i] = _mm_shuffle_epi8(                                                           \
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * (i))), byte_swap);  \
        }                                                                                        \
        const __m128i words = _mm_add_epi32(                                                     \
            msg[(i) & 3], _mm_load_si128(reinterpret_cast<const __m128i*>(kRoundConstants + 4 * (i)))); \
        cdgh = _mm_sha256rnds2_epu32(cdgh, abef, words);                                         \
        if ((i) >= 3 && (i) < 15) {                                                              \
            msg[((i) + 1) & 3] = _mm_sha256msg2_epu32(                                           \
                _mm_add_epi32(msg[((i) + 1) & 3], _mm_alignr_epi8(msg[(i) & 3], msg[((i) + 3) & 3], 4)), \
                msg[(i) & 3]);                                                                   \
        }                                                                                        \
        abef = _mm_sha256rnds2_epu32(abef, cdgh, _mm_shuffle_epi32(words, 0x0E));                \
        if ((i) >= 1 && (i) < 13) {                                                              \
            msg[((i) + 3) & 3] = _mm_sha256msg1_epu32(msg[((i) + 3) & 3], msg[(i) & 3]);         \
        }                                                                                        \
    } while (0)

__attribute__((target("sha,sse4.1,ssse3"))) void Sha256_BlocksShaNi(uint32_t state[8],
                                                                     const uint8_t* data,
                                                                     size_t blocks) {
    const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
    const __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state));
    const __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4));
    const __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
    const __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
    __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
    __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);

    for (; blocks > 0; --blocks, data += 64) {
        const __m128i abef_saved = abef;
        const __m128i cdgh_saved = cdgh;
        __m128i msg[4];
        SHA256_GROUP(0);
        SHA256_GROUP(1);
        SHA256_GROUP(2);
        SHA256_GROUP(3);
        SHA256_GROUP(4);
        SHA256_GROUP(5);
        SHA256_GROUP(6);
        SHA256_GROUP(7);
        SHA256_GROUP(8);
        SHA256_GROUP(9);
        SHA256_GROUP(10);
        SHA256_GROUP(11);
        SHA256_GROUP(12);
        SHA256_GROUP(13);
        SHA256_GROUP(14);
        SHA256_GROUP(15);
        abef = _mm_add_epi32(abef, abef_saved);
        cdgh = _mm_add_epi32(cdgh, cdgh_saved);
    }
    const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
    const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_blend_epi16(feba, dchg, 0xF0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), _mm_alignr_epi8(dchg, feba, 8));
}

#undef SHA256_GROUP

#endif

}  // namespace

bool Sha256_Accelerated() {
#ifdef KELM_SHA256_X86
    return CpuHasShaExtensions();
#else
    return false;
#endif
}

void Sha256_Init(SHA256_STATE* state) {
    std::memset(state, 0, sizeof(*state));
    if (!Sha256_Accelerated()) {
        mbedtls_sha256_init(&state->Portable);
        mbedtls_sha256_starts_ret(&state->Portable, 0);
        return;
    }
    std::memcpy(state->Accelerated.State, kInitialState, sizeof(kInitialState));
}

void Sha256_Update(SHA256_STATE* state, const uint8_t* data, size_t length) {
#ifdef KELM_SHA256_X86
    if (Sha256_Accelerated()) {
        BlockBuffer_Update(&state->Accelerated, data, length, Sha256_BlocksShaNi);
        return;
    }
#endif
    mbedtls_sha256_update_ret(&state->Portable, data, length);
}

void Sha256_Final(SHA256_STATE* state, uint8_t digest[32]) {
#ifdef KELM_SHA256_X86
    if (Sha256_Accelerated()) {
        SHA256_BLOCKS* blocks = &state->Accelerated;
        uint8_t tail[8];
        StoreBe32(tail, blocks->BitCount[1]);
        StoreBe32(tail + 4, blocks->BitCount[0]);
        BlockBuffer_Pad(blocks, tail, Sha256_BlocksShaNi);
        for (int i = 0; i < 8; ++i) {
            StoreBe32(digest + 4 * i, blocks->State[i]);
        }
        SecureZero(state, sizeof(*state));
        return;
    }
#endif
    mbedtls_sha256_finish_ret(&state->Portable, digest);
    mbedtls_sha256_free(&state->Portable);
    SecureZero(state, sizeof(*state));
}

}  // namespace kelm::crypto
