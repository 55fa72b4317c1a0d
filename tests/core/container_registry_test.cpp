// Containers on the simulated card and in the registry together: the registry record byte for
// byte, creation, opening, deletion and closing as one, failures that leave nothing behind, and
// the default container name. The card is inspected through the simulator's own model, never
// through the card layer under test.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

#include "card/reader_session.h"
#include "core/container_registry.h"
#include "core/context_records.h"
#include "core/handles.h"
#include "kelm/winapi.h"
#include "platform/process/clock_seam.h"
#include "platform/process/memory.h"
#include "support/registry_fixture.h"
#include "support/sim_fixture.h"

namespace kelm::core {
namespace {

// The bytes of a binary value of the container's subkey in the keyset's tree (value null: the
// subkey's existence).
std::optional<std::vector<BYTE>> ReadValue(bool machine, const std::string& name, const char* value = nullptr) {
    const std::string path = std::string(machine ? kMachineKeysPath : kUserKeysPath) + "\\MorvaCSP-" + name;
    HKEY key = nullptr;
    if (RegOpenKeyExA(machine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key)) return {};
    std::vector<BYTE> bytes(64);
    DWORD size = value ? 64 : 0, type = REG_BINARY;
    const LONG status = value ? RegQueryValueExA(key, value, nullptr, &type, bytes.data(), &size) : ERROR_SUCCESS;
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || type != REG_BINARY) return {};
    bytes.resize(size);
    return bytes;
}
bool Registered(const std::string& name, bool machine = false) { return ReadValue(machine, name).has_value(); }

TEST(RegistryRecord, FourBinaryValuesByteForByteAndTheirRemoval) {
    test::ScopedInMemoryRegistry registry;
    LONG error = 0;
    EXPECT_EQ(Reg_OpenKeysRoot(false, &error), nullptr) << "a fresh registry has no keys root";
    EXPECT_EQ(error, NTE_BAD_KEYSET);
    EXPECT_EQ(Reg_WriteContainerValues(nullptr, false), ERROR_INVALID_PARAMETER);
    const std::vector<BYTE> guid = {0x10, 0xA4, 0x1F, 0x4D, 0x09, 0x6F, 0xD0, 0x11,
                                    0x8C, 0x58, 0x00, 0xC0, 0x4F, 0xD9, 0x12, 0x00};
    std::vector<BYTE> seed(sizeof(ContainerCTX::RandSeed));
    std::iota(seed.begin(), seed.end(), BYTE{0x40});
    EXPECT_EQ(GetPlatformKind(), 1u) << "the emulated system reports the NT family";
    for (bool machine : {false, true}) {
        SCOPED_TRACE(machine ? "machine keyset" : "user keyset");
        for (const char* name : {"Alice's key", "kept"}) {
            ContainerCTX* container = Alloc_Init_ContainerCTX(name, 0, 0);
            container->RandSeedLen = 20;
            std::copy(seed.begin(), seed.end(), container->RandSeed);
            ASSERT_EQ(Reg_WriteContainerValues(container, machine), ERROR_SUCCESS);
            EXPECT_NE(container->RegKey, nullptr) << "marks the container as registered";
            Free_ContainerCTX(container);
        }
        EXPECT_EQ(ReadValue(machine, "Alice's key", "RandSeed"), std::vector<BYTE>(seed.begin(), seed.begin() + 20))
            << "RandSeedLen bytes, not the whole seed buffer";
        EXPECT_EQ(ReadValue(machine, "Alice's key", "SigTypeSubtype"), guid);
        EXPECT_EQ(ReadValue(machine, "Alice's key", "ExchTypeSubtype"), guid);
        EXPECT_EQ(ReadValue(machine, "Alice's key", "PSKEYS"), (std::vector<BYTE>{1, 0, 0, 0}));

        HKEY root = Reg_OpenKeysRoot(machine, &error);
        ASSERT_NE(root, nullptr);
        RegCloseKey(root);
        EXPECT_EQ(Reg_DeleteContainerValues("Alice's key", machine), ERROR_SUCCESS);
        EXPECT_FALSE(Registered("Alice's key", machine));
        EXPECT_TRUE(Registered("kept", machine)) << "only that container's subkey goes";
        EXPECT_NE(Reg_DeleteContainerValues("Alice's key", machine), ERROR_SUCCESS) << "already gone";
    }
}

struct Containers : test::InMemoryRegistryTest {
    void SetUp() override {
        platform::UseFakeClock(&clock);
        sim = std::make_unique<testing::ScopedSimCard>();
        card::Session() = card::CardSession{};
        ASSERT_EQ(card::Init_PCSC_Object(CRYPT_SILENT), 1);
        localBlocks = platform::CountLiveAllocations().local_blocks;
        liveHandles = LiveHandleCount();
    }
    void TearDown() override {
        for (uint64_t handle : open) Morva_Default_CloseContainer(handle);
        EXPECT_EQ(LiveHandleCount(), liveHandles) << "a handle record leaked";
        EXPECT_EQ(platform::CountLiveAllocations().local_blocks, localBlocks) << "a record leaked";
        card::End_CardSession();
        sim.reset();
        platform::UseFakeClock(nullptr);
    }

