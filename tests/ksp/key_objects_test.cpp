// Key objects: which key a name and a key kind open, the lengths they report, keys generated on
// the card through the table and opened by the CryptoAPI side; provider and key
// properties with their buffer sizes, and key enumeration from its first call to the release of
// its state.
#include <algorithm>
#include <string>
#include <vector>

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

    // The CryptoAPI side opens what the key storage side made.
    HCRYPTPROV context = 0;
    ASSERT_TRUE(CPAcquireContext(&context, "made-exch", 0, nullptr)) << std::hex << GetLastError();
    EXPECT_TRUE(CPReleaseContext(context, 0));
}

TEST_F(KeyObjects, ProviderPropertiesAndTheirBuffers) {
    Insert();
    const NCRYPT_PROV_HANDLE provider = OpenProvider();
    const struct { const char16_t* name; DWORD flags; SECURITY_STATUS status; DWORD value; } cases[] = {
        {u"Impl Type", 0, 0, 2}, {u"Max Name Length", 0, 0, 260}, {u"Version", NCRYPT_SILENT_FLAG, 0, 0x10000},
        {u"Security Descr Support", 0, 0, 1}, {u"Name", 0, NTE_NOT_SUPPORTED, 0},
        {u"Use Context", 0, NTE_NOT_SUPPORTED, 0}, {u"impl type", 0, NTE_NOT_SUPPORTED, 0},
        {u"Impl Type", 0x41, NTE_BAD_FLAGS, 0}, {nullptr, 0, NTE_INVALID_PARAMETER, 0}};
    for (const auto& c : cases) {
        DWORD value = 0, size = 99;
        EXPECT_EQ(table_->GetProviderProperty(provider, c.name, reinterpret_cast<BYTE*>(&value), 4, &size, c.flags),
                  c.status);
        EXPECT_EQ(value, c.value);
        EXPECT_EQ(size, c.status == 0 ? 4u : 0u);
    }
    const std::u16string long_name(65, u'a');
    DWORD size = 99;
    EXPECT_EQ(table_->GetProviderProperty(provider, long_name.c_str(), nullptr, 0, &size, 0), NTE_INVALID_PARAMETER);
    EXPECT_EQ(table_->GetProviderProperty(provider, u"Version", nullptr, 0, &size, 0), 0);
    EXPECT_EQ(size, 4u);
    BYTE small[3] = {};
    EXPECT_EQ(table_->GetProviderProperty(provider, u"Version", small, 3, &size, 0), NTE_BUFFER_TOO_SMALL);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(table_->GetProviderProperty(provider, u"Version", small, 3, nullptr, 0), NTE_INVALID_PARAMETER);
    EXPECT_EQ(table_->SetProviderProperty(provider, u"Impl Type", nullptr, 4, 0), NTE_INVALID_PARAMETER);

    const NCRYPT_KEY_HANDLE key = OpenKey(provider);
    char16_t group[4] = {};
    EXPECT_EQ(table_->GetKeyProperty(provider, key, u"Algorithm Group", nullptr, 0, &size, 0), 0);
    EXPECT_EQ(size, 8u);
    EXPECT_EQ(table_->GetKeyProperty(provider, key, u"Algorithm Group", reinterpret_cast<BYTE*>(group), 4, &size, 0),
              NTE_NO_MEMORY);
    EXPECT_EQ(table_->GetKeyProperty(provider, key, u"Algorithm Group", reinterpret_cast<BYTE*>(group), 8, &size, 0), 0);
    EXPECT_EQ(std::u16string(group), u"RSA");
    EXPECT_EQ(table_->GetKeyProperty(provider, key, u"Length", nullptr, 0, &size, 0), NTE_NOT_SUPPORTED);
    EXPECT_EQ(table_->SetKeyProperty(provider, key, u"HWND Handle", nullptr, 0, 0), 0);
}

TEST_F(KeyObjects, EnumerationGivesFourNamesAndTheStateIsFreedOnce) {
    Insert();
    ASSERT_TRUE(sim::AddContainer(Card(), "sig-only", 0x8001, 0, &error_));
    const NCRYPT_PROV_HANDLE provider = OpenProvider();
    std::vector<std::pair<std::u16string, DWORD>> names;
    PVOID state = nullptr;
    NCryptKeyName* name = nullptr;
    SECURITY_STATUS status = 0;
    while ((status = table_->EnumKeys(provider, nullptr, &name, &state, 0)) == 0) {
        EXPECT_EQ(std::u16string(name->pszAlgid), u"RSA");
        EXPECT_EQ(name->dwFlags, 0u);
        names.emplace_back(name->pszName, name->dwLegacyKeySpec);
        EXPECT_EQ(table_->FreeBuffer(name), 0);
    }
    EXPECT_EQ(status, NTE_NO_MORE_ITEMS);
    const std::vector<std::pair<std::u16string, DWORD>> expected = {
        {u"keys", AT_SIGNATURE}, {u"xonly", AT_KEYEXCHANGE}, {u"sig-only", AT_SIGNATURE}, {u"", 0}};
    EXPECT_EQ(names, expected);
    // The last container that opened is the provider's: a key opened now comes from it.
    NCRYPT_KEY_HANDLE key = 0;
    EXPECT_EQ(table_->OpenKey(provider, &key, u"keys", AT_KEYEXCHANGE, 0), NTE_NO_KEY);
    EXPECT_EQ(table_->EnumKeys(provider, nullptr, &name, &state, 0), NTE_NO_MORE_ITEMS) << "the state stays registered";
    EXPECT_EQ(table_->FreeBuffer(state), 0);
    EXPECT_EQ(table_->EnumKeys(provider, nullptr, &name, &state, 0), NTE_INVALID_PARAMETER);
    int not_ours = 0;
    EXPECT_EQ(table_->FreeBuffer(&not_ours), 0) << "an address the provider did not hand out is left alone";
    PVOID forged = &not_ours;
    EXPECT_EQ(table_->EnumKeys(provider, nullptr, &name, &forged, 0), NTE_INVALID_PARAMETER);
    EXPECT_EQ(ui_.DialogCount(), 0u);
}

// Names the open could not read (the card pulled right after the connection's probe) are read
// by the enumeration: NTE_FAIL while the card is away, the card's names once it is back.
TEST_F(KeyObjects, NamesUnreadAtOpenAreReadByEnumeration) {
    Insert();
    OpenProvider();
    sim_->backend().PullCardAfter(sim_->reader(), 0xA4);
    const NCRYPT_PROV_HANDLE provider = OpenProvider();
    PVOID state = nullptr;
    NCryptKeyName* name = nullptr;
    EXPECT_EQ(table_->EnumKeys(provider, nullptr, &name, &state, 0), NTE_FAIL);
    sim_->backend().InsertCard(sim_->reader(), sim_->backend().TakePulledCard(sim_->reader()));
    ASSERT_EQ(card::Init_PCSC_Object(CRYPT_SILENT), 1);
    ASSERT_EQ(table_->EnumKeys(provider, nullptr, &name, &state, 0), 0);
    EXPECT_EQ(std::u16string(name->pszName), u"keys");
    EXPECT_EQ(name->dwLegacyKeySpec, DWORD{AT_SIGNATURE});
    EXPECT_EQ(table_->FreeBuffer(name) | table_->FreeBuffer(state), 0);
}

}  // namespace
}  // namespace kelm::ksp::testing
