#include "crypto/des_block.h"

#include <gtest/gtest.h>

#include <string>

#include "openssl_peer.h"

namespace kelm::crypto {
namespace {

using test::Bytes;
using test::FromHex;
using test::ToHex;

struct DesVector {
    const char* key;
    const char* plain;
    const char* cipher;
};

// Published single-DES vectors: the FIPS 81 example, the classic worked example, a weak-looking
// pair that encrypts to zero, and two from the NBS validation set (variable plaintext and key).
const DesVector kDesVectors[] = {
    {"0123456789abcdef", "4e6f772069732074", "3fa40e8a984d4815"},
    {"133457799bbcdff1", "0123456789abcdef", "85e813540f0ab405"},
    {"0e329232ea6d0d73", "8787878787878787", "0000000000000000"},
    {"0101010101010101", "8000000000000000", "95f8a5e5dd31d900"},
    {"8001010101010101", "0000000000000000", "95a8d72813daa94d"},
};

TEST(DesBlock, KnownAnswersBothDirections) {
    for (const auto& v : kDesVectors) {
        const Bytes key = FromHex(v.key), plain = FromHex(v.plain), cipher = FromHex(v.cipher);
        BYTE out[8];
        DES_EncryptBlock(key.data(), plain.data(), out);
        EXPECT_EQ(ToHex(out, 8), v.cipher) << v.key;
        DES_DecryptBlock(key.data(), cipher.data(), out);
        EXPECT_EQ(ToHex(out, 8), v.plain) << v.key;
    }
}

TEST(DesBlock, ParityBitsAreIgnored) {
    const Bytes key = FromHex("0123456789abcdef");
    Bytes flipped = key;
    for (auto& b : flipped) {
        b ^= 0x01;
    }
    const Bytes plain = FromHex("4e6f772069732074");
    BYTE a[8], b[8];
    DES_EncryptBlock(key.data(), plain.data(), a);
    DES_EncryptBlock(flipped.data(), plain.data(), b);
    EXPECT_EQ(ToHex(a, 8), ToHex(b, 8));
}

// The three-key example of the TDEA recommendation: three blocks in ECB.
TEST(DesBlock, ThreeKeyTripleDesKnownAnswer) {
    const Bytes key = FromHex("0123456789abcdef23456789abcdef01456789abcdef0123");
    const Bytes plain = FromHex("5468652071756663" "6b2062726f776e20" "666f78206a756d70");
    const std::string cipher = "a826fd8ce53b855f" "cce21c8112256fe6" "68d5c05dd9b6b900";
    TDEA_SCHEDULE schedule;
    Tdea_SetKey(&schedule, 192, key.data());
    Bytes out(24), back(24);
    for (size_t i = 0; i < 24; i += 8) {
        Tdea_EncryptBlock(&schedule, plain.data() + i, out.data() + i);
        Tdea_DecryptBlock(&schedule, out.data() + i, back.data() + i);
    }
    EXPECT_EQ(ToHex(out), cipher);
    EXPECT_EQ(back, plain);
}

// Two-key triple DES is three-key triple DES with K3 = K1; with K1 = K2 both collapse to DES.
TEST(DesBlock, KeyingOptionsRelateAsTheStandardSays) {
    const Bytes k12 = test::RandomBytes(16, 11);
    Bytes k121 = k12;
    k121.insert(k121.end(), k12.begin(), k12.begin() + 8);
    TDEA_SCHEDULE two, three;
    Tdea_SetKey(&two, 128, k12.data());
    Tdea_SetKey(&three, 192, k121.data());
    const Bytes plain = test::RandomBytes(8, 12);
    BYTE a[8], b[8];
    Tdea_EncryptBlock(&two, plain.data(), a);
    Tdea_EncryptBlock(&three, plain.data(), b);
    EXPECT_EQ(ToHex(a, 8), ToHex(b, 8));

    const Bytes k = FromHex("0123456789abcdef");
    Bytes kkk;
    for (int i = 0; i < 3; ++i) {
        kkk.insert(kkk.end(), k.begin(), k.end());
    }
    Tdea_SetKey(&three, 192, kkk.data());
    Tdea_EncryptBlock(&three, FromHex("4e6f772069732074").data(), a);
    EXPECT_EQ(ToHex(a, 8), "3fa40e8a984d4815");
}

TEST(DesBlock, AgreesWithOpenSslOnRandomKeysAndBlocks) {
    ASSERT_TRUE(test::OpenSslHasLegacyDes());
    for (uint32_t seed = 0; seed < 50; ++seed) {
        for (size_t key_bytes : {8u, 16u, 24u}) {
            const Bytes key = test::RandomBytes(key_bytes, seed * 3 + 1);
            const Bytes plain = test::RandomBytes(8, seed * 3 + 2);
            TDEA_SCHEDULE schedule;
            Tdea_SetKey(&schedule, static_cast<DWORD>(key_bytes * 8), key.data());
            BYTE out[8];
            Tdea_EncryptBlock(&schedule, plain.data(), out);
            ASSERT_EQ(ToHex(out, 8), ToHex(test::OpenSslCipher("ecb", true, key, {}, plain))) << key_bytes;
        }
    }
}

}  // namespace
}  // namespace kelm::crypto
