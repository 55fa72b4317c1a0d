// Containers on the simulated card and in the registry together: created, opened, deleted and
// closed as one; failures that leave nothing behind; the default container name.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "card/card_files.h"
#include "core/container_registry.h"
#include "core/context_records.h"
#include "core/handles.h"
#include "kelm/winapi.h"
#include "platform/memory.h"
#include "support/registry_fixture.h"
#include "container_test_support.h"

namespace kelm::core {
namespace {

struct Containers : test::InMemoryRegistryTest {
    virtual int CardType() const { return 1; }
    void SetUp() override {
        card.Start(CardType());
        localBlocks = platform::CountLiveAllocations().local_blocks;
        liveHandles = LiveHandleCount();
    }
    void TearDown() override {
        for (uint64_t handle : open) Morva_Default_CloseContainer(handle);
        EXPECT_EQ(LiveHandleCount(), liveHandles) << "a handle record leaked";
        EXPECT_EQ(platform::CountLiveAllocations().local_blocks, localBlocks) << "a record leaked";
        card.Stop();
    }

    uint64_t Create(const char* name, DWORD flags = 0) {
        uint64_t handle = 0;
        EXPECT_EQ(Morva_Default_CreateContainer(name, flags, &handle), 0u) << name;
        if (handle != 0) open.push_back(handle);
        return handle;
    }
    uint64_t Open(const char* name, DWORD flags = 0) {
        uint64_t handle = 0;
        EXPECT_EQ(Morva_Default_OpenContainer(name, flags, &handle), 0u) << name;
        if (handle != 0) open.push_back(handle);
        return handle;
    }
    // Closes a handle made by Create or Open now rather than at the end of the test.
    DWORD Close(uint64_t handle) {
        std::erase(open, handle);
        return Morva_Default_CloseContainer(handle);
    }
    static ContainerCTX* Context(uint64_t handle) {
        return static_cast<ContainerCTX*>(Get_CryptoCTX(handle, HANDLE_CONTAINER_TYPE, handle));
    }

    test::ContainerCard card;
    std::vector<uint64_t> open;
    size_t localBlocks = 0;
    size_t liveHandles = 0;
};

TEST_F(Containers, CreateMakesCardRecordRegistryRecordAndContextTogether) {
    const uint64_t handle = Create("alpha");
    ContainerCTX* container = Context(handle);
    ASSERT_NE(container, nullptr);
    EXPECT_STREQ(container->Name, "alpha");
    EXPECT_NE(container->RegKey, nullptr) << "registered";
    EXPECT_EQ(container->RandSeedLen, 20u);
    EXPECT_EQ(card.Names(), std::vector<std::string>{"alpha"});

    // The seed in the registry is the card randomness the context holds.
    const auto seed = test::ReadContainerValue(false, "alpha", "RandSeed");
    ASSERT_TRUE(seed.has_value());
    EXPECT_EQ(seed->bytes, std::vector<BYTE>(container->RandSeed, container->RandSeed + 20));
    EXPECT_NE(seed->bytes, std::vector<BYTE>(20, 0));
    for (const char* value : {"SigTypeSubtype", "ExchTypeSubtype", "PSKEYS"}) {
        EXPECT_TRUE(test::ReadContainerValue(false, "alpha", value).has_value()) << value;
    }
    EXPECT_FALSE(test::SubkeyExists(true, "alpha")) << "a user keyset stays out of the machine tree";
}

TEST_F(Containers, MachineKeysetIsRecordedUnderTheMachineTree) {
    Create("machine-one", CRYPT_MACHINE_KEYSET);
    EXPECT_TRUE(test::SubkeyExists(true, "machine-one"));
    EXPECT_FALSE(test::SubkeyExists(false, "machine-one"));
}

TEST_F(Containers, LongNamesAreCutTo36OnCardAndInRegistry) {
    const std::string longName = std::string(36, 'L') + "-tail";
    const uint64_t handle = Create(longName.c_str());
    ASSERT_NE(Context(handle), nullptr);
    EXPECT_EQ(std::string(Context(handle)->Name), std::string(36, 'L'));
    EXPECT_TRUE(test::SubkeyExists(false, std::string(36, 'L')));
    EXPECT_EQ(card.Names(), std::vector<std::string>{std::string(36, 'L')});
}

TEST_F(Containers, CreatingANameTheCardHoldsFailsWithExistsAndNoSubkey) {
    card.MakeContainerWithKey("taken");
    uint64_t handle = 0x77;
    SetLastError(0);
    EXPECT_EQ(Morva_Default_CreateContainer("taken", 0, &handle), 0x6602u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_EXISTS));
    EXPECT_EQ(handle, 0x77u) << "no handle on failure";
    EXPECT_FALSE(test::SubkeyExists(false, "taken"));
}

TEST_F(Containers, OpeningAnUnregisteredCardContainerRegistersItWithAFreshSeedEachTime) {
    card.MakeContainerWithKey("card-only");
    ASSERT_FALSE(test::SubkeyExists(false, "card-only"));

    const uint64_t first = Open("card-only");
    ASSERT_NE(Context(first), nullptr);
    EXPECT_EQ(Context(first)->Card_ContainerStatus[STATUS_OFFSET_SIGNATURE], STATUS_USED)
        << "the card's status record is kept";
    const auto seed1 = test::ReadContainerValue(false, "card-only", "RandSeed");
    ASSERT_TRUE(seed1.has_value());
    EXPECT_TRUE(test::ReadContainerValue(false, "card-only", "PSKEYS").has_value());

    const uint64_t second = Open("card-only");
    const auto seed2 = test::ReadContainerValue(false, "card-only", "RandSeed");
    ASSERT_TRUE(seed2.has_value());
    EXPECT_EQ(seed2->bytes.size(), 20u);
    EXPECT_NE(seed1->bytes, seed2->bytes) << "each open draws new card randomness";
    EXPECT_NE(first, second);
}

TEST_F(Containers, OpeningAMissingContainerFailsWithBadKeysetAndLeavesNothing) {
    uint64_t handle = 0x55;
    SetLastError(0);
    const DWORD result = Morva_Default_OpenContainer("nowhere", 0, &handle);
    EXPECT_NE(result, 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEYSET));
    EXPECT_EQ(handle, 0x55u);
    EXPECT_FALSE(test::SubkeyExists(false, "nowhere"));
}

