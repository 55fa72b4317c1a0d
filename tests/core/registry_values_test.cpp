// The registry record of a container, written and removed without a card: the keys root of
// each keyset, the four values byte for byte, and what a failing registry leaves behind.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "core/container_registry.h"
#include "core/context_records.h"
#include "kelm/winapi.h"
#include "support/registry_fixture.h"

namespace kelm::core {
namespace {

struct RegistryValue {
    DWORD type;
    std::vector<BYTE> bytes;
};

HKEY Hive(bool machine) { return machine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER; }

std::string SubkeyPath(bool machine, const std::string& name) {
    return std::string(machine ? kMachineKeysPath : kUserKeysPath) + "\\MorvaCSP-" + name;
}

std::optional<RegistryValue> ReadValue(bool machine, const std::string& name, const char* value) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(Hive(machine), SubkeyPath(machine, name).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    RegistryValue result{0, std::vector<BYTE>(64)};
    DWORD size = static_cast<DWORD>(result.bytes.size());
    const LONG status = RegQueryValueExA(key, value, nullptr, &result.type, result.bytes.data(), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) return std::nullopt;
    result.bytes.resize(size);
    return result;
}

bool SubkeyExists(bool machine, const std::string& name) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(Hive(machine), SubkeyPath(machine, name).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(key);
    return true;
}

const std::vector<BYTE> kGuidBytes = {0x10, 0xA4, 0x1F, 0x4D, 0x09, 0x6F, 0xD0, 0x11,
                                      0x8C, 0x58, 0x00, 0xC0, 0x4F, 0xD9, 0x12, 0x00};

struct SeededContainer {
    explicit SeededContainer(const char* name, BYTE seedByte) : record(Alloc_Init_ContainerCTX(name, 0, 0)) {
        record->RandSeedLen = 20;
        for (size_t i = 0; i < sizeof(record->RandSeed); ++i) record->RandSeed[i] = static_cast<BYTE>(seedByte + i);
    }
    ~SeededContainer() { Free_ContainerCTX(record); }
    ContainerCTX* record;
};

struct RegistryValues : test::InMemoryRegistryTest {};

TEST_F(RegistryValues, FourBinaryValuesByteForByteInEitherKeyset) {
    for (bool machine : {false, true}) {
        SCOPED_TRACE(machine ? "machine keyset" : "user keyset");
        SeededContainer container("Alice's key", 0x40);
        ASSERT_EQ(Reg_WriteContainerValues(container.record, machine), ERROR_SUCCESS);
        EXPECT_NE(container.record->RegKey, nullptr) << "marks the container as registered";

        const auto seed = ReadValue(machine, "Alice's key", "RandSeed");
        ASSERT_TRUE(seed.has_value());
        EXPECT_EQ(seed->type, static_cast<DWORD>(REG_BINARY));
        EXPECT_EQ(seed->bytes, std::vector<BYTE>(container.record->RandSeed, container.record->RandSeed + 20))
            << "RandSeedLen bytes, not the whole seed buffer";
        for (const char* name : {"SigTypeSubtype", "ExchTypeSubtype"}) {
            const auto value = ReadValue(machine, "Alice's key", name);
            ASSERT_TRUE(value.has_value()) << name;
            EXPECT_EQ(value->type, static_cast<DWORD>(REG_BINARY)) << name;
            EXPECT_EQ(value->bytes, kGuidBytes) << name;
        }
        const auto pskeys = ReadValue(machine, "Alice's key", "PSKEYS");
        ASSERT_TRUE(pskeys.has_value());
        EXPECT_EQ(pskeys->type, static_cast<DWORD>(REG_BINARY));
        EXPECT_EQ(GetPlatformKind(), 1u) << "the emulated system reports the NT family";
        EXPECT_EQ(pskeys->bytes, (std::vector<BYTE>{1, 0, 0, 0}));
    }
}

TEST_F(RegistryValues, KeysetsAreKeptApartAndRewritingReplacesTheSeed) {
    SeededContainer first("shared", 0x10);
    ASSERT_EQ(Reg_WriteContainerValues(first.record, false), ERROR_SUCCESS);
    EXPECT_FALSE(SubkeyExists(true, "shared"));

    SeededContainer second("shared", 0x90);
    ASSERT_EQ(Reg_WriteContainerValues(second.record, false), ERROR_SUCCESS);
    EXPECT_EQ(ReadValue(false, "shared", "RandSeed")->bytes,
              std::vector<BYTE>(second.record->RandSeed, second.record->RandSeed + 20));
}

TEST_F(RegistryValues, SubkeyNameCarriesAtMost36Characters) {
    const std::string longName(40, 'q');
    SeededContainer container(longName.c_str(), 1);
    ASSERT_EQ(Reg_WriteContainerValues(container.record, false), ERROR_SUCCESS);
    EXPECT_TRUE(SubkeyExists(false, std::string(36, 'q')));

    char subkey[kContainerSubkeySize];
    ContainerSubkeyName(longName.c_str(), subkey);
    EXPECT_EQ(std::string(subkey), "MorvaCSP-" + std::string(36, 'q'));
    ContainerSubkeyName(nullptr, subkey);
    EXPECT_EQ(std::string(subkey), "MorvaCSP-");
}

TEST_F(RegistryValues, KeysRootOpensOnlyOnceItExists) {
    LONG error = 0;
    EXPECT_EQ(Reg_OpenKeysRoot(false, &error), nullptr) << "a fresh registry has no keys root";
    EXPECT_EQ(error, NTE_BAD_KEYSET);

    SeededContainer container("rooted", 2);
    ASSERT_EQ(Reg_WriteContainerValues(container.record, false), ERROR_SUCCESS);
    HKEY root = Reg_OpenKeysRoot(false, &error);
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(error, ERROR_SUCCESS);
    RegCloseKey(root);
    EXPECT_EQ(Reg_OpenKeysRoot(true, nullptr), nullptr) << "the machine tree is still empty";
}

TEST_F(RegistryValues, DeleteRemovesOnlyThatContainersSubkey) {
    SeededContainer doomed("doomed", 3);
    SeededContainer kept("kept", 4);
    ASSERT_EQ(Reg_WriteContainerValues(doomed.record, false), ERROR_SUCCESS);
    ASSERT_EQ(Reg_WriteContainerValues(kept.record, false), ERROR_SUCCESS);
    EXPECT_EQ(Reg_DeleteContainerValues("doomed", false), ERROR_SUCCESS);
    EXPECT_FALSE(SubkeyExists(false, "doomed"));
    EXPECT_TRUE(SubkeyExists(false, "kept"));
    EXPECT_NE(Reg_DeleteContainerValues("doomed", false), ERROR_SUCCESS) << "already gone";
    EXPECT_EQ(Reg_DeleteContainerValues("kept", true), NTE_BAD_KEYSET) << "no machine keys root";
}

TEST_F(RegistryValues, AFailingRegistryLeavesTheContainerUnregistered) {
    test::ScopedRegistryDirectory files;
    {
        std::ofstream broken(files.CurrentUserFile());
        broken << "not a registry file\n[unterminated\n";
    }
    SeededContainer container("unlucky", 5);
    EXPECT_NE(Reg_WriteContainerValues(container.record, false), ERROR_SUCCESS);
    EXPECT_EQ(container.record->RegKey, nullptr);
    EXPECT_EQ(Reg_WriteContainerValues(nullptr, false), ERROR_INVALID_PARAMETER);
}

}  // namespace
}  // namespace kelm::core
