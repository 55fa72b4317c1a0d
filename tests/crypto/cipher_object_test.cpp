#include "crypto/cipher_object.h"

#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "crypto/des_block.h"
#include "crypto/des_modes.h"
#include "kelm/winapi.h"
#include "openssl_peer.h"

namespace kelm::crypto {
namespace {

using test::Bytes;
using test::ToHex;

// A symmetric key as the key-context allocator leaves it, with key bytes and IV filled in.
struct TestKey {
    core::KeyCTX ctx{};
    Bytes key_bytes;

    TestKey(const Bytes& key, const Bytes& iv, DWORD mode) : key_bytes(key) {
        ctx.KeyLen = static_cast<DWORD>(key.size() * 8);
        ctx.KeyData = key_bytes.data();
        ctx.Mode = mode;
        std::memcpy(ctx.IV, iv.data(), 8);
        ctx.EncryptReset = 1;
        ctx.DecryptReset = 1;
    }
};

// One message through the cipher object as the encryption and decryption entry points drive it:
// reset when flagged, one update per piece (input copied aside), the final step after the last.
Bytes RunMessage(core::KeyCTX* key, DWORD direction, const Bytes& data, std::vector<size_t> pieces = {}) {
    pieces.push_back(data.size() - std::accumulate(pieces.begin(), pieces.end(), size_t{0}));
    Bytes out;
    size_t offset = 0;
    for (size_t i = 0; i < pieces.size(); ++i) {
        DWORD& reset = direction == CIPH_ENCRYPT ? key->EncryptReset : key->DecryptReset;
        if (reset) CiphObject_CiphReset(key, direction);
        const Bytes copy(data.begin() + static_cast<long>(offset), data.begin() + static_cast<long>(offset + pieces[i]));
        Bytes buffer(copy.size() + 8, 0xCC);
        DWORD length = static_cast<DWORD>(copy.size());
        EXPECT_EQ(CiphObject_CiphUpdate(key, direction, copy.data(), length, buffer.data(), &length), 0);
        if (i + 1 == pieces.size() && direction == CIPH_ENCRYPT) {
            DWORD extra = 99;
            EXPECT_TRUE(CiphObject_CiphFinal(key, direction, buffer.data() + length, &extra));
            length += extra;
        } else if (i + 1 == pieces.size()) {
            BYTE* last = key->Mode == CRYPT_MODE_CBC ? buffer.data() + length - 8 : buffer.data();
            EXPECT_TRUE(CiphObject_CiphFinal(key, direction, last, &length));
        }
        out.insert(out.end(), buffer.begin(), buffer.begin() + length);
        offset += pieces[i];
    }
    return out;
}

TEST(CipherObject, FinalDecryptionChecksThePadding) {
    TestKey k(test::RandomBytes(8, 5), Bytes(8, 0), CRYPT_MODE_CBC);
    const struct { Bytes last; BOOL ok; DWORD length_after; Bytes buffer_after; } cases[] = {
        {{1, 2, 3, 4, 5, 6, 7, 0}, TRUE, 16, {1, 2, 3, 4, 5, 6, 7, 0}},  // 0 removes nothing
        {{1, 2, 3, 4, 5, 6, 2, 2}, TRUE, 14, {1, 2, 3, 4, 5, 6, 0, 0}},
        {Bytes(8, 8), TRUE, 8, Bytes(8, 0)},
        {Bytes(8, 9), FALSE, 16, Bytes(8, 9)},                            // above 8
        {{1, 2, 3, 4, 5, 4, 3, 3}, FALSE, 14, {1, 2, 3, 4, 5, 4, 0, 0}},  // third pad byte differs
    };
    for (const auto& c : cases) {
        Bytes buffer = c.last;
        DWORD length = 16;
        k.ctx.DecryptReset = 0;
        SetLastError(0);
        EXPECT_EQ(CiphObject_CiphFinal(&k.ctx, CIPH_DECRYPT, buffer.data(), &length), c.ok) << ToHex(c.last);
        EXPECT_EQ(length, c.length_after) << ToHex(c.last);
        EXPECT_EQ(buffer, c.buffer_after) << ToHex(c.last);
        EXPECT_EQ(k.ctx.DecryptReset, c.ok ? 1u : 0u);
        EXPECT_EQ(GetLastError(), c.ok ? 0u : static_cast<DWORD>(NTE_BAD_DATA));
    }
    k.ctx.Mode = CRYPT_MODE_OFB;  // the stream modes examine nothing
    Bytes buffer(8, 9);
    DWORD length = 8;
    EXPECT_TRUE(CiphObject_CiphFinal(&k.ctx, CIPH_DECRYPT, buffer.data(), &length));
    EXPECT_EQ(length, 8u);
}

TEST(CipherObject, PartialBlocksAndMissingPointersAreRefusedUntouched) {
    const Bytes key = test::RandomBytes(8, 6), in(12, 0x11);
    BYTE chain[16] = {}, pending[8] = {};
    DWORD position = 0, length = 777;
    Bytes out(16, 0xAA);
    EXPECT_EQ(DES_EncryptData(CRYPT_MODE_ECB, 64, &position, key.data(), chain, in.data(), 12, out.data(), &length,
                              pending), DES_STATUS_BAD_LENGTH);
    EXPECT_EQ(DES_DecryptData(CRYPT_MODE_CBC, 64, &position, key.data(), chain, in.data(), 12, out.data(), &length),
              DES_STATUS_BAD_LENGTH);
    EXPECT_EQ(length, 777u);
    EXPECT_EQ(out, Bytes(16, 0xAA));
    EXPECT_EQ(DES_EncryptData(CRYPT_MODE_CBC, 64, &position, key.data(), nullptr, in.data(), 8, out.data(), &length,
                              pending), DES_STATUS_NO_CHAIN);
    EXPECT_EQ(DES_EncryptData(CRYPT_MODE_CBC, 64, &position, nullptr, chain, in.data(), 8, out.data(), &length,
                              pending), DES_STATUS_NULL);
    EXPECT_EQ(DES_DecryptData(CRYPT_MODE_CFB, 64, nullptr, key.data(), chain, in.data(), 8, out.data(), &length),
              DES_STATUS_NULL);
}

TEST(CipherObject, UnknownModeRunsAsOfb) {
    const Bytes key = test::RandomBytes(24, 7), iv = test::RandomBytes(8, 8), plain = test::RandomBytes(14, 9);
    TestKey ofb(key, iv, CRYPT_MODE_OFB), odd(key, iv, 77);
    EXPECT_EQ(RunMessage(&odd.ctx, CIPH_ENCRYPT, plain, {3}), RunMessage(&ofb.ctx, CIPH_ENCRYPT, plain));
}

}  // namespace
}  // namespace kelm::crypto
