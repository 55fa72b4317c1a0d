#include "crypto/cipher_object.h"

#include <gtest/gtest.h>

#include <cstring>
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
        ctx.Algid = key.size() == 24 ? CALG_3DES : key.size() == 16 ? CALG_3DES_112 : CALG_DES;
        ctx.KeyLen = static_cast<DWORD>(key.size() * 8);
        ctx.KeyData = key_bytes.data();
        ctx.Mode = mode;
        std::memcpy(ctx.IV, iv.data(), 8);
        ctx.EncryptReset = 1;
        ctx.DecryptReset = 1;
    }
};

// Drives one message through the cipher object the way the encryption entry point does: reset
// when flagged, one update per piece (the input copied aside), the final step after the last.
Bytes Encrypt(core::KeyCTX* key, const Bytes& data, const std::vector<size_t>& pieces = {}) {
    std::vector<size_t> sizes = pieces;
    size_t used = 0;
    for (size_t s : sizes) {
        used += s;
    }
    sizes.push_back(data.size() - used);
    Bytes out;
    size_t offset = 0;
    for (size_t i = 0; i < sizes.size(); ++i) {
        if (key->EncryptReset) {
            CiphObject_CiphReset(key, CIPH_ENCRYPT);
        }
        const Bytes copy(data.begin() + static_cast<long>(offset), data.begin() + static_cast<long>(offset + sizes[i]));
        Bytes buffer(copy.size() + 8, 0xCC);
        std::memcpy(buffer.data(), copy.data(), copy.size());
        DWORD length = static_cast<DWORD>(copy.size());
        EXPECT_EQ(CiphObject_CiphUpdate(key, CIPH_ENCRYPT, copy.data(), length, buffer.data(), &length), 0);
        if (i + 1 == sizes.size()) {
            DWORD extra = 99;
            EXPECT_TRUE(CiphObject_CiphFinal(key, CIPH_ENCRYPT, buffer.data() + length, &extra));
            length += extra;
        }
        out.insert(out.end(), buffer.begin(), buffer.begin() + length);
        offset += sizes[i];
    }
    return out;
}

Bytes Decrypt(core::KeyCTX* key, const Bytes& data, const std::vector<size_t>& pieces = {}) {
    std::vector<size_t> sizes = pieces;
    size_t used = 0;
    for (size_t s : sizes) {
        used += s;
    }
    sizes.push_back(data.size() - used);
    Bytes out;
    size_t offset = 0;
    for (size_t i = 0; i < sizes.size(); ++i) {
        if (key->DecryptReset) {
            CiphObject_CiphReset(key, CIPH_DECRYPT);
        }
        const Bytes copy(data.begin() + static_cast<long>(offset), data.begin() + static_cast<long>(offset + sizes[i]));
        Bytes buffer = copy;
        DWORD length = static_cast<DWORD>(copy.size());
        EXPECT_EQ(CiphObject_CiphUpdate(key, CIPH_DECRYPT, copy.data(), length, buffer.data(), &length), 0);
        if (i + 1 == sizes.size()) {
            BYTE* last = key->Mode == CRYPT_MODE_CBC ? buffer.data() + length - 8 : buffer.data();
            EXPECT_TRUE(CiphObject_CiphFinal(key, CIPH_DECRYPT, last, &length));
        }
        out.insert(out.end(), buffer.begin(), buffer.begin() + length);
        offset += sizes[i];
    }
    return out;
}

const std::pair<DWORD, const char*> kModes[] = {
    {CRYPT_MODE_ECB, "ecb"}, {CRYPT_MODE_CBC, "cbc"}, {CRYPT_MODE_OFB, "ofb"}, {CRYPT_MODE_CFB, "cfb"}};

