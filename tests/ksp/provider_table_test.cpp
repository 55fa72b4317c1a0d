// The function table's version, the registration record, opening and freeing the provider, and the
// refusal of every handle that is not a live record of the kind a function expects.
#include <cstring>
#include <functional>
#include <string>

#include "ksp/ksp_functions.h"
#include "ksp/ksp_objects.h"
#include "ksp_card.h"

namespace kelm::ksp::testing {
namespace {

TEST(KeyStorageTable, OneConstantTableAndTheRegistrationRecord) {
    NCRYPT_KEY_STORAGE_FUNCTION_TABLE* table = nullptr;
    ASSERT_EQ(GetKeyStorageInterface(u"anything", &table, 7), 0);
    NCRYPT_KEY_STORAGE_FUNCTION_TABLE* again = nullptr;
    ASSERT_EQ(GetKeyStorageInterface(nullptr, &again, 0), 0);
    EXPECT_EQ(table, again);
    EXPECT_NE(GetKeyStorageInterface(nullptr, nullptr, 0), 0);
    EXPECT_EQ(table->Version.MajorVersion, 1);
    EXPECT_EQ(table->Version.MinorVersion, 0);
    // The slots themselves are exercised through the loaded library by the table program.
    static_assert(sizeof(NCRYPT_KEY_STORAGE_FUNCTION_TABLE) == sizeof(BCRYPT_INTERFACE_VERSION) + 4 + 26 * sizeof(void*));

    const CRYPT_PROVIDER_REG& registration = ProviderRegistration();
    ASSERT_EQ(registration.cAliases, 2u);
    EXPECT_EQ(std::u16string(registration.rgpszAliases[0]), u"KELM CSP V5");
    EXPECT_EQ(std::u16string(registration.rgpszAliases[1]), u"KELM CSP V1");
    EXPECT_EQ(registration.pKM, nullptr);
    const CRYPT_IMAGE_REG& image = *registration.pUM;
    EXPECT_EQ(std::u16string(image.pszImage), u"test_ksp") << "this program's file name, without its directory";
    ASSERT_EQ(image.cInterfaces, 1u);
    EXPECT_EQ(image.rgpInterfaces[0]->dwInterface, 0x00010001u);
    EXPECT_EQ(image.rgpInterfaces[0]->dwFlags, 1u);
    ASSERT_EQ(image.rgpInterfaces[0]->cFunctions, 1u);
    EXPECT_EQ(std::u16string(image.rgpInterfaces[0]->rgpszFunctions[0]), u"KEY_STORAGE");
}

class ProviderObjects : public KspCardTest {};

TEST_F(ProviderObjects, OnlyTheRegisteredNamesOpenAndARefusalDropsTheConnection) {
    Insert();
    const std::u16string long_name(254, u'K'), longer_name(255, u'K');
    const struct { const char16_t* name; SECURITY_STATUS status; } cases[] = {
        {u"KELM Smart Card Key Storage Provider", 0}, {u"KELM CSP V5", 0}, {u"KELM CSP V1", 0},
        {u"kelm csp v5", NTE_INVALID_PARAMETER}, {u"KELM CSP V5 ", NTE_INVALID_PARAMETER},
        {nullptr, NTE_INVALID_PARAMETER}, {long_name.c_str(), NTE_INVALID_PARAMETER},
        {longer_name.c_str(), NTE_INVALID_PARAMETER}};
    for (const auto& c : cases) {
        NCRYPT_PROV_HANDLE provider = 0x55;
        EXPECT_EQ(table_->OpenProvider(&provider, c.name, 0), c.status);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(c.status));
        if (c.status == 0) {
            EXPECT_NE(provider, 0x55u);
            EXPECT_NE(card::Session().Card, 0u) << "the session is up";
            const DWORD slept = clock_.total_slept_ms;
            EXPECT_EQ(table_->FreeProvider(provider), 0);
            EXPECT_TRUE(card::Session().Card == 0 && clock_.total_slept_ms - slept >= 1000) << "freeing ends the session";
        } else {
            EXPECT_EQ(provider, 0x55u) << "nothing written";
        }
    }
    OpenProvider();
    ASSERT_NE(card::Session().Card, 0u);
    NCRYPT_PROV_HANDLE refused = 0;
    EXPECT_EQ(table_->OpenProvider(&refused, u"other", 0), NTE_INVALID_PARAMETER);
    EXPECT_EQ(card::Session().Card, 0u) << "a refused name still drops the card connection";

