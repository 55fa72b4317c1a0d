#include "crypto/hash_engine.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "openssl_peer.h"

namespace kelm::crypto {
namespace {

using test::Bytes;
using test::FromHex;
using test::ToHex;

// One digest through the engine, the data fed in the given pieces (the rest last), with an empty
// feed after every piece.
Bytes EngineDigest(ALG_ID algid, const Bytes& data, const std::vector<size_t>& pieces = {},
                   const BYTE* macKey = nullptr, ALG_ID macKeyAlgid = 0, const BYTE* iv = nullptr) {
    HASH_STATE state;
    std::memset(&state, 0, sizeof(state));
    Hash_Init(&state, algid, iv);
    size_t offset = 0;
    for (size_t piece : pieces) {
        Hash_Update(&state, data.data() + offset, static_cast<DWORD>(piece), macKey, macKeyAlgid);
        Hash_Update(&state, data.data() + offset, 0, macKey, macKeyAlgid);
        offset += piece;
    }
    Hash_Update(&state, data.data() + offset, static_cast<DWORD>(data.size() - offset), macKey, macKeyAlgid);
    Bytes out(64, 0xEE);
    DWORD length = 0xFFFF;
    Hash_Final(&state, out.data(), &length);
    out.resize(length);
    return out;
}

// MD2, which many OpenSSL builds lack, by its standard vectors, the data divided every way.
TEST(HashEngine, Md2StandardVectorsForEveryDivisionOfTheInput) {
    std::string digits;
    for (int i = 0; i < 8; ++i) digits += "1234567890";
    for (const auto& [text, digest] : {std::pair<std::string, std::string>{"", "8350e5a3e24c153df2275c9f80692773"},
                                       {digits, "d5976f79d83d3a0dc9806c3c66f3efd8"}}) {
        const Bytes message(text.begin(), text.end());
        for (size_t first = 0; first <= message.size(); ++first) {
            for (size_t second = 0; first + second <= message.size(); second += 7) {
                ASSERT_EQ(ToHex(EngineDigest(CALG_MD2, message, {first, second})), digest) << first << " + " << second;
            }
        }
        EXPECT_EQ(ToHex(EngineDigest(CALG_MD2, message, std::vector<size_t>(message.size(), 1))), digest);
    }
}

TEST(HashEngine, AgreesWithOpenSslAndMbedTlsOnRandomLengthsAndSplits) {
    std::mt19937 generator(1234);
    const std::pair<ALG_ID, const char*> algorithms[] = {
        {CALG_MD5, "MD5"}, {CALG_SHA1, "SHA1"}, {CALG_SHA_256, "SHA256"}, {CALG_MD2, "MD2"}};
    // Every length through two padding blocks, then random lengths up to long messages.
    for (size_t round = 0; round < 190; ++round) {
        const Bytes data = test::RandomBytes(round <= 130 ? round : generator() % (round < 180 ? 1500 : 70000), round);
        const size_t first = data.empty() ? 0 : generator() % data.size();
        const size_t second = generator() % (data.size() - first + 1);
        for (auto [algid, name] : algorithms) {
            const Bytes expected = test::OpenSslDigest(name, data);
            if (expected.empty()) continue;  // MD2 is missing from many OpenSSL builds; its vectors cover it
            ASSERT_EQ(EngineDigest(algid, data, {first, second}), expected) << name << " " << data.size();
            ASSERT_EQ(EngineDigest(algid, data, std::vector<size_t>(data.size() < 140 ? data.size() : 0, 1)), expected);
        }
        // Whichever SHA-256 path this processor takes, its digests are mbed TLS's.
        Bytes expected(32);
        ASSERT_EQ(mbedtls_sha256_ret(data.data(), data.size(), expected.data(), 0), 0);
        ASSERT_EQ(EngineDigest(CALG_SHA_256, data, {first, second}), expected) << data.size();
    }
    // The SHA-1 rounds this processor runs agree with the portable ones.
    const Bytes blocks = test::RandomBytes(64 * 9, 77);
    uint32_t fast[5] = {1, 2, 3, 4, 5}, portable[5] = {1, 2, 3, 4, 5};
    Sha1_Compress(fast, blocks.data(), 9);
    Sha1_CompressPortable(portable, blocks.data(), 9);
    EXPECT_EQ(0, std::memcmp(fast, portable, sizeof(fast)));
}

const Bytes kIv = FromHex("1a2b3c4d5e6f7081");

Bytes Mac(ALG_ID keyAlgid, const Bytes& key, const Bytes& data, const std::vector<size_t>& pieces = {}) {
    BYTE iv[16] = {};
    std::memcpy(iv, kIv.data(), 8);
    return EngineDigest(CALG_MAC, data, pieces, key.data(), keyAlgid, iv);
}

TEST(DesMac, EqualsTheLastBlockOfPaddedCbcHoweverTheDataIsDivided) {
    ASSERT_TRUE(test::OpenSslHasLegacyDes());
    for (auto [algid, key_bytes] : {std::pair<ALG_ID, size_t>{CALG_DES, 8}, {CALG_3DES_112, 16}, {CALG_3DES, 24}}) {
        for (size_t length : {0u, 1u, 7u, 8u, 13u, 16u, 63u}) {
            const Bytes key = test::RandomBytes(key_bytes, static_cast<uint32_t>(length + algid));
            const Bytes data = test::RandomBytes(length, static_cast<uint32_t>(length));
            const Bytes cbc = test::OpenSslCipher("cbc", true, key, kIv, data);
            const std::string expected = ToHex(Bytes(cbc.end() - 8, cbc.end()));
            EXPECT_EQ(ToHex(Mac(algid, key, data)), expected) << algid << " length " << length;
            if (length == 13) {
                EXPECT_EQ(ToHex(Mac(algid, key, data, {5})), expected);
                EXPECT_EQ(ToHex(Mac(algid, key, data, {3, 2})), expected);
            }
            if (length == 63) {
                EXPECT_EQ(ToHex(Mac(algid, key, data, {3, 5, 1, 0, 16})), expected);
            }
        }
    }
}

TEST(DesMac, KeyOfAnotherKindGivesEightZeroBytes) {
    EXPECT_EQ(Mac(CALG_RC2, Bytes(16, 0x42), test::RandomBytes(20, 1)), Bytes(8, 0));
}

}  // namespace
}  // namespace kelm::crypto