TEST(CipherObject, AgreesWithOpenSslForEveryModeKeyLengthAndDivision) {
    ASSERT_TRUE(test::OpenSslHasLegacyDes());
    std::mt19937 generator(2024);
    for (int round = 0; round < 40; ++round) {
        for (auto [mode, name] : kModes) {
            for (size_t key_bytes : {8u, 16u, 24u}) {
                const Bytes key = test::RandomBytes(key_bytes, generator());
                const Bytes iv = test::RandomBytes(8, generator());
                size_t length = generator() % 200;
                if (mode == CRYPT_MODE_ECB) {
                    length &= ~size_t{7};
                }
                const Bytes plain = test::RandomBytes(length, generator());
                // Non-final pieces are whole blocks for the block modes, anything for the stream modes.
                std::vector<size_t> pieces;
                size_t left = length;
                while (left > 0 && generator() % 3 != 0) {
                    size_t piece = generator() % (left + 1);
                    if (mode == CRYPT_MODE_ECB || mode == CRYPT_MODE_CBC) {
                        piece &= ~size_t{7};
                    }
                    pieces.push_back(piece);
                    left -= piece;
                }
                const Bytes expected = test::OpenSslCipher(name, true, key, iv, plain);
                SCOPED_TRACE(std::string(name) + " key " + std::to_string(key_bytes) + " length " + std::to_string(length));

                TestKey k(key, iv, mode);
                const Bytes cipher = Encrypt(&k.ctx, plain, pieces);
                ASSERT_EQ(ToHex(cipher), ToHex(expected));

                std::vector<size_t> cipher_pieces = pieces;
                if (mode == CRYPT_MODE_CBC && !cipher_pieces.empty() && generator() % 2) {
                    cipher_pieces.pop_back();
                }
                ASSERT_EQ(ToHex(Decrypt(&k.ctx, cipher, cipher_pieces)), ToHex(plain));
            }
        }
    }
}

TEST(CipherObject, CbcPadsEveryMessageWithOneToEightBytes) {
    const Bytes key = test::RandomBytes(24, 1), iv = test::RandomBytes(8, 2);
    TestKey k(key, iv, CRYPT_MODE_CBC);
    TDEA_SCHEDULE schedule;
    Tdea_SetKey(&schedule, 192, key.data());

    // Nothing at all: one block, the encryption of eight 0x08 bytes xor the IV.
    BYTE block[8];
    for (int i = 0; i < 8; ++i) {
        block[i] = static_cast<BYTE>(0x08 ^ iv[i]);
    }
    Tdea_EncryptBlock(&schedule, block, block);
    const Bytes empty_cipher = Encrypt(&k.ctx, {});
    EXPECT_EQ(empty_cipher, Bytes(block, block + 8));
    EXPECT_EQ(Decrypt(&k.ctx, empty_cipher), Bytes{});

    // 16 bytes give 24, 13 give 16; decryption zeroes the pad bytes it removes.
    EXPECT_EQ(Encrypt(&k.ctx, test::RandomBytes(16, 3)).size(), 24u);
    const Bytes thirteen = test::RandomBytes(13, 4);
    const Bytes cipher = Encrypt(&k.ctx, thirteen, {8});
    ASSERT_EQ(cipher.size(), 16u);
    Bytes buffer = cipher;
    DWORD length = 16;
    CiphObject_CiphReset(&k.ctx, CIPH_DECRYPT);
    ASSERT_EQ(CiphObject_CiphUpdate(&k.ctx, CIPH_DECRYPT, cipher.data(), 16, buffer.data(), &length), 0);
    EXPECT_EQ(Bytes(buffer.begin() + 13, buffer.end()), Bytes(3, 0x03));
    ASSERT_TRUE(CiphObject_CiphFinal(&k.ctx, CIPH_DECRYPT, buffer.data() + 8, &length));
    EXPECT_EQ(length, 13u);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 13), thirteen);
    EXPECT_EQ(Bytes(buffer.begin() + 13, buffer.end()), Bytes(3, 0x00));
}

