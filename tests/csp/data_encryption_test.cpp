// Session keys, data encryption and key derivation on the simulated card. Keys are made with the
// core functions, as the key entry points make them; OpenSSL is the independent reference for
// ciphertexts, digests and the DES MAC.
#include "core/session_keys.h"
#include "crypto/openssl_peer.h"
#include "verify_context.h"

namespace kelm::csp {
namespace {

using test::Bytes;
using test::ToHex;
using testing::ErrorOf;

// The IV of the fixture's session keys.
const Bytes kIv = kelm::testing::Bytes("A0A1A2A3A4A5A6A7");

class DataEncryption : public testing::VerifyContextTest {
protected:
    HCRYPTHASH Hash(ALG_ID algid, HCRYPTKEY key = 0) {
        HCRYPTHASH hash = 0;
        return CPCreateHash(prov_, algid, key, 0, &hash) ? hash : 0;
    }
    // One message: `first` bytes in one call (when given), the rest in a final call.
    Bytes Run(bool encrypt, HCRYPTKEY key, HCRYPTHASH hash, const Bytes& data, size_t first = 0) {
        Bytes out;
        for (size_t offset = 0, n = first ? first : data.size();; offset += n, n = data.size() - offset) {
            Bytes buffer(data.begin() + long(offset), data.begin() + long(offset + n));
            DWORD length = DWORD(n);
            buffer.resize(n + 8);
            const BOOL final = offset + n == data.size();
            EXPECT_TRUE(encrypt ? CPEncrypt(prov_, key, hash, final, 0, buffer.data(), &length, DWORD(n + 8))
                                : CPDecrypt(prov_, key, hash, final, 0, buffer.data(), &length));
            out.insert(out.end(), buffer.begin(), buffer.begin() + length);
            if (final) return out;
        }
    }
};

// A generated key's bytes and IV are digests of the 128 bytes the card answered GET CHALLENGE with.
TEST_F(DataEncryption, SessionKeysComeFromTheDigestsOfCardRandomness) {
    for (auto [algid, key_length] : {std::pair<ALG_ID, size_t>{CALG_DES, 8}, {CALG_3DES_112, 16}, {CALG_3DES, 24}}) {
        sim().backend().ClearLog();
        Bytes key(24), iv(16), r;
        ASSERT_EQ(core::CreateSessionKey(algid, key.data(), key.size(), iv.data()), 0u);
        for (const auto& e : sim().backend().Log()) r.insert(r.end(), e.response.begin(), e.response.end() - 2);
        Bytes want = test::OpenSslDigest("MD5", Bytes(r.begin(), r.begin() + 64));
        const Bytes second = test::OpenSslDigest(algid == CALG_3DES ? "SHA1" : "MD5", Bytes(r.begin() + 64, r.end()));
        want.insert(want.end(), second.begin(), second.end());  // the key's bytes, the IV at 8 (DES) or 24
        const long iv_at = algid == CALG_DES ? 8 : 24;
        EXPECT_EQ(ToHex(key).substr(0, 2 * key_length), ToHex(want).substr(0, 2 * key_length)) << algid;
        EXPECT_EQ(ToHex(iv), ToHex(Bytes(want.begin() + iv_at, want.begin() + iv_at + 8)) + std::string(16, '0'));
    }
}

// Every key length and mode, messages split across calls: the ciphertext is OpenSSL's, decryption
// gives the plaintext back, and the final calls finish hashes holding the plaintext's digest.
TEST_F(DataEncryption, MessagesAcrossCallsMatchOpenSslAndHashThePlaintext) {
    for (auto [algid, key_length] : {std::pair<ALG_ID, size_t>{CALG_DES, 8}, {CALG_3DES_112, 16}, {CALG_3DES, 24}}) {
        for (auto [mode, name] : {std::pair<DWORD, const char*>{1, "cbc"}, {2, "ecb"}, {3, "ofb"}, {4, "cfb"}}) {
            for (size_t length : {0u, 13u, 16u, 37u}) {
                if (mode == CRYPT_MODE_ECB && length % 8 != 0) continue;
                const HCRYPTKEY k = Key(algid, prov_, mode);
                const Bytes key(keys_.back().second->KeyData, keys_.back().second->KeyData + key_length);
                const Bytes plain = test::RandomBytes(length, uint32_t(length + algid));
                const size_t first = length < 8 ? 0 : mode <= CRYPT_MODE_ECB ? 8 : 3;
                const HCRYPTHASH sent = Hash(CALG_SHA1), received = Hash(CALG_SHA1);
                const Bytes cipher = Run(true, k, sent, plain, first);
                EXPECT_EQ(ToHex(cipher), ToHex(test::OpenSslCipher(name, true, key, kIv, plain)))
                    << name << " " << key_length << " " << length;
                DWORD none = 0;  // the final call finished the hash
                EXPECT_EQ(ErrorOf(CPEncrypt(prov_, k, sent, TRUE, 0, nullptr, &none, 0)), DWORD(NTE_BAD_HASH_STATE));
                EXPECT_EQ(Run(false, k, received, cipher, first), plain);
                EXPECT_EQ(ToHex(Value(sent)), ToHex(test::OpenSslDigest("SHA1", plain)));
                EXPECT_EQ(Value(received), Value(sent));
            }
        }
    }
}

// Lengths the mode cannot take and short buffers change nothing; only an encryption size query
// (null data) succeeds.
TEST_F(DataEncryption, RefusedLengthsAndSizeQueries) {
    const std::tuple<DWORD, bool, BOOL, bool, DWORD, DWORD, LONG, DWORD> rows[] = {
        // mode, encrypt, final, null data, n, capacity, last error, length after
        {CRYPT_MODE_CBC, true, TRUE, false, 16, 16, ERROR_MORE_DATA, 24},
        {CRYPT_MODE_CBC, true, TRUE, true, 13, 0, ERROR_MORE_DATA, 16},
        {CRYPT_MODE_CBC, true, FALSE, false, 13, 32, NTE_BAD_DATA, 13},
        {CRYPT_MODE_CBC, true, TRUE, false, 0xFFFFFFFF, 0xFFFFFFFF, NTE_BAD_DATA, 0xFFFFFFFF},  // no room to pad
        {CRYPT_MODE_CBC, false, TRUE, false, 12, 0, NTE_BAD_DATA, 12},
        {CRYPT_MODE_OFB, false, TRUE, true, 8, 0, ERROR_INVALID_PARAMETER, 8},  // no size query
    };
    for (const auto& [mode, encrypt, final, null_data, n, capacity, error, length_after] : rows) {
        const HCRYPTKEY k = Key(CALG_DES, prov_, mode);
        Bytes buffer(32, 0x5A);
        DWORD length = n;
        BYTE* data = null_data ? nullptr : buffer.data();
        EXPECT_EQ(encrypt ? CPEncrypt(prov_, k, 0, final, 0, data, &length, capacity)
                          : CPDecrypt(prov_, k, 0, final, 0, data, &length), null_data && encrypt);
        EXPECT_EQ(GetLastError(), DWORD(error)) << mode << " " << n;
        EXPECT_EQ(length, length_after) << mode << " " << n;
        EXPECT_EQ(buffer, Bytes(32, 0x5A));
    }
}

TEST_F(DataEncryption, DerivedKeyBytesFromEachKindOfHash) {
    const HCRYPTKEY mac_with = Key(CALG_3DES_112, prov_);
    const Bytes abc = {'a', 'b', 'c'}, mac_key(keys_.back().second->KeyData, keys_.back().second->KeyData + 16);
    auto mac_of = [&](const Bytes& data) {  // the last block of the padded CBC encryption
        const Bytes cipher = test::OpenSslCipher("cbc", true, mac_key, kIv, data);
        return Bytes(cipher.end() - 8, cipher.end());
    };
    Bytes inner(64, 0x36), outer(64, 0x5C), mac = mac_of(abc);
    for (size_t i = 0; i < 8; ++i) inner[i] ^= mac[i], outer[i] ^= mac[i];
    Bytes mac_3des = mac_of(inner), h2 = mac_of(outer);
    mac_3des.insert(mac_3des.end(), h2.begin(), h2.end()), mac_3des.insert(mac_3des.end(), 8, 0x36);
    const std::tuple<ALG_ID, ALG_ID, bool, Bytes, LONG> rows[] = {  // hash, key, "abc" fed, key bytes, error
        {CALG_MD5, CALG_DES, 1, test::FromHex("900150983cd24fb0"), 0},
        {CALG_MD5, CALG_3DES, 1, test::FromHex("e556b0c9c217576dc503b6eb040a67aa7ea937187c8a6ce8"), 0},
        {CALG_MAC, CALG_3DES, 1, mac_3des, 0},
        {CALG_MAC, CALG_3DES_112, 1, {}, NTE_FAIL},      // 8 bytes cannot make a 16-byte key
        {CALG_SSL3_SHAMD5, CALG_3DES, 1, {}, NTE_FAIL},  // no algorithm to make H1 and H2
        {CALG_SHA1, CALG_DES, 0, {}, NTE_BAD_HASH_STATE},
    };
    for (const auto& [hash_algid, algid, feed, want, error] : rows) {
        const HCRYPTHASH hash = Hash(hash_algid, hash_algid == CALG_MAC ? mac_with : 0);
        EXPECT_TRUE(!feed || CPHashData(prov_, hash, abc.data(), 3, 0));
        HCRYPTKEY handle = 0;
        EXPECT_EQ(ErrorOf(CPDeriveKey(prov_, algid, hash, CRYPT_EXPORTABLE | 0x00800000, &handle)), DWORD(error));
        auto* key = static_cast<core::KeyCTX*>(core::Get_CryptoCTX(handle, core::HANDLE_KEY_TYPE, prov_));
        if (key == nullptr) continue;
        keys_.push_back({handle, key});
        EXPECT_EQ(ToHex(Bytes(key->KeyData, key->KeyData + key->KeyLen / 8)), ToHex(want)) << hash_algid;
    }
}

// The card's exchange key: one 1024-bit block out, least significant byte first, and back
// through the card's private key after the PIN. A key is bound to its container, not to the
// context that made it.
TEST_F(DataEncryption, RsaThroughTheCardAndKeysBoundToTheirContainer) {
    const HCRYPTKEY blank_key = Key(CALG_DES, prov_, CRYPT_MODE_OFB);
    Bytes block(128);
    DWORD length = 8;
    ASSERT_TRUE(sim::PutNewKey(sim().card(), 0x8003, nullptr));
    ASSERT_TRUE(sim::AddContainer(sim().card(), "rsa", 0, 0x8003, nullptr) && CPAcquireContext(&prov_, "rsa", 0, 0));
    provs_.push_back(prov_);
    // Made under the verify context, whose container is another: refused for that reason alone.
    EXPECT_EQ(ErrorOf(CPDecrypt(prov_, blank_key, 0, TRUE, 0, block.data(), &length)), DWORD(NTE_BAD_KEYSET));

    const HCRYPTKEY key = Key(AT_KEYEXCHANGE, prov_);
    const Bytes plain = test::RandomBytes(117, 7);
    // An empty message is refused too: the card's decryption would refuse its block.
    for (const DWORD refused : {0u, 118u}) {
        length = refused;
        EXPECT_EQ(ErrorOf(CPEncrypt(prov_, key, 0, TRUE, 0, block.data(), &length, 128)), DWORD(NTE_BAD_DATA));
    }
    block = plain, block.resize(128), length = 117;
    ASSERT_TRUE(CPEncrypt(prov_, key, 0, TRUE, 0, block.data(), &length, 128) && length == 128) << GetLastError();
    length = 127;
    EXPECT_EQ(ErrorOf(CPDecrypt(prov_, key, 0, TRUE, 0, block.data(), &length)), DWORD(NTE_BAD_DATA));
    EXPECT_EQ(ui_.DialogCount(), 0u) << "a block of the wrong length is refused before the PIN and the card";
    ui_.QueueDialogAction(platform::DialogAction{IDOK, kelm::testing::kSimPin});
    length = 128;
    ASSERT_TRUE(CPDecrypt(prov_, key, 0, TRUE, 0, block.data(), &length)) << std::hex << GetLastError();
    EXPECT_EQ(Bytes(block.begin(), block.begin() + length), plain);
}

}  // namespace
}  // namespace kelm::csp
