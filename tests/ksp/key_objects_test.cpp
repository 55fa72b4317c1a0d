// Key objects: which key a name and a key kind open, the lengths they report, keys
// generated on the card through the table, and containers shared with the CryptoAPI side.
#include <algorithm>
#include <string>

#include "kelm/csp.h"
#include "ksp_card.h"
#include "ksp/ksp_objects.h"

namespace kelm::ksp::testing {
namespace {

class KeyObjects : public KspCardTest {
protected:
    // The opened key's length in bits and its key context's algorithm, or the refusal.
    std::string Opened(const char16_t* name, DWORD key_spec) {
        const NCRYPT_PROV_HANDLE provider = OpenProvider();
        NCRYPT_KEY_HANDLE handle = 0x55;
        const SECURITY_STATUS status = table_->OpenKey(provider, &handle, name, key_spec, 0);
        if (status != 0) return "refused " + std::to_string(status) + (handle == 0 ? "" : " (handle written)");
        const KSP_KEY* key = KELMKSPValidateKeyHandle(handle);
        return std::to_string(key->dwKeyBitLength) + " " + std::to_string(key->pKeyCTX->Algid);
    }
    bool OnCard(const std::string& name, WORD* signature, WORD* exchange) {
        for (const sim::ContainerInfo& info : sim::ContainersOf(Card())) {
            if (info.name != name) continue;
            *signature = info.signature_file, *exchange = info.exchange_file;
            return true;
        }
        return false;
    }
};

TEST_F(KeyObjects, NameAndKeySpecificationChooseTheKey) {
    const std::u16string long_name = u"keys-and-then-some-more-characters-xyz", too_long(260, u'k');
    const struct { int type; const char16_t* name; DWORD key_spec; std::string result; } cases[] = {
        {1, u"keys", 0, "1024 9216"},
        {1, u"keys", AT_SIGNATURE, "1024 9216"},
        {1, u"keys", AT_KEYEXCHANGE, "1024 41984"},
        {1, u"keys", 3, "refused " + std::to_string(NTE_NO_KEY)},
        {1, u"xonly", 0, "refused " + std::to_string(NTE_NO_KEY)},
        {1, u"xonly", AT_KEYEXCHANGE, "1024 41984"},
        {6, u"keys", AT_KEYEXCHANGE, "2048 41984"},
        {1, u"nowhere", 0, "refused " + std::to_string(0x6A82)},  // the card's status, unchanged
        {1, too_long.c_str(), 0, "refused " + std::to_string(NTE_INVALID_PARAMETER)},
        {1, nullptr, 0, "refused " + std::to_string(NTE_INVALID_PARAMETER)},
    };
    for (const auto& c : cases) {
        Insert(c.type);
        EXPECT_EQ(Opened(c.name, c.key_spec), c.result) << c.type << " " << c.key_spec;
    }
    // A name longer than 36 bytes opens the container its first 36 bytes name.
    Insert();
    ASSERT_TRUE(sim::AddContainer(Card(), std::string(long_name.begin(), long_name.begin() + 36), 0x8001, 0, &error_));
    EXPECT_EQ(Opened(long_name.c_str(), 0), "1024 9216");
    EXPECT_EQ(ui_.DialogCount(), 0u) << "opening a key needs no PIN";
}

TEST_F(KeyObjects, PersistedKeysAreGeneratedOnTheCardAndSeenByTheCryptoApiSide) {
    Insert();
    const NCRYPT_PROV_HANDLE provider = OpenProvider();
    NCRYPT_KEY_HANDLE key = 0x55;
    EXPECT_EQ(table_->CreatePersistedKey(provider, &key, u"ECDSA_P256", u"made", 0, 0), NTE_NOT_SUPPORTED);
    EXPECT_EQ(key, 0x55u);
    EXPECT_EQ(ui_.DialogCount(), 0u);

    // 0 makes the signature key, CALG_RSA_KEYX the exchange key; the PIN is asked once.
    ASSERT_EQ(table_->CreatePersistedKey(provider, &key, u"RSA", u"made-sig", 0, NCRYPT_OVERWRITE_KEY_FLAG), 0);
    EXPECT_EQ(KELMKSPValidateKeyHandle(key)->dwKeyBitLength, 1024u);
    ASSERT_EQ(table_->CreatePersistedKey(provider, &key, u"RSA", u"made-exch", CALG_RSA_KEYX, 0), 0);
    EXPECT_EQ(KELMKSPValidateKeyHandle(key)->pKeyCTX->Algid, static_cast<ALG_ID>(CALG_RSA_KEYX));
    EXPECT_EQ(ui_.DialogCount(), 1u);
    WORD signature = 0, exchange = 0;
    ASSERT_TRUE(OnCard("made-sig", &signature, &exchange));
    EXPECT_TRUE(signature != 0 && exchange == 0);
    ASSERT_TRUE(OnCard("made-exch", &signature, &exchange));
    EXPECT_TRUE(signature == 0 && exchange != 0);
    // A container that exists cannot be created again, whatever the flags; the card's code
    // comes back unchanged and nothing is left behind.
    const size_t containers = sim::ContainersOf(Card()).size();
    EXPECT_NE(table_->CreatePersistedKey(provider, &key, u"RSA", u"made-sig", 0, NCRYPT_OVERWRITE_KEY_FLAG), 0);
    EXPECT_EQ(sim::ContainersOf(Card()).size(), containers);

    // The CryptoAPI side opens what the key storage side made, and makes what it opens.
    HCRYPTPROV context = 0;
    ASSERT_TRUE(CPAcquireContext(&context, "made-exch", 0, nullptr)) << std::hex << GetLastError();
    EXPECT_TRUE(CPReleaseContext(context, 0));
    ASSERT_TRUE(CPAcquireContext(&context, "from-csp", CRYPT_NEWKEYSET, nullptr)) << std::hex << GetLastError();
    HCRYPTKEY generated = 0;
    ASSERT_TRUE(CPGenKey(context, AT_SIGNATURE, 0, &generated)) << std::hex << GetLastError();
    EXPECT_TRUE(CPReleaseContext(context, 0));
    const NCRYPT_PROV_HANDLE other = OpenProvider();
    const NCRYPT_KEY_HANDLE opened = OpenKey(other, u"from-csp");
    BYTE hash[32] = {}, signed_hash[128];
    DWORD length = 0;
    clock_.now_ms += 60000;
    ui_.QueueDialogAction(platform::DialogAction{IDOK, kelm::testing::kSimPin});
    EXPECT_EQ(table_->SignHash(other, opened, nullptr, hash, 32, signed_hash, 128, &length, 0), 0);
    EXPECT_EQ(length, 128u);
}

}  // namespace
}  // namespace kelm::ksp::testing
