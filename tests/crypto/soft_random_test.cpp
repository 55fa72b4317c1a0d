#include "crypto/soft_random.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "openssl_peer.h"

namespace kelm::crypto {
namespace {

using test::Bytes;

const char kEntropy[] = "0123456789ABCDEFGHIJKLMNOPQR";  // 28 characters, as the only caller passes

// A deterministic stand-in for the C runtime: rand() depends on the last seed, so a wrong seed
// shows up in the output.
struct FakeRuntime {
    uint32_t time = 0x5f5e1000;
    uint32_t state = 0;
    std::vector<unsigned> seeds;

    RandomSeam Seam() {
        return RandomSeam{[this] { return time; },
                          [this](unsigned s) {
                              seeds.push_back(s);
                              state = s;
                          },
                          [this] {
                              state = state * 1103515245u + 12345u;
                              return static_cast<int>((state >> 1) & 0x7fffffff);
                          }};
    }
};

class SoftRandom : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(test::OpenSslHasLegacyDes());
        std::memcpy(saved_pool_, Soft_RandPool(), kRandPoolSize);
        const RandomSeam seam = runtime_.Seam();
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

uint32_t Le32(const Bytes& b, size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

// The generator worked out step by step from its description, with OpenSSL's MD5, SHA-1 and DES.
// Returns the emitted bytes and leaves the pool in `pool`; `raw` receives every candidate block
// before zero bytes were replaced.
Bytes ReferenceGenerate(Bytes& pool, const BYTE* entropy, int bits, FakeRuntime runtime,
                        std::vector<Bytes>* raw = nullptr) {
    Bytes out;
    for (uint32_t r = bits > 0 ? static_cast<uint32_t>(bits) / 8 : 0; r > 0;) {
        const BYTE* s = entropy + r % 4;                                                  // 1
        const uint32_t p0 = Le32(pool, 0) ^ runtime.time;                                 // 2
        for (int i = 0; i < 4; ++i) {
            pool[i] = static_cast<BYTE>(p0 >> (8 * i)) ^ s[i];                            // 3
        }
        runtime.state = Le32(pool, 0);                                                    // 4
        runtime.state = runtime.state * 1103515245u + 12345u;
        const uint32_t x1 = (runtime.state >> 1) & 0x7fffffff;
        for (int i = 4; i < 8; ++i) {
            pool[i] ^= s[i];                                                              // 5
        }
        runtime.state = Le32(pool, 4);                                                    // 6
        runtime.state = runtime.state * 1103515245u + 12345u;
        const uint32_t x2 = (runtime.state >> 1) & 0x7fffffff;
        Bytes b(8);                                                                       // 7
        for (int i = 0; i < 4; ++i) {
            b[i] = static_cast<BYTE>(x1 >> (8 * i));
            b[4 + i] = static_cast<BYTE>(x2 >> (8 * i));
        }
        Bytes h = test::OpenSslDigest("MD5", Bytes(pool.begin(), pool.begin() + 8));      // 8
        std::reverse(h.begin(), h.end());
        const Bytes k = test::OpenSslDigest("SHA1", h);                                   // 9
        Bytes c = test::OpenSslCipher("ecb", true, Bytes(k.begin(), k.begin() + 8), {}, b);  // 10
        if (raw != nullptr) {
            raw->push_back(c);
        }
        Bytes d = test::OpenSslDigest("SHA1", c);                                         // 11
        std::reverse(d.begin(), d.end());
        for (int i = 0; i < 20; ++i) {
            pool[i] ^= d[i];                                                              // 12
        }
        std::reverse(pool.begin(), pool.end());                                           // 13
        pool = test::OpenSslDigest("SHA1", pool);
        for (int i = 0; i < 8; ++i) {
            if (c[i] == 0) {
                c[i] = pool[12 + i] | 0x01;                                               // 14
            }
        }
        for (int i = 0; i < 8 && r > 0; ++i, --r) {
            out.push_back(c[i]);                                                          // 15
        }
    }
    return out;
}

TEST_F(SoftRandom, ReproducesTheDescribedPassesExactly) {
    const Bytes start = test::RandomBytes(kRandPoolSize, 42);
    for (int bits : {8, 64, 72, 65 * 8}) {
        SetPool(start);
        Bytes expected_pool = start;
        const Bytes expected =
            ReferenceGenerate(expected_pool, reinterpret_cast<const BYTE*>(kEntropy), bits, runtime_);
        Bytes out(bits / 8 + 4, 0xEE);
        runtime_.seeds.clear();
        EXPECT_EQ(Soft_GenRandom(reinterpret_cast<const BYTE*>(kEntropy), out.data(), bits), 0);
        EXPECT_EQ(test::ToHex(Bytes(out.begin(), out.begin() + bits / 8)), test::ToHex(expected)) << bits;
        EXPECT_EQ(Bytes(out.begin() + bits / 8, out.end()), Bytes(4, 0xEE)) << "wrote past the request";
        EXPECT_EQ(Pool(), expected_pool);
        EXPECT_EQ(runtime_.seeds.size(), 2 * ((bits / 8 + 7) / 8)) << "two seeds per pass";
    }
}

TEST_F(SoftRandom, NonPositiveRequestsWriteNothing) {
    const Bytes start = test::RandomBytes(kRandPoolSize, 1);
    SetPool(start);
    BYTE out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    for (int bits : {0, -8, -1000, 7}) {
        EXPECT_EQ(Soft_GenRandom(reinterpret_cast<const BYTE*>(kEntropy), out, bits), 0);
    }
    EXPECT_EQ(Bytes(out, out + 4), Bytes(4, 0xEE));
    EXPECT_EQ(Pool(), start);
    EXPECT_TRUE(runtime_.seeds.empty());
}

TEST_F(SoftRandom, ZeroCandidateBytesAreReplacedFromThePool) {
    // Search fixed clock values until a candidate block holds a zero byte, then check that the
    // generator emits the replacement instead of the zero.
    const Bytes start = test::RandomBytes(kRandPoolSize, 7);
    for (uint32_t time = 0; time < 5000; ++time) {
        runtime_.time = time;
        Bytes pool = start;
        std::vector<Bytes> raw;
        const Bytes expected = ReferenceGenerate(pool, reinterpret_cast<const BYTE*>(kEntropy), 64, runtime_, &raw);
        const auto zero = std::find(raw[0].begin(), raw[0].end(), 0);
        if (zero == raw[0].end()) {
            continue;
        }
        const RandomSeam seam = runtime_.Seam();
        SetRandomSeam(&seam);
        SetPool(start);
        BYTE out[8];
        Soft_GenRandom(reinterpret_cast<const BYTE*>(kEntropy), out, 64);
        const size_t at = static_cast<size_t>(zero - raw[0].begin());
        EXPECT_EQ(out[at], pool[12 + at] | 0x01);
        EXPECT_EQ(Bytes(out, out + 8), expected);
        return;
    }
    FAIL() << "no candidate block with a zero byte found";
}

TEST_F(SoftRandom, NeverEmitsZeroAndMovesOnAtTheSameClock) {
    // A runtime generator stuck at 0 and a frozen clock: the pool alone must keep bytes fresh.
    const RandomSeam stuck{[] { return 0u; }, [](unsigned) {}, [] { return 0; }};
    SetRandomSeam(&stuck);
    SetPool(Bytes(kRandPoolSize, 0));
    Bytes first(125), second(125);
    Soft_GenRandom(nullptr, first.data(), 125 * 8);
    Soft_GenRandom(nullptr, second.data(), 125 * 8);
    EXPECT_NE(first, second);
    Bytes many(4096);
    Soft_GenRandom(reinterpret_cast<const BYTE*>(kEntropy), many.data(), 4096 * 8);
    for (const Bytes* b : {&first, &second, &many}) {
        EXPECT_EQ(std::count(b->begin(), b->end(), 0), 0);
    }
}

}  // namespace
}  // namespace kelm::crypto