    // Creates or opens a container that must succeed; its handle is closed at the end of the test.
    uint64_t Use(DWORD (*operation)(const char*, DWORD, uint64_t*), const std::string& name, DWORD flags = 0) {
        uint64_t handle = 0;
        EXPECT_EQ(operation(name.c_str(), flags, &handle), 0u) << name;
        if (handle != 0) open.push_back(handle);
        return handle;
    }
    uint64_t Create(const std::string& name, DWORD flags = 0) { return Use(Morva_Default_CreateContainer, name, flags); }
    uint64_t Open(const std::string& name) { return Use(Morva_Default_OpenContainer, name); }
    DWORD Close(uint64_t handle) {
        std::erase(open, handle);
        return Morva_Default_CloseContainer(handle);
    }
    static ContainerCTX* Context(uint64_t handle) {
        return static_cast<ContainerCTX*>(Get_CryptoCTX(handle, HANDLE_CONTAINER_TYPE, handle));
    }
    static std::vector<BYTE> Seed(uint64_t handle) {
        return std::vector<BYTE>(Context(handle)->RandSeed, Context(handle)->RandSeed + 20);
    }
    std::vector<std::string> Names() {
        std::vector<std::string> names;
        for (const sim::ContainerInfo& info : sim::ContainersOf(sim->card())) names.push_back(info.name);
        return names;
    }
    // A container on the card whose signature slot holds a key, or an empty record (key file 0).
    void PutContainer(const std::string& name, bool withKey = true) {
        const WORD file = withKey ? static_cast<WORD>(0x8001 + keyFiles++) : 0;
        std::string error;
        ASSERT_TRUE(!withKey || sim::PutNewKey(sim->card(), file, &error)) << error;
        ASSERT_TRUE(sim::AddContainer(sim->card(), name, file, 0, &error)) << error;
    }

    platform::FakeClock clock;
    std::unique_ptr<testing::ScopedSimCard> sim;
    std::vector<uint64_t> open;
    size_t localBlocks = 0, liveHandles = 0;
    int keyFiles = 0;
};

// A container's life in each keyset: creation and opening register the card's randomness,
// deletion keeps the context until it is closed, and closing an empty container removes it from
// the card and the registry. A verify context touches neither.
TEST_F(Containers, CreateOpenDeleteCloseOnTheCardAndInTheRegistryTogether) {
    PutContainer("card-only");
    const uint64_t user = Create("user-container");
    ASSERT_NE(Context(user), nullptr);
    EXPECT_EQ(ReadValue(false, "user-container", "RandSeed"), Seed(user));
    EXPECT_NE(Seed(user), std::vector<BYTE>(20, 0));

    ASSERT_FALSE(Registered("card-only"));
    const uint64_t first = Open("card-only");
    ASSERT_NE(Context(first), nullptr);
    EXPECT_EQ(Context(first)->Card_ContainerStatus[STATUS_OFFSET_SIGNATURE], STATUS_USED);
    const auto seed1 = ReadValue(false, "card-only", "RandSeed");
    const uint64_t second = Open("card-only");
    EXPECT_NE(second, first);
    const auto seed2 = ReadValue(false, "card-only", "RandSeed");
    ASSERT_TRUE(seed1 && seed2 && seed2->size() == 20);
    EXPECT_NE(Seed(first), Seed(second)) << "each open draws new card randomness";
    EXPECT_EQ(seed1, seed2) << "a current record is not written again";

    const std::string blanks(36, ' ');
    const uint64_t verify = Create(blanks, CRYPT_VERIFYCONTEXT);
    ASSERT_NE(Context(verify), nullptr);
    EXPECT_NE(Seed(verify), std::vector<BYTE>(20, 0));
    EXPECT_FALSE(Registered(blanks));
    EXPECT_EQ(Names(), (std::vector<std::string>{"card-only", "user-container"}));

    // Deletion takes nothing but a live container handle.
    const uint64_t reopened = Open("user-container");
    uint64_t key = 0;
    ASSERT_TRUE(Alloc_Init_CryptoHandle(&key, HANDLE_KEY_TYPE, &clock, reopened));
    for (uint64_t handle : {uint64_t{0}, key, reopened ^ 0x40}) {
        SetLastError(0);
        EXPECT_EQ(Morva_Default_DeleteContainer(handle), static_cast<DWORD>(NTE_BAD_UID));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_UID));
    }
    Free_CryptoHandle(key);
    EXPECT_TRUE(Registered("user-container"));
    EXPECT_EQ(Morva_Default_DeleteContainer(reopened), 0u);
    EXPECT_EQ(Names(), std::vector<std::string>{"card-only"});
    EXPECT_FALSE(Registered("user-container"));
    EXPECT_NE(Context(reopened), nullptr) << "the context lives until it is closed";

    const uint64_t machine = Create("machine-container", CRYPT_MACHINE_KEYSET);
    EXPECT_TRUE(Registered("machine-container", true));
    EXPECT_FALSE(Registered("machine-container", false));
    EXPECT_EQ(Close(machine), 0u);
    EXPECT_EQ(Context(machine), nullptr) << "the handle is released";
    EXPECT_EQ(Names(), std::vector<std::string>{"card-only"}) << "an empty container goes on close";
    EXPECT_FALSE(Registered("machine-container", true));
}

