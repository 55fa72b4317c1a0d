// The Reg… functions as the provider uses them, on the in-memory store.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kelm/winapi.h"
#include "support/registry_fixture.h"

namespace {

constexpr const char* kProviderKey = "SOFTWARE\\VESK\\ROSMAC10";

class RegistryFunctions : public kelm::test::InMemoryRegistryTest {
protected:
    HKEY Create(HKEY parent, const char* path, DWORD* disposition = nullptr) {
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyExA(parent, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key,
                                  disposition),
                  ERROR_SUCCESS);
        return key;
    }
    static LONG SetBytes(HKEY key, const char* name, DWORD type, const std::vector<BYTE>& data) {
        return RegSetValueExA(key, name, 0, type, data.data(), static_cast<DWORD>(data.size()));
    }
    static LONG SetString(HKEY key, const char* name, const std::string& text) {
        return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                              static_cast<DWORD>(text.size() + 1));
    }
};

TEST_F(RegistryFunctions, ValuesOfEachTypeReadBackWithTheirTypeAndSize) {
    HKEY key = Create(HKEY_CURRENT_USER, kProviderKey);
    const std::vector<BYTE> mac = {0x00, 0x11, 0xFF, 0x80, 0x7F, 0x01, 0x02, 0x03};
    const DWORD card_type = 0x01020304;
    ASSERT_EQ(SetBytes(key, "PKMac", REG_BINARY, mac), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, "CardType", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&card_type), 4),
              ERROR_SUCCESS);
    ASSERT_EQ(SetString(key, "sReaderName", "Reader \"A\" \\ 0"), ERROR_SUCCESS);

    DWORD type = 0;
    BYTE buffer[64] = {};
    DWORD size = sizeof buffer;
    ASSERT_EQ(RegQueryValueExA(key, "PKMac", nullptr, &type, buffer, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
    EXPECT_EQ(std::vector<BYTE>(buffer, buffer + size), mac);

    DWORD number = 0;
    size = sizeof number;
    ASSERT_EQ(RegQueryValueExA(key, "CardType", nullptr, &type, reinterpret_cast<BYTE*>(&number), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(number, card_type);

    char text[64] = {};
    size = sizeof text;
    ASSERT_EQ(RegQueryValueExA(key, "sReaderName", nullptr, &type, reinterpret_cast<BYTE*>(text), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(size, 15u);  // the terminating NUL counts
    EXPECT_STREQ(text, "Reader \"A\" \\ 0");
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(RegistryFunctions, SizeQueriesAndShortBuffersReportTheSizeNeeded) {
    HKEY key = Create(HKEY_CURRENT_USER, kProviderKey);
    ASSERT_EQ(SetString(key, "sReaderName", "Gemalto"), ERROR_SUCCESS);

    DWORD size = 0;
    DWORD type = 0;
    ASSERT_EQ(RegQueryValueExA(key, "sReaderName", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 8u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));

    char small[4] = {'x', 'x', 'x', 'x'};
    size = sizeof small;
    ASSERT_EQ(RegQueryValueExA(key, "sReaderName", nullptr, &type, reinterpret_cast<BYTE*>(small), &size),
              ERROR_MORE_DATA);
    EXPECT_EQ(size, 8u);
    EXPECT_EQ(std::string(small, 4), "xxxx") << "a short buffer is not written past or partly filled";

    // Type only, and a buffer without a size, which Windows refuses.
    EXPECT_EQ(RegQueryValueExA(key, "sReaderName", nullptr, &type, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExA(key, "sReaderName", nullptr, &type, reinterpret_cast<BYTE*>(small), nullptr),
              ERROR_INVALID_PARAMETER);

    // An empty value is found, with size 0.
    ASSERT_EQ(RegSetValueExA(key, "Empty", 0, REG_BINARY, nullptr, 0), ERROR_SUCCESS);
    size = 99;
    EXPECT_EQ(RegQueryValueExA(key, "Empty", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 0u);
    RegCloseKey(key);
}

TEST_F(RegistryFunctions, NamesAreComparedWithoutCase) {
    HKEY key = Create(HKEY_CURRENT_USER, "Software\\Microsoft\\Cryptography\\UserKeys\\MorvaCSP-Alice");
    ASSERT_EQ(SetString(key, "RandSeed", "one"), ERROR_SUCCESS);
    ASSERT_EQ(SetString(key, "RANDSEED", "two"), ERROR_SUCCESS);  // same value, replaced
    RegCloseKey(key);

    HKEY again = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "SOFTWARE\\microsoft\\CRYPTOGRAPHY\\userkeys\\morvacsp-ALICE", 0,
                            KEY_READ, &again),
              ERROR_SUCCESS);
    char text[8] = {};
    DWORD size = sizeof text;
    ASSERT_EQ(RegQueryValueExA(again, "randseed", nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size),
              ERROR_SUCCESS);
    EXPECT_STREQ(text, "two");

    DWORD disposition = 0;
    HKEY same = Create(HKEY_CURRENT_USER, "software\\MICROSOFT\\cryptography\\USERKEYS\\MORVACSP-alice", &disposition);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));

    // Null and "" both name the default value.
    ASSERT_EQ(SetString(same, nullptr, "default"), ERROR_SUCCESS);
    size = sizeof text;
    ASSERT_EQ(RegQueryValueExA(same, "", nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size), ERROR_SUCCESS);
    EXPECT_STREQ(text, "default");
    RegCloseKey(same);
    RegCloseKey(again);
}

TEST_F(RegistryFunctions, MissingKeysAndValuesAreFileNotFound) {
    HKEY key = reinterpret_cast<HKEY>(0x1);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, kProviderKey, 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key, nullptr);

    key = Create(HKEY_CURRENT_USER, kProviderKey);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(key, "CertMac", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteValueA(key, "CertMac"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, "SOFTWARE\\VESK\\Nothing"), ERROR_FILE_NOT_FOUND);

    // The two roots are separate trees.
    HKEY machine = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProviderKey, 0, KEY_READ, &machine), ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);
}

TEST_F(RegistryFunctions, CreateMakesMissingParentsAndReportsWhetherItCreated) {
    DWORD disposition = 0;
    HKEY key = Create(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Cryptography\\MachineKeys\\MorvaCSP-x", &disposition);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    HKEY parent = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Microsoft", 0, KEY_READ, &parent), ERROR_SUCCESS);

    // Relative to an open key, and the key itself through "".
    HKEY child = Create(parent, "Cryptography\\MachineKeys\\MorvaCSP-x", &disposition);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
    HKEY itself = nullptr;
    EXPECT_EQ(RegOpenKeyExA(child, "", 0, KEY_READ, &itself), ERROR_SUCCESS);
    EXPECT_NE(itself, child);
    for (HKEY open : {key, parent, child, itself}) EXPECT_EQ(RegCloseKey(open), ERROR_SUCCESS);
}

