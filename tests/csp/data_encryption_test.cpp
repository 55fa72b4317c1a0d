// Session keys, data encryption, key derivation and hash objects on the simulated card. Keys are
// made with the core functions, as the key entry points make them; OpenSSL is the independent
// reference for ciphertexts, digests and the DES MAC.
#include "card_keys.h"
#include "core/session_keys.h"

namespace kelm::csp::testing {
namespace {

using test::Bytes;
using test::ToHex;

// The IV of the fixture's session keys.
const Bytes kIv = Hex("A0A1A2A3A4A5A6A7");
const BYTE kAbc[] = {'a', 'b', 'c'};

class DataEncryption : public CardTest {
protected:
    void SetUp() override { CardTest::SetUp(), Insert(); }
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
        sim_->backend().ClearLog();
        Bytes key(24), iv(16), r;
        ASSERT_EQ(core::CreateSessionKey(algid, key.data(), key.size(), iv.data()), 0u);
        for (const auto& e : sim_->backend().Log()) r.insert(r.end(), e.response.begin(), e.response.end() - 2);
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
                const HCRYPTKEY k = Key(algid, 0, mode);
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
        const HCRYPTKEY k = Key(CALG_DES, 0, mode);
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
    const HCRYPTKEY mac_with = Key(CALG_3DES_112);
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
    HCRYPTPROV verify = 0;
    ASSERT_TRUE(CPAcquireContext(&verify, nullptr, CRYPT_VERIFYCONTEXT, nullptr));
    Bytes block(128);
    DWORD length = 8;
    // Made under the verify context, whose container is another: refused for that reason alone.
    EXPECT_REFUSED(CPDecrypt(prov_, Key(CALG_DES, verify, CRYPT_MODE_OFB), 0, TRUE, 0, block.data(), &length),
                   NTE_BAD_KEYSET);
    const HCRYPTKEY key = Key(AT_KEYEXCHANGE);
    const Bytes plain = test::RandomBytes(117, 7);
    // An empty message is refused too: the card's decryption would refuse its block.
    for (const DWORD refused : {0u, 118u}) {
        length = refused;
        EXPECT_REFUSED(CPEncrypt(prov_, key, 0, TRUE, 0, block.data(), &length, 128), NTE_BAD_DATA);
    }
    block = plain, block.resize(128), length = 117;
    ASSERT_TRUE(CPEncrypt(prov_, key, 0, TRUE, 0, block.data(), &length, 128) && length == 128) << GetLastError();
    length = 127;
    EXPECT_REFUSED(CPDecrypt(prov_, key, 0, TRUE, 0, block.data(), &length), NTE_BAD_DATA);
    EXPECT_EQ(ui_.DialogCount(), 0u) << "a block of the wrong length is refused before the PIN and the card";
    length = 128;
    ASSERT_TRUE(CPDecrypt(prov_, key, 0, TRUE, 0, block.data(), &length)) << std::hex << GetLastError();
    EXPECT_EQ(Bytes(block.begin(), block.begin() + length), plain);
    EXPECT_EQ(ui_.DialogCount(), 1u);
    CPReleaseContext(verify, 0);
}

// kQuery asks every parameter's size, then offers one byte too few: the size comes back, the
// buffer stays untouched and the object stays as it was. kSet stores 5A 5A ..., the value
// expected where a row names none. kSpoil clears the key's bytes and IV, which a MAC made
// earlier must not notice.
enum Op { kData, kNullData, kEmpty, kKey, kSet, kRead, kQuery, kSpoil };

TEST_F(DataEncryption, HashObjectStatesFromOpenThroughHashingToFinished) {
    const LONG kState = NTE_BAD_HASH_STATE;
    const std::tuple<ALG_ID, std::vector<std::pair<Op, LONG>>, Bytes> rows[] = {
        {CALG_SHA_256, {{kData, 0}, {kRead, 0}, {kData, kState}, {kKey, kState}, {kEmpty, 0}},
         Hex("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad")},
        {CALG_SHA_256, {{kData, 0}, {kQuery, 0}, {kData, 0}},
         Hex("bbb59da3af939f7af5f360f2ceb80a496e3bae1cd87dde426db0ae40677e1c2c")},  // "abcabc"
        {CALG_MD5, {{kNullData, NTE_BAD_HASH}, {kQuery, 0}, {kRead, 0}, {kData, kState}}, Bytes(16, 0)},
        {CALG_SHA_256, {{kData, 0}, {kSet, 0}, {kData, kState}, {kSet, 0}}, Bytes{}},
        {CALG_MD5, {{kKey, 0}}, Hex("8a7334bacf760ff26b99fad472ded851")},  // MD5 of 08 07 ... 01
        {CALG_SSL3_SHAMD5, {{kData, 0}, {kRead, 0}}, Bytes(36, 0)},
        {CALG_SSL3_SHAMD5, {{kData, 0}, {kQuery, 0}, {kSet, 0}}, Bytes{}},
        {CALG_MAC, {{kSpoil, 0}, {kData, 0}}, Hex("d38db56839750d87")},  // padded DES-CBC's last block
    };
    const HCRYPTKEY des = Key(CALG_DES);
    for (const auto& [algid, steps, value] : rows) {
        HCRYPTHASH hash = 0;
        DWORD params[2] = {}, length = 4;  // HP_ALGID, HP_HASHSIZE
        ASSERT_TRUE(CPCreateHash(prov_, algid, algid == CALG_MAC ? des : 0, 0, &hash) &&
                    CPGetHashParam(prov_, hash, HP_ALGID, reinterpret_cast<BYTE*>(&params[0]), &length, 0) &&
                    CPGetHashParam(prov_, hash, HP_HASHSIZE, reinterpret_cast<BYTE*>(&params[1]), &length, 0));
        EXPECT_EQ(params[0], algid);
        const Bytes stored(params[1], 0x5A);
        for (const auto& [op, error] : steps) {
            DWORD got = 0;
            switch (op) {
            case kData: got = ErrorOf(CPHashData(prov_, hash, kAbc, 3, 0)); break;
            case kNullData: got = ErrorOf(CPHashData(prov_, hash, nullptr, 5, 0)); break;
            case kEmpty: got = ErrorOf(CPHashData(prov_, hash, nullptr, 0, 0)); break;
            case kKey: got = ErrorOf(CPHashSessionKey(prov_, hash, des, 0)); break;
            case kSet: got = ErrorOf(CPSetHashParam(prov_, hash, HP_HASHVAL, stored.data(), 0)); break;
            case kRead: got = Value(hash).empty() ? GetLastError() : 0; break;
            case kSpoil: std::memset(keys_[0].second->KeyData, 0, 8), std::memset(keys_[0].second->IV, 0, 16); break;
            case kQuery:
                for (auto [param, size] : {std::pair{HP_ALGID, 4u}, {HP_HASHSIZE, 4u}, {HP_HASHVAL, params[1]}}) {
                    Bytes buffer(size, 0xEE);
                    DWORD query = 0, stated = size - 1;
                    EXPECT_TRUE(CPGetHashParam(prov_, hash, param, nullptr, &query, 0));
                    EXPECT_REFUSED(CPGetHashParam(prov_, hash, param, buffer.data(), &stated, 0), ERROR_MORE_DATA);
                    EXPECT_TRUE(query == size && stated == size && buffer == Bytes(size, 0xEE)) << param;
                }
                break;
            }
            EXPECT_EQ(got, static_cast<DWORD>(error)) << std::hex << algid << " step " << op;
        }
        for (int read = 1; read <= 2; ++read) EXPECT_EQ(Value(hash), value.empty() ? stored : value) << algid;
        EXPECT_TRUE(CPDestroyHash(prov_, hash));
    }
}

TEST_F(DataEncryption, HashObjectForeignStaleAndWrongKindHandlesAndBadParametersAreRefused) {
    HCRYPTPROV other = 0;
    HCRYPTHASH mine = 0, stale = 0, made = 0x55;
    ASSERT_TRUE(CPAcquireContext(&other, nullptr, CRYPT_VERIFYCONTEXT, nullptr) &&
                CPCreateHash(prov_, CALG_SHA1, 0, 0, &mine) && CPCreateHash(prov_, CALG_SHA1, 0, 0, &stale));
    ASSERT_TRUE(CPDestroyHash(prov_, stale));
    const HCRYPTKEY des = Key(CALG_DES), their_des = Key(CALG_DES, other), rsa = Key(AT_SIGNATURE);
    const size_t live = core::LiveHandleCount();
    BYTE buffer[32];
    DWORD length = sizeof buffer;
    const std::tuple<HCRYPTPROV, HCRYPTHASH, LONG> handles[] = {
        {0, mine, NTE_BAD_UID},       {prov_ ^ 0x10, mine, NTE_BAD_UID}, {prov_, 0, NTE_BAD_HASH},
        {prov_, stale, NTE_BAD_HASH}, {prov_, prov_, NTE_BAD_HASH},     {other, mine, NTE_BAD_HASH},
    };
    for (const auto& [p, h, error] : handles) {
        EXPECT_REFUSED(CPHashData(p, h, kAbc, 3, 0), error) << std::hex << p << " " << h;
        EXPECT_REFUSED(CPHashSessionKey(p, h, des, 0), error);
        EXPECT_REFUSED(CPGetHashParam(p, h, HP_HASHVAL, buffer, &length, 0), error);
        EXPECT_REFUSED(CPSetHashParam(p, h, HP_HASHVAL, buffer, 0), error);
        EXPECT_REFUSED(CPDestroyHash(p, h), error);
    }
    EXPECT_REFUSED(CPGetHashParam(prov_, mine, 3, buffer, &length, 0), NTE_BAD_TYPE);
    EXPECT_REFUSED(CPGetHashParam(prov_, mine, HP_HASHVAL, buffer, nullptr, 0), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(length, sizeof buffer) << "a refused call reports no size";
    EXPECT_REFUSED(CPSetHashParam(prov_, mine, HP_ALGID, buffer, 0), NTE_BAD_TYPE);
    EXPECT_REFUSED(CPSetHashParam(prov_, mine, HP_HASHVAL, nullptr, 0), ERROR_INVALID_PARAMETER);
    for (HCRYPTKEY key : {HCRYPTKEY{0}, rsa, their_des}) {
        EXPECT_REFUSED(CPHashSessionKey(prov_, mine, key, 0), NTE_BAD_KEY);
        EXPECT_REFUSED(CPCreateHash(prov_, CALG_MAC, key, 0, &made), NTE_BAD_KEY);
    }
    for (ALG_ID algid : {CALG_SHA_384, CALG_SHA_512, CALG_HMAC}) {
        EXPECT_REFUSED(CPCreateHash(prov_, algid, des, 0, &made), NTE_BAD_ALGID);
    }
    EXPECT_EQ(made, 0x55u) << "a refused creation hands out no handle";
    EXPECT_EQ(core::LiveHandleCount(), live) << "no refused call made or freed a handle";
    ASSERT_TRUE(CPHashData(prov_, mine, kAbc, 3, 0));
    EXPECT_EQ(Value(mine), Hex("a9993e364706816aba3e25717850c26c9cd0d89d")) << "nothing refused was fed";
    EXPECT_TRUE(CPDestroyHash(prov_, mine) && CPReleaseContext(other, 0));
}

}  // namespace
}  // namespace kelm::csp::testing