TEST_F(Containers, FailuresLeaveNoHandleAndNoRecord) {
    struct Case {
        const char* what;
        std::function<void()> arrange;
        bool create;
        const char* name;
        DWORD flags, result, lastError;  // result 0: any failure
    };
    const std::string blanks(36, ' ');
    const Case cases[] = {
        {"name taken", [&] { PutContainer("taken"); }, true, "taken", 0, 0x6602, DWORD(NTE_EXISTS)},
        {"no such container", [] {}, false, "nowhere", 0, 0, DWORD(NTE_BAD_KEYSET)},
        // With "taken", six containers: all the card holds.
        {"card full", [&] { for (int i = 1; i < 6; ++i) PutContainer("full-" + std::to_string(i)); }, true,
         "one-too-many", 0, 0, DWORD(NTE_NO_MEMORY)},
        {"no card randomness", [&] { sim->backend().ForceNextStatus(sim->reader(), 0x6982); }, true, blanks.c_str(),
         CRYPT_VERIFYCONTEXT, 1, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.arrange();
        uint64_t handle = 0;
        SetLastError(0);
        const DWORD result = (c.create ? Morva_Default_CreateContainer : Morva_Default_OpenContainer)(c.name, c.flags,
                                                                                                     &handle);
        EXPECT_NE(result, 0u);
        EXPECT_TRUE(c.result == 0 || result == c.result) << result;
        EXPECT_EQ(GetLastError(), c.lastError);
        EXPECT_EQ(handle, 0u);
        EXPECT_FALSE(Registered(c.name));
    }
    EXPECT_EQ(Names().front(), "taken") << "the existing container is untouched";
}

TEST_F(Containers, CloseKeepsACardContainerThatHoldsAKeyOrACertificate) {
    // Any of the four status bytes marks the container as holding something. The card record
    // itself has no key files, so the card would let a wrong close delete it.
    for (size_t marker : {size_t{3}, size_t{7}, size_t{12}, size_t{16}}) {
        const std::string name = "holder-" + std::to_string(marker);
        PutContainer(name, false);
        const uint64_t handle = Open(name);
        ASSERT_NE(Context(handle), nullptr);
        std::memset(Context(handle)->Card_ContainerStatus, 0, kContainerStatusSize);
        Context(handle)->Card_ContainerStatus[marker] = STATUS_USED;
        EXPECT_EQ(Close(handle), 0u);
        const std::vector<std::string> names = Names();
        EXPECT_EQ(std::count(names.begin(), names.end(), name), 1) << "kept on the card: " << marker;
        EXPECT_FALSE(Registered(name)) << "a registered container's subkey goes: " << marker;
    }
}

TEST_F(Containers, NamesAndTheDefaultNameComeFromTheCard) {
    EXPECT_EQ(DefaultContainerName(CRYPT_MACHINE_KEYSET), "DefaultKey") << "a card without containers";
    PutContainer(std::string(36, 'm'));
    PutContainer("second");
    ProvCTX* prov = Alloc_ProvCTX();
    ASSERT_NE(prov, nullptr);
    for (int round = 0; round < 2; ++round) {  // reading again replaces the table without leaking
        EXPECT_EQ(Prov_ReadContainerNames(prov), 0u);
        ASSERT_EQ(prov->ContainerCount, 2u);
        EXPECT_EQ(std::string(prov->ContainerNames), std::string(36, 'm'));
        EXPECT_STREQ(prov->ContainerNames + kContainerNameEntry, "second");
    }
    Free_ProvCTX(prov);
    EXPECT_EQ(DefaultContainerName(CRYPT_MACHINE_KEYSET), std::string(36, 'm')) << "the card's first container";
    char user[260] = {};
    DWORD size = sizeof(user);
    ASSERT_TRUE(GetUserNameA(user, &size));
    EXPECT_EQ(DefaultContainerName(0), std::string(user).substr(0, 36));
}

}  // namespace
}  // namespace kelm::core