TEST_F(Containers, DeleteRemovesCardRecordAndSubkeyButKeepsTheHandle) {
    const uint64_t handle = Create("doomed");
    ASSERT_TRUE(test::SubkeyExists(false, "doomed"));
    EXPECT_EQ(Morva_Default_DeleteContainer(handle), 0u);
    EXPECT_FALSE(test::SubkeyExists(false, "doomed"));
    EXPECT_TRUE(card.Names().empty());
    EXPECT_NE(Context(handle), nullptr) << "the context lives until it is closed";
}

TEST_F(Containers, DeleteRefusesAnythingButALiveContainerHandle) {
    const uint64_t container = Create("kept");
    int other = 0;
    uint64_t key = 0;
    ASSERT_TRUE(Alloc_Init_CryptoHandle(&key, HANDLE_KEY_TYPE, &other, container));
    for (uint64_t handle : {uint64_t{0}, key, container ^ 0x40}) {
        SetLastError(0);
        EXPECT_EQ(Morva_Default_DeleteContainer(handle), static_cast<DWORD>(NTE_BAD_UID));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_UID));
    }
    Free_CryptoHandle(key);
    EXPECT_EQ(card.Names(), std::vector<std::string>{"kept"});
    EXPECT_TRUE(test::SubkeyExists(false, "kept"));
}

TEST_F(Containers, CloseDropsAnEmptyContainerFromCardAndRegistry) {
    const uint64_t handle = Create("empty");
    EXPECT_EQ(Close(handle), 0u);
    EXPECT_TRUE(card.Names().empty());
    EXPECT_FALSE(test::SubkeyExists(false, "empty"));
    EXPECT_EQ(Context(handle), nullptr) << "the handle is released";
}

TEST_F(Containers, CloseKeepsACardContainerThatHoldsAKeyOrACertificate) {
    // Any of the four status bytes marks the container as holding something. The card record
    // itself has no key files, so the card would let a wrong close delete it.
    for (size_t marker : {size_t{3}, size_t{7}, size_t{12}, size_t{16}}) {
        SCOPED_TRACE(marker);
        const std::string name = "holder-" + std::to_string(marker);
        card.MakeEmptyContainer(name);
        const uint64_t handle = Open(name.c_str());
        ASSERT_NE(Context(handle), nullptr);
        std::memset(Context(handle)->Card_ContainerStatus, 0, kContainerStatusSize);
        Context(handle)->Card_ContainerStatus[marker] = STATUS_USED;
        EXPECT_EQ(Close(handle), 0u);
        EXPECT_TRUE(card.Has(name)) << "kept on the card";
        EXPECT_FALSE(test::SubkeyExists(false, name)) << "a registered container's subkey goes";
    }
}

TEST_F(Containers, VerifyContextTouchesNeitherCardDirectoryNorRegistry) {
    card.MakeContainerWithKey("bystander");
    const std::string blanks(36, ' ');
    const uint64_t handle = Create(blanks.c_str(), CRYPT_VERIFYCONTEXT);
    ContainerCTX* container = Context(handle);
    ASSERT_NE(container, nullptr);
    EXPECT_EQ(container->RegKey, nullptr);
    EXPECT_EQ(std::vector<BYTE>(container->Card_ContainerStatus, container->Card_ContainerStatus + 20),
              std::vector<BYTE>(20, 0));
    EXPECT_NE(std::vector<BYTE>(container->RandSeed, container->RandSeed + 20), std::vector<BYTE>(20, 0))
        << "fresh card randomness";
    EXPECT_FALSE(test::SubkeyExists(false, blanks));
    EXPECT_EQ(card.Names(), std::vector<std::string>{"bystander"});

    EXPECT_EQ(Close(handle), 0u);
    EXPECT_EQ(card.Names(), std::vector<std::string>{"bystander"});
}

