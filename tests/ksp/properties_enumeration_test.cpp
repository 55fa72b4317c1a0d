// Provider and key properties with their buffer sizes, and key enumeration
// from its first call to the release of its state.
#include <string>
#include <vector>

#include "ksp_card.h"

namespace kelm::ksp::testing {
namespace {

class PropertiesAndEnumeration : public KspCardTest {};

TEST_F(PropertiesAndEnumeration, ProviderPropertiesAndTheirBuffers) {
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

TEST_F(PropertiesAndEnumeration, EnumerationGivesFourNamesAndTheStateIsFreedOnce) {
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
TEST_F(PropertiesAndEnumeration, NamesUnreadAtOpenAreReadByEnumeration) {
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
