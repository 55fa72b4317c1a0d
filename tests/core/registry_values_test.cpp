// The registry record of a container, written and removed without a card: the keys root of
// each keyset, the four values byte for byte, and what a failing registry leaves behind.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "core/container_registry.h"
#include "core/context_records.h"
#include "kelm/winapi.h"
#include "container_test_support.h"
#include "support/registry_fixture.h"

namespace kelm::core {
namespace {

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

        const auto seed = test::ReadContainerValue(machine, "Alice's key", "RandSeed");
        ASSERT_TRUE(seed.has_value());
        EXPECT_EQ(seed->type, static_cast<DWORD>(REG_BINARY));
        EXPECT_EQ(seed->bytes, std::vector<BYTE>(container.record->RandSeed, container.record->RandSeed + 20))
            << "RandSeedLen bytes, not the whole seed buffer";
        for (const char* name : {"SigTypeSubtype", "ExchTypeSubtype"}) {
            const auto value = test::ReadContainerValue(machine, "Alice's key", name);
            ASSERT_TRUE(value.has_value()) << name;
            EXPECT_EQ(value->type, static_cast<DWORD>(REG_BINARY)) << name;
            EXPECT_EQ(value->bytes, kGuidBytes) << name;
        }
        const auto pskeys = test::ReadContainerValue(machine, "Alice's key", "PSKEYS");
        ASSERT_TRUE(pskeys.has_value());
        EXPECT_EQ(pskeys->type, static_cast<DWORD>(REG_BINARY));
        EXPECT_EQ(GetPlatformKind(), 1u) << "the emulated system reports the NT family";
        EXPECT_EQ(pskeys->bytes, (std::vector<BYTE>{1, 0, 0, 0}));
    }
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
    EXPECT_FALSE(test::SubkeyExists(false, "doomed"));
    EXPECT_TRUE(test::SubkeyExists(false, "kept"));
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
