// CPGenKey and CPImportKey on the simulated card: refused requests, key pairs generated once, and
// key BLOBs made outside the provider (OpenSSL wraps a session key with the card's exchange key)
// or damaged on purpose.
#include "card_keys.h"

namespace kelm::csp::testing {
namespace {

using Bytes = Blob;

// A context on the container "c", made on a blank card with the PIN typed in the dialog, and a
// verify context.
class NewKeys : public CardTest {
protected:
    void SetUp() override {
        CardTest::SetUp(), InsertBlank();
        ui_.QueueDialogAction(platform::DialogAction{IDOK, kelm::testing::kSimPin});
        ASSERT_TRUE(CPAcquireContext(&prov_, "c", CRYPT_NEWKEYSET, nullptr));
        ASSERT_TRUE(CPAcquireContext(&verify, nullptr, CRYPT_VERIFYCONTEXT, nullptr));
    }
    void Release() override { CPReleaseContext(verify, 0), verify = 0; }

    HCRYPTPROV& prov = prov_;
    HCRYPTPROV verify = 0;
};

Bytes Le32(DWORD v) { return {BYTE(v), BYTE(v >> 8), BYTE(v >> 16), BYTE(v >> 24)}; }

// bType, bVersion 2, reserved, aiKeyAlg, then the rest.
Bytes KeyBlob(BYTE type, ALG_ID algid, const Bytes& rest) {
    Bytes blob{type, 2, 0, 0};
    for (const Bytes& part : {Le32(algid), rest}) blob.insert(blob.end(), part.begin(), part.end());
    return blob;
}

TEST_F(NewKeys, GenKeyMakesAKeyPairOnceAndRefusesBadRequestsBeforeTheCard) {
    const size_t handles = core::LiveHandleCount();
    // The verify context's container is not on the card: a session key fails after asking it.
    const struct { HCRYPTPROV prov; ALG_ID algid; DWORD flags; LONG error; } refused[] = {
        {prov, CALG_DES, CRYPT_ARCHIVABLE, NTE_BAD_FLAGS}, {prov, CALG_DES, 0x8, NTE_BAD_FLAGS},
        {prov ^ 0x10, CALG_DES, 0, NTE_BAD_UID},           {prov, CALG_RC2, 0, NTE_BAD_ALGID},
        {prov, 0, 0, NTE_BAD_ALGID},                       {prov, CALG_RSA_SIGN, 0, NTE_FAIL},
        {verify, AT_SIGNATURE, 0, NTE_PERM},               {verify, CALG_DES, 0, NTE_BAD_KEYSET},
    };
    HCRYPTKEY key = 0;
    for (const auto& c : refused) {
        sim_->backend().ClearLog();
        EXPECT_FALSE(CPGenKey(c.prov, c.algid, c.flags, &key));
        EXPECT_EQ(static_cast<DWORD>(c.error), GetLastError()) << std::hex << c.algid << " " << c.flags;
        EXPECT_EQ(c.error == NTE_BAD_KEYSET, !sim_->backend().Log().empty());
    }
    EXPECT_EQ(handles, core::LiveHandleCount());

    ASSERT_TRUE(CPGenKey(prov, AT_SIGNATURE, 0x00800001, &key)) << std::hex << GetLastError();  // 1024 in the upper bits
    EXPECT_EQ(1u, ui_.DialogCount()) << "the PIN typed for the container serves the generation";
    EXPECT_EQ(1024u, KeyRecord(key)->KeyLen);
    EXPECT_EQ(static_cast<DWORD>(CRYPT_EXPORT), KeyRecord(key)->Permissions);
    sim_->backend().ClearLog();
    EXPECT_FALSE(CPGenKey(prov, AT_SIGNATURE, 0, &key));
    EXPECT_EQ(static_cast<DWORD>(NTE_EXISTS), GetLastError());
    EXPECT_TRUE(sim_->backend().Log().empty());
}

// A triple-DES key wrapped by OpenSSL with the card's exchange key imports, with the exchange key
// given or not; damaged blobs are refused, each with its error and no handle.
TEST_F(NewKeys, KeyBlobsMadeOutsideTheProviderImport) {
    HCRYPTKEY exchange = 0, des = 0, imported = 0;
    ASSERT_TRUE(CPGenKey(prov, AT_KEYEXCHANGE, 0, &exchange) && CPGenKey(prov, CALG_DES, 0, &des));
    Bytes modulus, exponent;
    ASSERT_TRUE(sim::PublicKeyOf(Card(), 0x8003, &modulus, &exponent));
    const Bytes session = test::RandomBytes(24, 7);
    const auto wrapped = [&](const Bytes& key, Bytes rest = Le32(CALG_RSA_KEYX)) {
        const Bytes block = test::OpenSslEncryptRsaPkcs1(modulus, exponent, key);
        return rest.insert(rest.end(), block.rbegin(), block.rend()), rest;
    };
    const Bytes simple = KeyBlob(1, CALG_3DES, wrapped(session));
    for (const HCRYPTKEY unwrap : {exchange, HCRYPTKEY{0}}) {
        ASSERT_TRUE(CPImportKey(prov, simple.data(), 140, unwrap, 0, &imported)) << std::hex << GetLastError();
        EXPECT_EQ(session, Bytes(KeyRecord(imported)->KeyData, KeyRecord(imported)->KeyData + 24));
    }
    // A PUBLICKEYBLOB stands for its slot: the entry reads 00 02 01 02 for the exchange slot too.
    Bytes rest = Le32(0x31415352);  // "RSA1"
    for (const Bytes& part : {Le32(1024), Le32(65537), Bytes(modulus.rbegin(), modulus.rend())}) {
        rest.insert(rest.end(), part.begin(), part.end());
    }
    const Bytes pub = KeyBlob(6, CALG_RSA_KEYX, rest);
    ASSERT_TRUE(CPImportKey(prov, pub.data(), DWORD(pub.size()), 0, 0, &imported)) << std::hex << GetLastError();
    const BYTE* entry = KeyRecord(imported)->Card_ContainerStatus + core::STATUS_OFFSET_EXCHANGE - 1;
    EXPECT_EQ(Bytes(entry, entry + 4), (Bytes{0, 2, 1, 2}));
    Bytes garbage = Le32(CALG_RSA_KEYX);  // below the modulus, so the card answers: not a type 2 block
    garbage.resize(131, 0x5A), garbage.push_back(0);
    const struct { const char* what; Bytes blob; HCRYPTKEY unwrap; HCRYPTPROV prov; LONG error; } cases[] = {
        {"version 3", [&] { Bytes b = simple; b[1] = 3; return b; }(), exchange, prov, NTE_BAD_VER},
        {"wrapped by another algorithm", [&] { Bytes b = simple; b[9] = 0x24; return b; }(), exchange, prov, NTE_BAD_ALGID},
        {"one byte short", Bytes(simple.begin(), simple.end() - 1), exchange, prov, NTE_BAD_DATA},
        {"not a type 2 block", KeyBlob(1, CALG_3DES, garbage), exchange, prov, NTE_BAD_KEY},
        {"a DES key in a triple-DES blob", KeyBlob(1, CALG_3DES, wrapped(Bytes(8, 1))), exchange, prov, NTE_BAD_DATA},
        {"unwrapped by a session key", simple, des, prov, NTE_BAD_KEY},
        {"unwrapping key of another context", simple, exchange, verify, NTE_BAD_KEY},
        {"no exchange key to fall back on", simple, 0, verify, NTE_NO_KEY},
        {"a private key", KeyBlob(7, CALG_RSA_KEYX, Bytes(140, 1)), 0, prov, NTE_BAD_TYPE},
        {"a public key without its RSA1 magic", KeyBlob(6, CALG_RSA_KEYX, Bytes(140, 1)), 0, prov, NTE_BAD_DATA},
    };
    for (const auto& c : cases) {
        HCRYPTKEY key = 0x55;
        EXPECT_FALSE(CPImportKey(c.prov, c.blob.data(), static_cast<DWORD>(c.blob.size()), c.unwrap, 0, &key)) << c.what;
        EXPECT_EQ(static_cast<DWORD>(c.error), GetLastError()) << c.what;
        EXPECT_EQ(0x55u, key) << c.what;
    }
}

}  // namespace
}  // namespace kelm::csp::testing
