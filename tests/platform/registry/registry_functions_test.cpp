// The Reg… functions as the provider uses them, on the in-memory store.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kelm/winapi.h"
#include "support/registry_fixture.h"

namespace {

constexpr const char* kProviderKey = "SOFTWARE\\VESK\\ROSMAC10";

std::vector<BYTE> Text(const std::string& text) { return {text.c_str(), text.c_str() + text.size() + 1}; }

struct Read {
    LONG result = 0;
    DWORD type = 0;
    std::vector<BYTE> data;
};

class RegistryFunctions : public kelm::test::InMemoryRegistryTest {
protected:
    static HKEY Create(HKEY parent, const char* path, DWORD* disposition = nullptr) {
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyExA(parent, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, disposition),
                  ERROR_SUCCESS);
        return key;
    }
    static LONG Set(HKEY key, const char* name, DWORD type, const std::vector<BYTE>& data) {
        return RegSetValueExA(key, name, 0, type, data.data(), static_cast<DWORD>(data.size()));
    }
    static Read Query(HKEY key, const char* name) {
        Read read{0, 0, std::vector<BYTE>(64, 0xEE)};
        DWORD size = 64;
        read.result = RegQueryValueExA(key, name, nullptr, &read.type, read.data.data(), &size);
        read.data.resize(read.result == ERROR_SUCCESS ? size : 0);
        return read;
    }
};