TEST(CipherObject, FinalDecryptionChecksThePadding) {
    TestKey k(test::RandomBytes(8, 5), Bytes(8, 0), CRYPT_MODE_CBC);
    struct Case {
        Bytes last;
        BOOL ok;
        DWORD length_after;
        Bytes buffer_after;
    };
    const Case cases[] = {
        {{1, 2, 3, 4, 5, 6, 7, 0}, TRUE, 16, {1, 2, 3, 4, 5, 6, 7, 0}},        // 0 removes nothing
        {{1, 2, 3, 4, 5, 6, 2, 2}, TRUE, 14, {1, 2, 3, 4, 5, 6, 0, 0}},
        {Bytes(8, 8), TRUE, 8, Bytes(8, 0)},
        {{9, 9, 9, 9, 9, 9, 9, 9}, FALSE, 16, Bytes(8, 9)},                    // above 8
        {{1, 2, 3, 4, 5, 4, 3, 3}, FALSE, 14, {1, 2, 3, 4, 5, 4, 0, 0}},        // third pad byte differs
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
        if (!c.ok) {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_DATA));
        }
    }
    // The stream modes examine nothing.
    k.ctx.Mode = CRYPT_MODE_OFB;
    Bytes buffer(8, 9);
    DWORD length = 8;
    EXPECT_TRUE(CiphObject_CiphFinal(&k.ctx, CIPH_DECRYPT, buffer.data(), &length));
    EXPECT_EQ(length, 8u);
}

TEST(CipherObject, PartialBlocksAndMissingPointersAreRefusedUntouched) {
    const Bytes key = test::RandomBytes(8, 6);
    BYTE chain[16] = {}, pending[8] = {};
    DWORD position = 0;
    const Bytes in(12, 0x11);
    Bytes out(16, 0xAA);
    DWORD length = 777;
    EXPECT_EQ(DES_EncryptData(CRYPT_MODE_ECB, 64, &position, key.data(), chain, in.data(), 12, out.data(), &length, pending),
              DES_STATUS_BAD_LENGTH);
    EXPECT_EQ(DES_DecryptData(CRYPT_MODE_ECB, 64, &position, key.data(), chain, in.data(), 12, out.data(), &length),
              DES_STATUS_BAD_LENGTH);
    EXPECT_EQ(DES_DecryptData(CRYPT_MODE_CBC, 64, &position, key.data(), chain, in.data(), 12, out.data(), &length),
              DES_STATUS_BAD_LENGTH);
    EXPECT_EQ(length, 777u);
    EXPECT_EQ(out, Bytes(16, 0xAA));

    EXPECT_EQ(DES_EncryptData(CRYPT_MODE_CBC, 64, &position, key.data(), nullptr, in.data(), 8, out.data(), &length, pending),
              DES_STATUS_NO_CHAIN);
    EXPECT_EQ(DES_EncryptData(CRYPT_MODE_CBC, 64, &position, nullptr, chain, in.data(), 8, out.data(), &length, pending),
              DES_STATUS_NULL);
    EXPECT_EQ(DES_EncryptData(CRYPT_MODE_CBC, 64, &position, key.data(), chain, in.data(), 8, out.data(), &length, nullptr),
              DES_STATUS_NULL);
    EXPECT_EQ(DES_DecryptData(CRYPT_MODE_CFB, 64, nullptr, key.data(), chain, in.data(), 8, out.data(), &length),
              DES_STATUS_NULL);
    // ECB needs no chaining value.
    EXPECT_EQ(DES_EncryptData(CRYPT_MODE_ECB, 64, nullptr, key.data(), nullptr, in.data(), 8, out.data(), &length, nullptr),
              DES_STATUS_OK);
    EXPECT_EQ(length, 8u);
}

TEST(CipherObject, StreamModesRoundTripForAnyDivisionWithTripleDes) {
    const Bytes key = test::RandomBytes(24, 7), iv = test::RandomBytes(8, 8);
    const Bytes plain = test::RandomBytes(14, 9);
    for (DWORD mode : {static_cast<DWORD>(CRYPT_MODE_CFB), static_cast<DWORD>(CRYPT_MODE_OFB)}) {
        TestKey k(key, iv, mode);
        const Bytes cipher = Encrypt(&k.ctx, plain, {3, 10});
        EXPECT_EQ(cipher, Encrypt(&k.ctx, plain));
        TestKey fresh(key, iv, mode);
        EXPECT_EQ(Decrypt(&fresh.ctx, cipher, {3, 10}), plain);
        EXPECT_EQ(Decrypt(&fresh.ctx, cipher, {1, 0, 7, 5}), plain);
    }
}