TEST_F(RegistryFunctions, DeletingValuesAndKeys) {
    HKEY key = Create(HKEY_CURRENT_USER, "Software\\Microsoft\\Cryptography\\UserKeys\\MorvaCSP-Bob");
    ASSERT_EQ(SetBytes(key, "PSKEYS", REG_BINARY, {1, 2, 3}), ERROR_SUCCESS);
    ASSERT_EQ(SetBytes(key, "RandSeed", REG_BINARY, {4}), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(key, "pskeys"), ERROR_SUCCESS);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(key, "PSKEYS", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegQueryValueExA(key, "RandSeed", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);

    HKEY root = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Microsoft\\Cryptography\\UserKeys", 0, KEY_ALL_ACCESS,
                            &root),
              ERROR_SUCCESS);
    // A key that still has subkeys stays, as on Windows.
    EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Microsoft\\Cryptography\\UserKeys"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyA(root, "MORVACSP-bob"), ERROR_SUCCESS);
    HKEY gone = nullptr;
    EXPECT_EQ(RegOpenKeyExA(root, "MorvaCSP-Bob", 0, KEY_READ, &gone), ERROR_FILE_NOT_FOUND);

    // The handle still open on the deleted key no longer reaches anything.
    EXPECT_EQ(RegQueryValueExA(key, "RandSeed", nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED);
    EXPECT_EQ(SetBytes(key, "RandSeed", REG_BINARY, {5}), ERROR_KEY_DELETED);
    HKEY recreated = nullptr;
    EXPECT_EQ(RegCreateKeyExA(key, "Sub", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &recreated, nullptr),
              ERROR_KEY_DELETED);
    EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, ""), ERROR_ACCESS_DENIED) << "a root is never deleted";
    RegCloseKey(key);
    RegCloseKey(root);
}

