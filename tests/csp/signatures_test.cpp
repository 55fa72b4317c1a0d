// Signatures through the entry points on every card type, checked by OpenSSL against the public
// key the simulated card holds; the commands each signature sends; the card-side verification
// and its limits; the public key as a PUBLICKEYBLOB; refused requests and random bytes.
#include <algorithm>

#include "card_keys.h"
#include "sim/card_state.h"

namespace kelm::csp::testing {
namespace {

DWORD LittleEndian(const BYTE* at) { return at[0] | at[1] << 8 | at[2] << 16 | DWORD{at[3]} << 24; }

class Signatures : public CardTest {
protected:
    // A value of the provider's registry key, as stored; empty when missing.
    Blob ProviderSetting(const char* name) {
        HKEY key = nullptr;
        Blob value(64);
        DWORD size = DWORD(value.size());
        const bool found = RegOpenKeyExA(HKEY_CURRENT_USER, "SOFTWARE\\VESK\\ROSMAC10", 0, KEY_READ, &key) == 0 &&
                           RegQueryValueExA(key, name, nullptr, nullptr, value.data(), &size) == 0;
        if (key != nullptr) RegCloseKey(key);
        value.resize(found ? size : 0);
        return value;
    }
};

TEST_F(Signatures, VerifyWithOpenSslOnEveryCardType) {
    // {type, 2048-bit keys, RSA OPERATION commands per signature}
    const std::tuple<int, bool, size_t> cards[] = {{1, false, 1}, {3, false, 1}, {5, false, 1},
                                                   {5, true, 2},  {6, true, 2},  {7, false, 1}};
    // What the card-side check says of a good 1024-bit signature: it knows only the SHA-1 and MD5
    // DigestInfo, and an SSL3 value is never verified.
    const std::tuple<ALG_ID, const char*, LONG> hashes[] = {{CALG_MD5, "MD5", 0},
                                                            {CALG_SHA1, "SHA1", 0},
                                                            {CALG_SHA_256, "SHA256", NTE_BAD_SIGNATURE},
                                                            {CALG_SSL3_SHAMD5, "MD5-SHA1", NTE_BAD_ALGID}};
    for (const auto& [type, wide, rsa_commands] : cards) {
        SCOPED_TRACE("card type " + std::to_string(type) + (wide ? " 2048" : ""));
        Insert(type, wide);
        const DWORD length = wide ? 256 : 128;
        const HCRYPTKEY key = UserKey(AT_SIGNATURE);
        const auto [modulus, exponent] = PublicKey(0x8001);
        const std::string document = "document on card type " + std::to_string(type);
        const Blob data(document.begin(), document.end());
        for (const auto& [algid, name, verified] : hashes) {
            Blob value = test::OpenSslDigest(algid == CALG_SSL3_SHAMD5 ? "MD5" : name, data), sha1;
            HCRYPTHASH hash = 0;
            if (algid == CALG_SSL3_SHAMD5) {
                sha1 = test::OpenSslDigest("SHA1", data), value.insert(value.end(), sha1.begin(), sha1.end());
                ASSERT_TRUE(CPCreateHash(prov_, algid, 0, 0, &hash) &&
                            CPSetHashParam(prov_, hash, HP_HASHVAL, value.data(), 0));
            } else {
                hash = Hash(algid, document);
            }
            DWORD size = 0;
            ASSERT_TRUE(CPSignHash(prov_, hash, AT_SIGNATURE, nullptr, 0, nullptr, &size));
            EXPECT_TRUE(GetLastError() == ERROR_MORE_DATA && size == length) << name;
            PinAndClearLog();
            Blob signature(length + 1, 0xEE);
            ASSERT_TRUE(CPSignHash(prov_, hash, AT_SIGNATURE, nullptr, 0, signature.data(), &size)) << name;
            // SELECT directory, FIND CONTAINER, SELECT key file, GET FILE INFO, SELECT key file.
            EXPECT_TRUE(size == length && signature.back() == 0xEE && Sent() == 5 + rsa_commands &&
                        Sent(0x4E) == rsa_commands)
                << name << ": " << Sent() << " commands";
            signature.pop_back();
            const Blob big_endian(signature.rbegin(), signature.rend());
            EXPECT_TRUE(test::OpenSslVerifyRsaPkcs1(modulus, exponent, name, value, big_endian)) << name;
            // Only 128-byte signatures are checked, on the card; a changed one fails.
            EXPECT_REFUSED(CPVerifySignature(prov_, hash, signature.data(), length, key, nullptr, 0),
                           wide ? NTE_BAD_SIGNATURE : verified);
            signature[7] ^= 1;
            EXPECT_REFUSED(CPVerifySignature(prov_, hash, signature.data(), length, key, nullptr, 0),
                           wide || verified == 0 ? NTE_BAD_SIGNATURE : verified);
            EXPECT_REFUSED(CPHashData(prov_, hash, data.data(), 1, 0), NTE_BAD_HASH_STATE) << "signing finished it";
            EXPECT_TRUE(CPDestroyHash(prov_, hash));
        }
        // The public key as a PUBLICKEYBLOB; the card's public-key code and type are kept in the
        // registry for card types 1 and 5 only.
        RegDeleteKeyA(HKEY_CURRENT_USER, "SOFTWARE\\VESK\\ROSMAC10");
        DWORD size = 0;
        ASSERT_TRUE(CPExportKey(prov_, key, 0, PUBLICKEYBLOB, 0, nullptr, &size) && size == length + 20);
        Blob blob(size);
        ASSERT_TRUE(CPExportKey(prov_, key, 0, PUBLICKEYBLOB, 0, blob.data(), &size));
        EXPECT_EQ(HexOf(Blob(blob.begin(), blob.begin() + 12)), "06 02 00 00 00 24 00 00 52 53 41 31");
        EXPECT_TRUE(LittleEndian(&blob[12]) == length * 8 && LittleEndian(&blob[16]) == 65537);
        EXPECT_EQ(Blob(blob.rbegin(), blob.rend() - 20), modulus);
        const Blob code = ProviderSetting("PKMac"), card_type = ProviderSetting("CardType");
        const bool kept = type == 1 || type == 5;
        EXPECT_TRUE(code.size() == (kept ? 8u : 0u) && card_type == (kept ? Blob{BYTE(type), 0, 0, 0} : Blob{}));
        EXPECT_TRUE(CPDestroyKey(prov_, key));
    }
}

// The exponent as the card's record gives it: none exports as pubexp 0, one longer than the four
// bytes of pubexp is not a key a PUBLICKEYBLOB can carry.
TEST_F(Signatures, PublicKeyBlobTakesTheCardsExponentAsItIs) {
    const std::tuple<int, Blob, LONG> cards[] = {{1, {}, 0}, {3, {1, 0, 0, 0, 1}, NTE_BAD_KEY}};
    for (const auto& [type, exponent, error] : cards) {
        Insert(type);
        for (sim::KeyFile& file : Card().image.key_files) file.key.e = file.id == 0x8001 ? exponent : file.key.e;
        const HCRYPTKEY key = UserKey(AT_SIGNATURE);
        Blob blob(148, 0xEE);
        DWORD size = DWORD(blob.size());
        EXPECT_REFUSED(CPExportKey(prov_, key, 0, PUBLICKEYBLOB, 0, blob.data(), &size), error) << type;
        EXPECT_TRUE(error != 0 || LittleEndian(&blob[16]) == 0) << type;
        EXPECT_TRUE(CPDestroyKey(prov_, key));
    }
}

TEST_F(Signatures, RefusedRequestsTouchNoCard) {
    Insert(1);
    HCRYPTPROV half = 0;
    HCRYPTHASH stale = Hash(CALG_SHA1, "x"), fresh = 0, theirs = 0;
    ASSERT_TRUE(CPAcquireContext(&half, "half", 0, nullptr) && CPDestroyHash(prov_, stale) &&
                CPCreateHash(prov_, CALG_SHA1, 0, 0, &fresh) && CPCreateHash(half, CALG_SHA1, 0, 0, &theirs));
    const HCRYPTHASH sha1 = Hash(CALG_SHA1, "x"), md2 = Hash(CALG_MD2, "x");
    const HCRYPTKEY mine = UserKey(AT_SIGNATURE), their_key = UserKey(AT_SIGNATURE, half), other = Key(CALG_DES);
    NameKey(other, "half");  // a key of another container under this provider
    sim_->backend().ClearLog();
    // {provider, hash, which key, stated length, error}
    const std::tuple<HCRYPTPROV, HCRYPTHASH, DWORD, DWORD, LONG> signs[] = {
        {0, sha1, AT_SIGNATURE, 128, NTE_BAD_UID},      {prov_, sha1, 3, 128, NTE_BAD_ALGID},
        {half, 0, AT_KEYEXCHANGE, 128, NTE_NO_KEY},    {prov_, 0, AT_SIGNATURE, 128, NTE_BAD_HASH},
        {prov_, stale, CALG_RSA_SIGN, 128, NTE_BAD_HASH}, {prov_, theirs, AT_SIGNATURE, 128, NTE_BAD_HASH},
        {prov_, fresh, AT_SIGNATURE, 128, NTE_BAD_HASH_STATE}, {prov_, md2, AT_SIGNATURE, 128, NTE_BAD_ALGID},
        {prov_, sha1, AT_SIGNATURE, 64, ERROR_MORE_DATA},
    };
    for (const auto& [prov, hash, which, stated, error] : signs) {
        Blob signature(128, 0xEE);
        DWORD length = stated;
        EXPECT_REFUSED(CPSignHash(prov, hash, which, nullptr, 0, signature.data(), &length), error);
        EXPECT_TRUE(signature == Blob(128, 0xEE) && length == (error == ERROR_MORE_DATA ? 128 : stated));
    }
    // {hash, signature, length, key, error}
    const Blob bytes(128, 0x11);
    const std::tuple<HCRYPTHASH, const BYTE*, DWORD, HCRYPTKEY, LONG> verifies[] = {
        {0, bytes.data(), 128, mine, NTE_BAD_HASH},         {sha1, bytes.data(), 128, 0, NTE_BAD_KEY},
        {sha1, bytes.data(), 128, their_key, NTE_BAD_KEY},  {sha1, bytes.data(), 128, other, NTE_BAD_KEYSET},
        {sha1, nullptr, 128, mine, NTE_BAD_SIGNATURE},      {sha1, bytes.data(), 127, mine, NTE_BAD_SIGNATURE},
    };
    for (const auto& [hash, signature, length, key, error] : verifies) {
        EXPECT_REFUSED(CPVerifySignature(prov_, hash, signature, length, key, nullptr, 0), error);
    }
    BYTE random[4];
    EXPECT_REFUSED(CPGenRandom(prov_ ^ 0x10, 4, random), NTE_BAD_UID);
    EXPECT_REFUSED(CPGenRandom(prov_, 4, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(Sent() == 0 && ui_.DialogCount() == 0) << "no refused request reached the card or the user";

    // Nobody answers the PIN dialog: the card connection ends and nothing is signed.
    ui_.Clear();
    DWORD length = 128;
    EXPECT_REFUSED(CPSignHash(prov_, sha1, AT_SIGNATURE, nullptr, 0, random, &length), SCARD_W_CANCELLED_BY_USER);
    EXPECT_TRUE(ui_.DialogCount() == 1 && card::Session().Card == 0 && Sent(0x4E) == 0);
    EXPECT_TRUE(CPDestroyKey(prov_, mine) && CPDestroyKey(half, their_key) && CPReleaseContext(half, 0));
}

TEST_F(Signatures, RandomBytesComeEightPerCommandInChunksOf240) {
    Insert(1);
    for (DWORD length : {0u, 16u, 241u}) {
        Blob buffer(length + 1, 0xEE);
        sim_->backend().ClearLog();
        ASSERT_TRUE(CPGenRandom(prov_, length, buffer.data()));
        EXPECT_EQ(Sent(0x86), length == 241 ? 60u : length / 8) << length;
        // Written up to its length and no further: random bytes hold about one EE in 256, eight
        // or more in 241 about once in 100,000 runs.
        EXPECT_TRUE(buffer.back() == 0xEE && std::count(buffer.begin(), buffer.end() - 1, 0xEE) < 8) << length;
    }
    BYTE buffer[16];
    sim_->backend().ForceNextStatus(sim_->reader(), 0x6A82);
    EXPECT_REFUSED(CPGenRandom(prov_, sizeof buffer, buffer), NTE_FAIL);
}

}  // namespace
}  // namespace kelm::csp::testing