TEST(CipherObject, CfbDecryptionKeepsItsKeystreamInTheUpperChainBytes) {
    const Bytes key = test::RandomBytes(8, 10), iv = test::RandomBytes(8, 11);
    TestKey k(key, iv, CRYPT_MODE_CFB);
    CiphObject_CiphReset(&k.ctx, CIPH_DECRYPT);
    const Bytes cipher = test::RandomBytes(3, 12);
    Bytes out(3);
    DWORD length = 0;
    ASSERT_EQ(CiphObject_CiphUpdate(&k.ctx, CIPH_DECRYPT, cipher.data(), 3, out.data(), &length), 0);
    EXPECT_EQ(length, 3u);
    EXPECT_EQ(k.ctx.CipherState, 3u);
    BYTE keystream[8];
    DES_EncryptBlock(key.data(), iv.data(), keystream);
    EXPECT_EQ(Bytes(k.ctx.Chain + 8, k.ctx.Chain + 16), Bytes(keystream, keystream + 8));
    EXPECT_EQ(Bytes(k.ctx.Chain, k.ctx.Chain + 3), cipher);
}

TEST(CipherObject, EachMessageStartsAgainFromTheIv) {
    const Bytes key = test::RandomBytes(16, 13), iv = test::RandomBytes(8, 14);
    const Bytes plain = test::RandomBytes(21, 15);
    for (auto [mode, name] : kModes) {
        if (mode == CRYPT_MODE_ECB) {
            continue;
        }
        TestKey k(key, iv, mode);
        const Bytes first = Encrypt(&k.ctx, plain, {8});
        EXPECT_EQ(k.ctx.EncryptFinal, 1u);
        EXPECT_EQ(Encrypt(&k.ctx, plain, {16}), first) << name;
    }
}

TEST(CipherObject, UnknownModeRunsAsOfb) {
    const Bytes key = test::RandomBytes(8, 16), iv = test::RandomBytes(8, 17);
    const Bytes plain = test::RandomBytes(19, 18);
    TestKey ofb(key, iv, CRYPT_MODE_OFB), odd(key, iv, 77);
    EXPECT_EQ(Encrypt(&odd.ctx, plain), Encrypt(&ofb.ctx, plain));
}

TEST(CipherObject, DirectionsShareTheChainingState) {
    const Bytes key = test::RandomBytes(8, 19), iv = test::RandomBytes(8, 20);
    const Bytes plain = test::RandomBytes(16, 21);
    TestKey alone(key, iv, CRYPT_MODE_CBC);
    const Bytes expected = Encrypt(&alone.ctx, plain, {8});

    // A decryption started between the two pieces resets the shared chain to the IV.
    TestKey shared(key, iv, CRYPT_MODE_CBC);
    CiphObject_CiphReset(&shared.ctx, CIPH_ENCRYPT);
    Bytes out(32);
    DWORD length = 0;
    ASSERT_EQ(CiphObject_CiphUpdate(&shared.ctx, CIPH_ENCRYPT, plain.data(), 8, out.data(), &length), 0);
    CiphObject_CiphReset(&shared.ctx, CIPH_DECRYPT);
    ASSERT_EQ(CiphObject_CiphUpdate(&shared.ctx, CIPH_ENCRYPT, plain.data() + 8, 8, out.data() + 8, &length), 0);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 8), Bytes(expected.begin(), expected.begin() + 8));
    EXPECT_NE(Bytes(out.begin() + 8, out.begin() + 16), Bytes(expected.begin() + 8, expected.begin() + 16));
}

}  // namespace
}  // namespace kelm::crypto