TEST_F(RegistryFunctions, ValuesReadBackWithTheirTypeAndSizeWhateverTheCaseOfTheirNames) {
    HKEY key = Create(HKEY_CURRENT_USER, kProviderKey);
    const struct {
        const char* name;
        const char* read_as;
        DWORD type;
        std::vector<BYTE> data;
    } values[] = {
        {"PKMac", "pkmac", REG_BINARY, {0x00, 0x11, 0xFF, 0x80, 0x7F, 0x01, 0x02, 0x03}},
        {"CardType", "CARDTYPE", REG_DWORD, {0x04, 0x03, 0x02, 0x01}},
        {"sReaderName", "sreadername", REG_SZ, Text("Reader \"A\" \\ 0")},  // the NUL counts in the size
        {"Empty", "empty", REG_BINARY, {}},
        {nullptr, "", REG_SZ, Text("default")},  // null and "" both name the default value
    };
    for (const auto& v : values) ASSERT_EQ(Set(key, v.name, v.type, v.data), ERROR_SUCCESS);
    ASSERT_EQ(Set(key, "PKMAC", REG_BINARY, values[0].data), ERROR_SUCCESS) << "the same value, replaced";
    RegCloseKey(key);

    DWORD disposition = 0;
    key = Create(HKEY_CURRENT_USER, "software\\vesk\\rosmac10", &disposition);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
    for (const auto& v : values) {
        const Read read = Query(key, v.read_as);
        EXPECT_TRUE(read.result == ERROR_SUCCESS && read.type == v.type && read.data == v.data) << v.read_as;
        DWORD type = 0, size = 99;
        EXPECT_EQ(RegQueryValueExA(key, v.read_as, nullptr, &type, nullptr, &size), ERROR_SUCCESS) << v.read_as;
        EXPECT_TRUE(size == v.data.size() && type == v.type) << "a size query, for " << v.read_as;
    }

    // A short buffer learns the size needed and is neither written past nor partly filled.
    char small[4] = {'x', 'x', 'x', 'x'};
    DWORD size = sizeof small;
    EXPECT_EQ(RegQueryValueExA(key, "sReaderName", nullptr, nullptr, reinterpret_cast<BYTE*>(small), &size), ERROR_MORE_DATA);
    EXPECT_TRUE(size == 15 && std::string(small, 4) == "xxxx") << size;
    // Type only, and a buffer without a size, which Windows refuses.
    DWORD type = 0;
    EXPECT_EQ(RegQueryValueExA(key, "CardType", nullptr, &type, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(RegQueryValueExA(key, "sReaderName", nullptr, &type, reinterpret_cast<BYTE*>(small), nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(RegistryFunctions, KeysAreCreatedOpenedAndDeletedAsOnWindows) {
    HKEY key = reinterpret_cast<HKEY>(0x1);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, kProviderKey, 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key, nullptr);

    // Missing parents are made; the two roots are separate trees.
    DWORD disposition = 0;
    key = Create(HKEY_CURRENT_USER, "Software\\Microsoft\\Cryptography\\UserKeys\\MorvaCSP-Bob", &disposition);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    HKEY other = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, KEY_READ, &other), ERROR_FILE_NOT_FOUND);
    HKEY parent = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Microsoft", 0, KEY_ALL_ACCESS, &parent), ERROR_SUCCESS);

    // Relative to an open key, and the key itself through "" as a handle of its own.
    HKEY child = Create(parent, "Cryptography\\UserKeys\\morvacsp-bob", &disposition);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
    HKEY itself = nullptr;
    EXPECT_EQ(RegOpenKeyExA(child, "", 0, KEY_READ, &itself), ERROR_SUCCESS);
    EXPECT_NE(itself, child);

    ASSERT_EQ(Set(key, "PSKEYS", REG_BINARY, {1, 2, 3}), ERROR_SUCCESS);
    ASSERT_EQ(Set(key, "RandSeed", REG_BINARY, {4}), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(key, "pskeys"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(key, "PSKEYS"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Query(key, "PSKEYS").result, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Query(itself, "RandSeed").data, std::vector<BYTE>{4});

    // A key that still has subkeys stays; a root is never deleted.
    EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Microsoft\\Cryptography\\UserKeys"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, ""), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Nothing"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyA(parent, "Cryptography\\UserKeys\\MORVACSP-bob"), ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyExA(parent, "Cryptography\\UserKeys\\MorvaCSP-Bob", 0, KEY_READ, &other), ERROR_FILE_NOT_FOUND);

    // Handles still open on the deleted key no longer reach anything.
    EXPECT_EQ(Query(key, "RandSeed").result, ERROR_KEY_DELETED);
    EXPECT_EQ(Set(key, "RandSeed", REG_BINARY, {5}), ERROR_KEY_DELETED);
    EXPECT_EQ(RegCreateKeyExA(key, "Sub", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &other, nullptr), ERROR_KEY_DELETED);
    for (HKEY open : {key, parent, child, itself}) EXPECT_EQ(RegCloseKey(open), ERROR_SUCCESS);
}

TEST_F(RegistryFunctions, HandlesAreCheckedNeverReusedAndKeepTheirAccessRights) {
    HKEY key = Create(HKEY_CURRENT_USER, kProviderKey);
    ASSERT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
    EXPECT_EQ(Query(key, "x").result, ERROR_INVALID_HANDLE);
    EXPECT_EQ(Query(nullptr, "x").result, ERROR_INVALID_HANDLE);
    HKEY other = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "x", 0, KEY_READ, &other), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(HKEY_CURRENT_USER), ERROR_SUCCESS);  // predefined roots stay usable
    EXPECT_EQ(Set(HKEY_CURRENT_USER, "AtRoot", REG_SZ, Text("yes")), ERROR_SUCCESS);

    HKEY reader = nullptr;
    HKEY writer = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, kProviderKey, 0, KEY_READ, &reader), ERROR_SUCCESS);
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, kProviderKey, 0, KEY_SET_VALUE, &writer), ERROR_SUCCESS);
    EXPECT_NE(reader, key);
    EXPECT_NE(writer, key);
    EXPECT_EQ(Set(reader, "CertMac", REG_SZ, Text("x")), ERROR_ACCESS_DENIED);
    EXPECT_EQ(Set(writer, "CertMac", REG_SZ, Text("x")), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(reader, "CertMac"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(Query(writer, "CertMac").result, ERROR_ACCESS_DENIED);
    EXPECT_EQ(Query(reader, "CertMac").result, ERROR_SUCCESS);
    RegCloseKey(reader);
    RegCloseKey(writer);
}

TEST_F(RegistryFunctions, BadNamesTypesAndSizesAreRefusedWithoutChangingAnything) {
    HKEY key = Create(HKEY_CURRENT_USER, kProviderKey);
    const std::vector<BYTE> eight(8);
    const struct {
        std::string name;
        DWORD type;
        const BYTE* data;
        DWORD size;
    } values[] = {
        {"CardType", REG_DWORD, eight.data(), 3},
        {"CardType", REG_DWORD, eight.data(), 8},
        {"CardType", 0x1234, eight.data(), 8},
        {"CardType", REG_BINARY, nullptr, 4},
        {"Line\nBreak", REG_BINARY, eight.data(), 8},
        {"CardType", REG_BINARY, eight.data(), (1u << 20) + 1},  // refused before the data is read
    };
    for (const auto& v : values) {
        EXPECT_EQ(RegSetValueExA(key, v.name.c_str(), 0, v.type, v.data, v.size), ERROR_INVALID_PARAMETER) << v.name.substr(0, 16);
    }
    EXPECT_EQ(Query(key, "CardType").result, ERROR_FILE_NOT_FOUND);

    std::string deep;
    for (int i = 0; i < 513; ++i) deep += "d\\";
    for (const std::string& path : {std::string("\\Leading"), std::string("Double\\\\Slash"), std::string(256, 'k'),
                                    std::string("Tab\there"), deep}) {
        HKEY bad = reinterpret_cast<HKEY>(0x1);
        const LONG result = RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &bad, nullptr);
        EXPECT_TRUE(result == ERROR_INVALID_PARAMETER && bad == nullptr) << path.substr(0, 16);
    }
    HKEY bad = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "d", 0, KEY_READ, &bad), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, kProviderKey, 0, KEY_READ, nullptr), ERROR_INVALID_PARAMETER);
    DWORD reserved = 0;
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(key, "x", &reserved, nullptr, nullptr, &size), ERROR_INVALID_PARAMETER);
    RegCloseKey(key);
}

}  // namespace