TEST_F(Containers, ACardThatGivesNoRandomnessFailsTheCreation) {
    const std::string blanks(36, ' ');
    card.RefuseNextCommand();  // a verify context's only command is GET CHALLENGE
    uint64_t handle = 0;
    SetLastError(0);
    EXPECT_EQ(Morva_Default_CreateContainer(blanks.c_str(), CRYPT_VERIFYCONTEXT, &handle), 1u);
    EXPECT_EQ(GetLastError(), 1u);
    EXPECT_EQ(handle, 0u);
}

TEST_F(Containers, AFullCardRefusesANewContainerWithNoMemory) {
    for (int i = 0; i < 6; ++i) card.MakeContainerWithKey("full-" + std::to_string(i));
    uint64_t handle = 0;
    SetLastError(0);
    EXPECT_NE(Morva_Default_CreateContainer("one-too-many", 0, &handle), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_NO_MEMORY));
    EXPECT_EQ(handle, 0u);
    EXPECT_FALSE(test::SubkeyExists(false, "one-too-many"));
}

TEST_F(Containers, UnwritableRegistryFailsWithBadKeysetParamAndLeavesNoContext) {
    test::ScopedRegistryDirectory files;
    {
        std::ofstream broken(files.CurrentUserFile());
        broken << "this is not a registry file\n[\n";
    }
    card.MakeContainerWithKey("present");
    uint64_t handle = 0;
    SetLastError(0);
    const DWORD result = Morva_Default_OpenContainer("present", 0, &handle);
    EXPECT_NE(result, 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEYSET_PARAM));
    EXPECT_EQ(handle, 0u);
}

TEST_F(Containers, ProviderContextReadsTheCardsNames) {
    card.MakeContainerWithKey("first");
    card.MakeContainerWithKey(std::string(36, 'z'));
    ProvCTX* prov = Alloc_ProvCTX();
    ASSERT_NE(prov, nullptr);
    EXPECT_EQ(Prov_ReadContainerNames(prov), 0u);
    ASSERT_EQ(prov->ContainerCount, 2u);
    EXPECT_STREQ(prov->ContainerNames, "first");
    EXPECT_EQ(std::string(prov->ContainerNames + kContainerNameEntry), std::string(36, 'z'));
    // Reading again replaces the table rather than leaking the first one.
    EXPECT_EQ(Prov_ReadContainerNames(prov), 0u);
    EXPECT_EQ(prov->ContainerCount, 2u);
    Free_ProvCTX(prov);
}

TEST_F(Containers, DefaultNameComesFromCardUserOrFallback) {
    EXPECT_EQ(DefaultContainerName(CRYPT_MACHINE_KEYSET), "DefaultKey") << "a card without containers";
    card.MakeContainerWithKey(std::string(36, 'm'));
    card.MakeContainerWithKey("second");
    EXPECT_EQ(DefaultContainerName(CRYPT_MACHINE_KEYSET), std::string(36, 'm')) << "the card's first container";

    char user[260] = {};
    DWORD size = sizeof(user);
    ASSERT_TRUE(GetUserNameA(user, &size));
    EXPECT_EQ(DefaultContainerName(0), std::string(user).substr(0, 36));
}

// The whole life of a container in each keyset, on each card type the simulator knows. One
// keyless container at a time: card type 7 drops keyless records whenever a new one is made.
struct ContainersOnEveryCardType : Containers, ::testing::WithParamInterface<int> {
    int CardType() const override { return GetParam(); }
};

TEST_P(ContainersOnEveryCardType, CreateListOpenDeleteClose) {
    const uint64_t user = Create("user-container");
    EXPECT_EQ(card.Names(), std::vector<std::string>{"user-container"});
    ProvCTX* prov = Alloc_ProvCTX();
    ASSERT_NE(prov, nullptr);
    EXPECT_EQ(Prov_ReadContainerNames(prov), 0u);
    EXPECT_EQ(prov->ContainerCount, 1u);
    EXPECT_STREQ(prov->ContainerNames, "user-container");
    Free_ProvCTX(prov);

    const uint64_t reopened = Open("user-container");
    ASSERT_NE(Context(reopened), nullptr);
    EXPECT_EQ(Morva_Default_DeleteContainer(reopened), 0u);
    EXPECT_TRUE(card.Names().empty());
    EXPECT_FALSE(test::SubkeyExists(false, "user-container"));

    const uint64_t machine = Create("machine-container", CRYPT_MACHINE_KEYSET);
    EXPECT_EQ(card.Names(), std::vector<std::string>{"machine-container"});
    EXPECT_TRUE(test::SubkeyExists(true, "machine-container"));
    EXPECT_EQ(Close(machine), 0u);
    EXPECT_TRUE(card.Names().empty());
    EXPECT_FALSE(test::SubkeyExists(true, "machine-container"));
    Close(reopened);
    Close(user);
}

INSTANTIATE_TEST_SUITE_P(CardTypes, ContainersOnEveryCardType, ::testing::Values(1, 3, 5, 6, 7),
                         [](const ::testing::TestParamInfo<int>& info) { return "Type" + std::to_string(info.param); });

}  // namespace
}  // namespace kelm::core
