#include "crypto/soft_random.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "crypto/des_block.h"
#include "crypto/hash_engine.h"
#include "crypto/secure_zero.h"

// The clock and the seeded generator are the C runtime's (time, srand, rand); tests replace
// them through SetRandomSeam.

namespace kelm::crypto {
namespace {

BYTE g_rand_pool[kRandPoolSize];
RandomSeam g_seam;
// The pool and the C runtime's seeded generator are shared by every thread: one generation at
// a time stirs them, so that two threads never interleave a pass.
std::mutex g_pool_mutex;

uint32_t TimeLow() {
    if (g_seam.time_low) {
        return g_seam.time_low();
    }
    return static_cast<uint32_t>(static_cast<int64_t>(std::time(nullptr)));
}

void SeedGenerator(unsigned seed) {
    if (g_seam.seed) {
        g_seam.seed(seed);
    } else {
        std::srand(seed);
    }
}

int NextRandom() {
    return g_seam.next ? g_seam.next() : std::rand();
}

uint32_t LoadLe32(const BYTE* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

void StoreLe32(BYTE* p, uint32_t v) {
    p[0] = static_cast<BYTE>(v);
    p[1] = static_cast<BYTE>(v >> 8);
    p[2] = static_cast<BYTE>(v >> 16);
    p[3] = static_cast<BYTE>(v >> 24);
}

// One pass: stirs the pool and yields the 8-byte candidate block, with its zero bytes replaced.
void GeneratePass(const BYTE* entropy, uint32_t remaining, BYTE candidate[8]) {
    BYTE* pool = g_rand_pool;
    const BYTE* window = entropy + remaining % 4;

    StoreLe32(pool, LoadLe32(pool) ^ TimeLow());
    for (int i = 0; i < 4; ++i) {
        pool[i] ^= window[i];
    }
    SeedGenerator(LoadLe32(pool));
    const uint32_t x1 = static_cast<uint32_t>(NextRandom());
    for (int i = 4; i < 8; ++i) {
        pool[i] ^= window[i];
    }
    SeedGenerator(LoadLe32(pool + 4));
    const uint32_t x2 = static_cast<uint32_t>(NextRandom());

    BYTE block[8];
    StoreLe32(block, x1);
    StoreLe32(block + 4, x2);

    BYTE h[16];
    MD5_Digest(8, pool, h);
    std::reverse(h, h + 16);
    BYTE k[20];
    SHA1_Digest(16, h, k);
    DES_EncryptBlock(k, block, candidate);

    BYTE d[20];
    SHA1_Digest(8, candidate, d);
    std::reverse(d, d + 20);
    for (size_t i = 0; i < kRandPoolSize; ++i) {
        pool[i] ^= d[i];
    }
    std::reverse(pool, pool + kRandPoolSize);
    BYTE stirred[20];
    SHA1_Digest(kRandPoolSize, pool, stirred);
    std::memcpy(pool, stirred, kRandPoolSize);

    for (int i = 0; i < 8; ++i) {
        if (candidate[i] == 0) {
            candidate[i] = static_cast<BYTE>(pool[12 + i] | 0x01);
        }
    }
    SecureZero(block, sizeof(block));
    SecureZero(h, sizeof(h));
    SecureZero(k, sizeof(k));
    SecureZero(d, sizeof(d));
    SecureZero(stirred, sizeof(stirred));
}

}  // namespace

void SetRandomSeam(const RandomSeam* seam) {
    g_seam = seam != nullptr ? *seam : RandomSeam{};
}

BYTE* Soft_RandPool() {
    return g_rand_pool;
}

int Soft_GenRandom(const BYTE* entropy, BYTE* out, int bits) {
    if (bits <= 0 || out == nullptr) {
        return 0;
    }
    static const BYTE kNoEntropy[kRandEntropyWindow] = {};
    if (entropy == nullptr) {
        entropy = kNoEntropy;
    }
    uint32_t remaining = static_cast<uint32_t>(bits) / 8;
    const std::lock_guard<std::mutex> lock(g_pool_mutex);
    while (remaining > 0) {
        BYTE candidate[8];
        GeneratePass(entropy, remaining, candidate);
        for (int i = 0; i < 8 && remaining > 0; ++i, --remaining) {
            *out++ = candidate[i];
        }
        SecureZero(candidate, sizeof(candidate));
    }
    return 0;
}

}  // namespace kelm::crypto
