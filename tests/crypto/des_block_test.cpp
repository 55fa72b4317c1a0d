#include "crypto/des_block.h"

#include <gtest/gtest.h>

#include "openssl_peer.h"

namespace kelm::crypto {
namespace {

using test::Bytes;
using test::FromHex;
using test::ToHex;

TEST(DesBlock, KnownAnswersBothDirectionsWhateverTheParityBits) {
    // The FIPS 81 example, the classic worked example and a pair that encrypts to zero.
    const char* vectors[][3] = {
        {"0123456789abcdef", "4e6f772069732074", "3fa40e8a984d4815"},
        {"133457799bbcdff1", "0123456789abcdef", "85e813540f0ab405"},
        {"0e329232ea6d0d73", "8787878787878787", "0000000000000000"},
    };
    for (const auto& v : vectors) {
        Bytes key = FromHex(v[0]);
        const Bytes plain = FromHex(v[1]), cipher = FromHex(v[2]);
        for (int parity = 0; parity < 2; ++parity) {
            BYTE out[8];
            DES_EncryptBlock(key.data(), plain.data(), out);
            EXPECT_EQ(ToHex(out, 8), v[2]) << v[0];
            DES_DecryptBlock(key.data(), cipher.data(), out);
            EXPECT_EQ(ToHex(out, 8), v[1]) << v[0];
            for (auto& b : key) b ^= 0x01;
        }
    }
}

TEST(DesBlock, ThreeKeyTripleDesKnownAnswer) {
    const Bytes key = FromHex("0123456789abcdef23456789abcdef01456789abcdef0123");
    const Bytes plain = FromHex("5468652071756663" "6b2062726f776e20" "666f78206a756d70");
    TDEA_SCHEDULE schedule;
    Tdea_SetKey(&schedule, 192, key.data());
    Bytes out(24), back(24);
    for (size_t i = 0; i < 24; i += 8) {
        Tdea_EncryptBlock(&schedule, plain.data() + i, out.data() + i);
        Tdea_DecryptBlock(&schedule, out.data() + i, back.data() + i);
    }
    EXPECT_EQ(ToHex(out), "a826fd8ce53b855f" "cce21c8112256fe6" "68d5c05dd9b6b900");
    EXPECT_EQ(back, plain);
}

}  // namespace
}  // namespace kelm::crypto