TEST_F(RegistryFunctions, HandlesAreCheckedAndNeverReused) {
    HKEY key = Create(HKEY_CURRENT_USER, kProviderKey);
    ASSERT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(key, "x", nullptr, nullptr, nullptr, &size), ERROR_INVALID_HANDLE);
    HKEY next = Create(HKEY_CURRENT_USER, kProviderKey);
    EXPECT_NE(next, key);
    RegCloseKey(next);

    EXPECT_EQ(RegCloseKey(HKEY_CURRENT_USER), ERROR_SUCCESS);  // predefined roots stay usable
    EXPECT_EQ(SetString(HKEY_CURRENT_USER, "AtRoot", "yes"), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExA(nullptr, "x", nullptr, nullptr, nullptr, &size), ERROR_INVALID_HANDLE);
    HKEY other = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "x", 0, KEY_READ, &other), ERROR_INVALID_HANDLE);
}

TEST_F(RegistryFunctions, AccessRightsOfTheHandleAreEnforced) {
    RegCloseKey(Create(HKEY_CURRENT_USER, kProviderKey));
    HKEY reader = nullptr;
    HKEY writer = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, kProviderKey, 0, KEY_READ, &reader), ERROR_SUCCESS);
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, kProviderKey, 0, KEY_SET_VALUE, &writer), ERROR_SUCCESS);
    EXPECT_EQ(SetString(reader, "CertMac", "x"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(SetString(writer, "CertMac", "x"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(reader, "CertMac"), ERROR_ACCESS_DENIED);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(writer, "CertMac", nullptr, nullptr, nullptr, &size), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegQueryValueExA(reader, "CertMac", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    RegCloseKey(reader);
    RegCloseKey(writer);
}

TEST_F(RegistryFunctions, BadNamesTypesAndSizesAreRefusedWithoutChangingAnything) {
    HKEY key = Create(HKEY_CURRENT_USER, kProviderKey);
    const DWORD number = 7;
    const BYTE eight[8] = {};
    EXPECT_EQ(RegSetValueExA(key, "CardType", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), 3),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegSetValueExA(key, "CardType", 0, REG_DWORD, eight, 8), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegSetValueExA(key, "CardType", 0, 0x1234, eight, 8), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegSetValueExA(key, "CardType", 0, REG_BINARY, nullptr, 4), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegSetValueExA(key, "Line\nBreak", 0, REG_BINARY, eight, 8), ERROR_INVALID_PARAMETER);
    const std::string long_value_name(16384, 'v');
    EXPECT_EQ(RegSetValueExA(key, long_value_name.c_str(), 0, REG_BINARY, eight, 8), ERROR_INVALID_PARAMETER);
    const std::vector<BYTE> huge((1u << 20) + 1);
    EXPECT_EQ(RegSetValueExA(key, "Huge", 0, REG_BINARY, huge.data(), static_cast<DWORD>(huge.size())),
              ERROR_INVALID_PARAMETER);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(key, "CardType", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);

    HKEY bad = nullptr;
    const std::string long_key_name(256, 'k');
    for (const std::string& path : {std::string("\\Leading"), std::string("Double\\\\Slash"), long_key_name,
                                    std::string("Tab\there")}) {
        EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &bad,
                                  nullptr),
                  ERROR_INVALID_PARAMETER)
            << path;
        EXPECT_EQ(bad, nullptr);
    }
    std::string deep;
    for (int i = 0; i < 513; ++i) deep += "d\\";
    EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, deep.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &bad, nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "d", 0, KEY_READ, &bad), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, kProviderKey, 0, KEY_READ, nullptr), ERROR_INVALID_PARAMETER);
    DWORD reserved = 0;
    EXPECT_EQ(RegQueryValueExA(key, "x", &reserved, nullptr, nullptr, &size), ERROR_INVALID_PARAMETER);
    RegCloseKey(key);
}

TEST(RegistryFixture, InMemoryStoreIsFreshAndTheOldOneComesBack) {
    kelm::test::ScopedInMemoryRegistry outer;
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Kept", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
    {
        kelm::test::ScopedInMemoryRegistry inner;
        EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Kept", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
        EXPECT_EQ(kelm::platform::RegistryDirectory(), "");
    }
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Kept", 0, KEY_READ, &key), ERROR_SUCCESS);
    RegCloseKey(key);
}

}  // namespace
