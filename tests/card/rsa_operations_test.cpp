// RSA with the card's keys, checked independently: signatures of every hash kind verify with
// OpenSSL against the public key read back from each card type, and each type's command
// sequence is read from the simulated card's log.
#include <algorithm>

#include "card/pkcs1_blocks.h"
#include "card/rsa_operations.h"
#include "crypto/openssl_peer.h"
#include "simulated_keys.h"

namespace kelm::card::testing {
namespace {

using test::RandomBytes;

class RsaOperationsTest : public SimulatedCardTest {
protected:
    // Signs with the signature key; the signature comes back big-endian.
    Bytes Sign(BYTE kind, const Bytes& hash, DWORD length, const char* name = kContainer) {
        Bytes signature(length);
        status = RSA_CardSignature(name, 1, kind, hash.data(), static_cast<DWORD>(hash.size()), &length, signature.data());
        std::reverse(signature.begin(), signature.begin() + length);
        return signature;
    }
    DWORD status = 0;
};

TEST_F(RsaOperationsTest, SignaturesOfEveryHashKindVerifyWithOpenSsl) {
    // rsa_commands: CLA INS P1 P2 Lc of each RSA OPERATION, then its Le byte.
    const struct { int type; sim::CardProtocol protocol; bool large; DWORD record_length; std::vector<std::string> rsa_commands; }
        cases[] = {{1, sim::CardProtocol::T1, false, 141, {"00 4E 00 00 80 80"}},
                 {3, sim::CardProtocol::T0, false, 134, {}},
                 {5, sim::CardProtocol::T1, false, 141, {"00 4E 00 00 80 00"}},
                 {5, sim::CardProtocol::T1, true, 270, {"00 4E 00 01 80 00", "00 4E 01 00 80 00"}},
                 {6, sim::CardProtocol::T1, true, 262, {"00 4E 00 01 80 80", "00 4E 00 00 80 00"}},
                 {7, sim::CardProtocol::T1, false, 134, {"00 4E 00 00 80 80"}}};
    const std::pair<BYTE, const char*> kinds[] = {{HASH_KIND_SHA256, "SHA256"}, {HASH_KIND_MD5, "MD5"},
                                                  {HASH_KIND_SHA1, "SHA1"},     {HASH_KIND_MD5_SHA1, "MD5-SHA1"},
                                                  {HASH_KIND_SHA384, "SHA384"}, {HASH_KIND_SHA512, "SHA512"}};
    for (const auto& c : cases) {
        SCOPED_TRACE("card type " + std::to_string(c.type) + (c.large ? ", 2048-bit" : ""));
        Insert(c.type, c.protocol, true, c.large);
        BYTE record[kPublicKeyRecordMax] = {};
        DWORD length = 0;
        PublicKeyParts key{};
        ASSERT_EQ(0u, Card_GetRSAPublicKey(kContainer, 1, &length, record, sizeof record));
        ASSERT_EQ(c.record_length, length);
        ASSERT_TRUE(SplitPublicKeyRecord(record, length, &key));
        const Bytes modulus(key.modulus, key.modulus + key.modulus_length),
            exponent(key.exponent, key.exponent + key.exponent_length);
        Bytes n, e;
        EXPECT_TRUE(sim::PublicKeyOf(Card(), 0x8001, &n, &e) && n == modulus);
        for (const auto& [kind, digest] : kinds) {
            simulated->backend().ClearLog();
            const Bytes hash = test::OpenSslDigest(digest, RandomBytes(100, kind));
            const Bytes signature = Sign(kind, hash, static_cast<DWORD>(modulus.size()));
            EXPECT_EQ(0u, status);
            EXPECT_TRUE(test::OpenSslVerifyRsaPkcs1(modulus, exponent, digest, hash, signature)) << digest;
        }
        // The last signature's commands: directory, record, key file information, key file, RSA.
        const std::vector<Bytes> rsa = Sent(0x4E);
        if (c.rsa_commands.empty()) continue;
        EXPECT_EQ(5 + c.rsa_commands.size(), simulated->backend().Log().size());
        ASSERT_EQ(c.rsa_commands.size(), rsa.size());
        for (size_t i = 0; i < rsa.size(); ++i) {
            EXPECT_EQ(c.rsa_commands[i], HexOf(Bytes(rsa[i].begin(), rsa[i].begin() + 5)) + " " + HexOf({rsa[i].back()}));
        }
        if (c.large) {
            // Verification takes only the 128-byte answer of a 1024-bit key.
            EXPECT_EQ(static_cast<DWORD>(NTE_BAD_KEY), RSA_CardVerify(kContainer, 1, 2, record, 20, record));
        }
    }
}

TEST_F(RsaOperationsTest, EncryptionDecryptionVerificationAndEmptySlots) {
    Insert(1);
    Bytes block(kPublicKeyRecordMax);
    for (DWORD length : {1u, 117u}) {
        const Bytes message = RandomBytes(length, length);
        ASSERT_EQ(0u, RSA_CardEncrypt(kContainer, CALG_RSA_KEYX, &length, message.data(), block.data()));
        std::reverse(block.begin(), block.begin() + 128);
        EXPECT_EQ(0u, RSA_CardDecrypt(kContainer, CALG_RSA_KEYX, &length, block.data(), block.data()));
        EXPECT_EQ(message, Bytes(block.begin(), block.begin() + length));
    }
    // Verification knows the SHA-1 and MD5 prefixes only.
    const Bytes hash = RandomBytes(32, 9), sha1(hash.begin(), hash.begin() + 20);
    EXPECT_EQ(0u, RSA_CardVerify(kContainer, 1, HASH_KIND_SHA1, sha1.data(), 20, Sign(HASH_KIND_SHA1, sha1, 128).data()));
    const Bytes wrong = Sign(HASH_KIND_SHA1, RandomBytes(20, 1), 128), sha256 = Sign(HASH_KIND_SHA256, hash, 128);
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_KEY), RSA_CardVerify(kContainer, 1, HASH_KIND_SHA1, sha1.data(), 20, wrong.data()));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_KEY), RSA_CardVerify(kContainer, 1, HASH_KIND_SHA256, hash.data(), 32, sha256.data()));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_KEY), GetLastError());

    // Refusals before any RSA command: lengths, a slot without key file, a file without key.
    simulated->backend().ClearLog();
    ASSERT_TRUE(sim::AddKeyFile(Card(), 0x8005, 0, &error) && sim::AddContainer(Card(), "empty", 0x8005, 0, &error));
    DWORD too_long = 118, too_short = 64, length = 0;
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_LEN), RSA_CardEncrypt(kContainer, 0, &too_long, block.data(), block.data()));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_LEN), RSA_CardDecrypt(kContainer, 0, &too_short, block.data(), block.data()));
    EXPECT_EQ(static_cast<DWORD>(NTE_NO_KEY), Card_GetRSAPublicKey("empty", 2, &length, block.data(), block.size()));
    Sign(HASH_KIND_SHA1, sha1, 128, "empty");
    EXPECT_EQ(static_cast<DWORD>(NTE_NO_KEY), status);
    EXPECT_EQ(static_cast<DWORD>(NTE_NO_KEY), GetLastError());
    EXPECT_TRUE(Sent(0x4E).empty());
}

TEST(DecryptedBlockTest, SeparatorNeedsEightPaddingBytesAndOneMessageByte) {
    // separator 0: none
    const struct { size_t length, separator; BYTE type; bool found; } cases[] = {{128, 9, 2, false},  {128, 10, 2, true},  {128, 126, 2, true}, {128, 127, 2, false},
                 {128, 0, 2, false},  {128, 50, 1, false}, {256, 254, 2, true}, {256, 255, 2, false}};
    for (const auto& c : cases) {
        Bytes block(c.length, 0x5A);
        block[0] = 0x00, block[1] = c.type;
        if (c.separator != 0) block[c.separator] = 0x00;
        size_t offset = 0;
        EXPECT_EQ(c.found, FindBlockMessage(block.data(), block.size(), &offset)) << c.length << " " << c.separator;
        EXPECT_EQ(c.found ? c.separator + 1 : 0, offset);
    }
}

}  // namespace
}  // namespace kelm::card::testing
