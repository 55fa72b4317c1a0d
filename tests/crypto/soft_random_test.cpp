#include "crypto/soft_random.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "openssl_peer.h"

namespace kelm::crypto {
namespace {

using test::Bytes;

const BYTE* const kEntropy = reinterpret_cast<const BYTE*>("0123456789ABCDEFGHIJKLMNOPQR");

// A stand-in C runtime whose rand() depends on the last seed, so that a wrong seed shows.
struct FakeRuntime {
    uint32_t time = 0x5f5e1000;
    uint32_t state = 0;
    size_t seeds = 0;
    int Next() {
        state = state * 1103515245u + 12345u;
        return static_cast<int>((state >> 1) & 0x7fffffff);
    }
};

uint32_t Le32(const Bytes& b, size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

// The generator worked out step by step from its description with OpenSSL's MD5, SHA-1 and DES.
// Leaves the final pool in `pool`; counts in `replaced` the zero candidate bytes replaced by an
// even pool byte (whose low bit had to be set).
Bytes ReferenceGenerate(Bytes& pool, int bits, FakeRuntime runtime, int* replaced = nullptr) {
    Bytes out;
    for (uint32_t r = bits > 0 ? static_cast<uint32_t>(bits) / 8 : 0; r > 0;) {
        const BYTE* s = kEntropy + r % 4;
        const uint32_t p0 = Le32(pool, 0) ^ runtime.time;
        for (int i = 0; i < 4; ++i) {
            pool[i] = static_cast<BYTE>(p0 >> (8 * i)) ^ s[i];
            pool[4 + i] ^= s[4 + i];
        }
        runtime.state = Le32(pool, 0);
        const uint32_t x1 = static_cast<uint32_t>(runtime.Next());
        runtime.state = Le32(pool, 4);
        const uint32_t x2 = static_cast<uint32_t>(runtime.Next());
        Bytes b(8);
        for (int i = 0; i < 4; ++i) {
            b[i] = static_cast<BYTE>(x1 >> (8 * i));
            b[4 + i] = static_cast<BYTE>(x2 >> (8 * i));
        }
        Bytes h = test::OpenSslDigest("MD5", Bytes(pool.begin(), pool.begin() + 8));
        std::reverse(h.begin(), h.end());
        const Bytes k = test::OpenSslDigest("SHA1", h);
        Bytes c = test::OpenSslCipher("ecb", true, Bytes(k.begin(), k.begin() + 8), {}, b);
        Bytes d = test::OpenSslDigest("SHA1", c);
        std::reverse(d.begin(), d.end());
        for (int i = 0; i < 20; ++i) pool[i] ^= d[i];
        std::reverse(pool.begin(), pool.end());
        pool = test::OpenSslDigest("SHA1", pool);
        for (int i = 0; i < 8; ++i) {
            if (c[i] == 0 && replaced != nullptr) *replaced += (pool[12 + i] & 1) == 0;
            c[i] = c[i] != 0 ? c[i] : pool[12 + i] | 0x01;
        }
        for (int i = 0; i < 8 && r > 0; ++i, --r) out.push_back(c[i]);
    }
    return out;
}

class SoftRandom : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(test::OpenSslHasLegacyDes());
        std::memcpy(saved_pool_, Soft_RandPool(), kRandPoolSize);
        const RandomSeam seam{[this] { return runtime_.time; },
                              [this](unsigned s) {
                                  runtime_.state = s;
                                  ++runtime_.seeds;
                              },
                              [this] { return runtime_.Next(); }};
        SetRandomSeam(&seam);
    }
    void TearDown() override {
        SetRandomSeam(nullptr);
        std::memcpy(Soft_RandPool(), saved_pool_, kRandPoolSize);
    }
    void SetPool(const Bytes& pool) { std::memcpy(Soft_RandPool(), pool.data(), kRandPoolSize); }
    Bytes Pool() const { return Bytes(Soft_RandPool(), Soft_RandPool() + kRandPoolSize); }

    FakeRuntime runtime_;
    BYTE saved_pool_[kRandPoolSize];
};

// The clock is chosen so that the longest request replaces a zero candidate byte.
TEST_F(SoftRandom, ReproducesTheDescribedPassesForEveryRequestLength) {
    const Bytes start = test::RandomBytes(kRandPoolSize, 42);
    for (int replaced = 0; replaced == 0 && runtime_.time < 0x5f5e1000 + 5000;) {
        Bytes pool = start;
        ReferenceGenerate(pool, 65 * 8, runtime_, &replaced);
        runtime_.time += replaced == 0;
    }
    for (int bits : {0, -8, 7, 8, 64, 72, 65 * 8}) {
        const size_t bytes = bits > 0 ? static_cast<size_t>(bits) / 8 : 0;
        SetPool(start);
        Bytes expected_pool = start;
        int replaced = 0;
        const Bytes expected = ReferenceGenerate(expected_pool, bits, runtime_, &replaced);
        EXPECT_TRUE(bits != 65 * 8 || replaced > 0) << "no zero candidate byte replaced";
        Bytes out(bytes + 4, 0xEE);
        runtime_.seeds = 0;
        EXPECT_EQ(Soft_GenRandom(kEntropy, out.data(), bits), 0);
        EXPECT_EQ(test::ToHex(Bytes(out.begin(), out.begin() + static_cast<long>(bytes))), test::ToHex(expected)) << bits;
        EXPECT_EQ(Bytes(out.end() - 4, out.end()), Bytes(4, 0xEE)) << "wrote past the request of " << bits;
        EXPECT_EQ(Pool(), expected_pool) << bits;
        EXPECT_EQ(runtime_.seeds, 2 * ((bytes + 7) / 8)) << "two seeds per pass";
    }
}

TEST_F(SoftRandom, NeverEmitsZeroAndMovesOnAtTheSameClock) {
    // A generator stuck at 0 and a frozen clock: the pool alone must keep the bytes fresh.
    const RandomSeam stuck{[] { return 0u; }, [](unsigned) {}, [] { return 0; }};
    SetRandomSeam(&stuck);
    SetPool(Bytes(kRandPoolSize, 0));
    Bytes first(125), second(125), many(4096);
    Soft_GenRandom(nullptr, first.data(), 125 * 8);
    Soft_GenRandom(nullptr, second.data(), 125 * 8);
    Soft_GenRandom(kEntropy, many.data(), 4096 * 8);
    EXPECT_NE(first, second);
    for (const Bytes* b : {&first, &second, &many}) EXPECT_EQ(std::count(b->begin(), b->end(), 0), 0);
}

}  // namespace
}  // namespace kelm::crypto