    sim_->backend().RemoveCard(kelm::testing::kSimReaderName);
    NCRYPT_PROV_HANDLE none = 0x77;
    EXPECT_EQ(table_->OpenProvider(&none, KELM_KSP_NAME, NCRYPT_SILENT_FLAG), 1);
    EXPECT_EQ(none, 0x77u);
}

// Forged, freed and cross-type handles, and a key handle of another provider, are refused before
// anything else; a freed key handle never acts on the key that may have taken its memory.
TEST_F(ProviderObjects, ForgedFreedAndCrossTypeHandlesAreRefusedBeforeAnythingElse) {
    Open();
    const NCRYPT_PROV_HANDLE provider = provider_, second = OpenProvider();
    const NCRYPT_KEY_HANDLE key = signer_;
    NCRYPT_PROV_HANDLE freed = 0;
    ASSERT_EQ(table_->OpenProvider(&freed, KELM_KSP_NAME, 0), 0);
    NCRYPT_KEY_HANDLE freed_key = OpenKey(freed);
    ASSERT_EQ(table_->FreeKey(freed, freed_key), 0);
    // Made right after, the other provider's key may well take the freed key's memory.
    const NCRYPT_KEY_HANDLE live = OpenKey(second, u"xonly", AT_KEYEXCHANGE);
    ASSERT_EQ(table_->FreeProvider(freed), 0);
    // A copy of a live record carries the right length and magic, at an address never handed out.
    alignas(16) BYTE forged[4096];
    std::memcpy(forged, KELMKSPValidateProvHandle(provider), sizeof(KSP_PROVIDER));
    std::memcpy(forged + sizeof forged / 2, KELMKSPValidateKeyHandle(key), sizeof(KSP_KEY));
    const auto forged_provider = reinterpret_cast<NCRYPT_PROV_HANDLE>(forged);
    const auto forged_key = reinterpret_cast<NCRYPT_KEY_HANDLE>(forged + sizeof forged / 2);

    BYTE buffer[300] = {};
    DWORD size = 0;
    PVOID state = nullptr;
    NCryptKeyName* name = nullptr;
    NCryptAlgorithmName* algorithms = nullptr;
    const std::function<SECURITY_STATUS(NCRYPT_PROV_HANDLE)> with_provider[] = {
        [&](auto p) { return table_->OpenKey(p, nullptr, nullptr, 0, 0); },
        [&](auto p) { return table_->CreatePersistedKey(p, nullptr, nullptr, nullptr, 0, 0); },
        [&](auto p) { return table_->GetProviderProperty(p, nullptr, nullptr, 0, nullptr, 0); },
        [&](auto p) { return table_->SetProviderProperty(p, nullptr, nullptr, 0, 0); },
        [&](auto p) { return table_->FreeProvider(p); },
        [&](auto p) { return table_->IsAlgSupported(p, nullptr, 0); },
        [&](auto p) { return table_->EnumAlgorithms(p, 0, &size, &algorithms, 0); },
        [&](auto p) { return table_->EnumKeys(p, nullptr, &name, &state, 0); },
        [&](auto p) { return table_->ImportKey(p, 0, nullptr, nullptr, nullptr, nullptr, 0, 0); },
        [&](auto p) { return table_->NotifyChangeKey(p, nullptr, 0); },
        [&](auto p) { return table_->SecretAgreement(p, 0, 0, nullptr, 0); },
        [&](auto p) { return table_->DeriveKey(p, 0, nullptr, nullptr, nullptr, 0, nullptr, 0); },
        [&](auto p) { return table_->FreeSecret(p, 0); },
    };
    const std::function<SECURITY_STATUS(NCRYPT_PROV_HANDLE, NCRYPT_KEY_HANDLE)> with_key[] = {
        [&](auto p, auto k) { return table_->GetKeyProperty(p, k, nullptr, nullptr, 0, nullptr, 0); },
        [&](auto p, auto k) { return table_->SetKeyProperty(p, k, nullptr, nullptr, 0, 0); },
        [&](auto p, auto k) { return table_->FinalizeKey(p, k, 0); },
        [&](auto p, auto k) { return table_->DeleteKey(p, k, 0); },
        [&](auto p, auto k) { return table_->FreeKey(p, k); },
        [&](auto p, auto k) { return table_->Encrypt(p, k, nullptr, 0, nullptr, buffer, 300, &size, 0x1000); },
        [&](auto p, auto k) { return table_->Decrypt(p, k, nullptr, 0, nullptr, buffer, 300, &size, 0x1000); },
        [&](auto p, auto k) { return table_->ExportKey(p, k, 0, nullptr, nullptr, buffer, 300, nullptr, 0x40); },
        [&](auto p, auto k) { return table_->SignHash(p, k, nullptr, buffer, 20, buffer, 300, &size, 0); },
        [&](auto p, auto k) { return table_->VerifySignature(p, k, nullptr, nullptr, 0, nullptr, 0, 0x1000); },
        [&](auto p, auto k) { return table_->PromptUser(p, k, nullptr, 0); },
    };
    const NCRYPT_PROV_HANDLE bad_providers[] = {0, freed, forged_provider, key, 1};
    for (const auto& call : with_provider) {
        for (NCRYPT_PROV_HANDLE bad : bad_providers) EXPECT_EQ(call(bad), NTE_INVALID_HANDLE) << std::hex << bad;
    }
    const NCRYPT_KEY_HANDLE bad_keys[] = {0, freed_key, forged_key, provider, 1, live};
    for (const auto& call : with_key) {
        for (NCRYPT_PROV_HANDLE bad : bad_providers) EXPECT_EQ(call(bad, key), NTE_INVALID_HANDLE);
        for (NCRYPT_KEY_HANDLE bad : bad_keys) EXPECT_EQ(call(provider, bad), NTE_INVALID_HANDLE) << std::hex << bad;
        EXPECT_EQ(call(second, freed_key), NTE_INVALID_HANDLE);
    }
    EXPECT_EQ(buffer[0], 0) << "nothing was written";
    EXPECT_EQ(ui_.DialogCount(), 0u) << "no PIN was asked for";
    // The live key is still its provider's, and signs with its own key (80 02).
    BYTE hash[20] = {1, 2, 3}, signature[128];
    DWORD length = 0;
    ASSERT_EQ(table_->SignHash(second, live, nullptr, hash, 20, signature, 128, &length, 0), 0);
    const auto [modulus, exponent] = PublicKey(0x8002);
    EXPECT_TRUE(test::OpenSslVerifyRsaPkcs1(modulus, exponent, "SHA1", Blob(hash, hash + 20), Blob(signature, signature + length)));
}

}  // namespace
}  // namespace kelm::ksp::testing
