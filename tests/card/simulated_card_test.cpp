// The card layer against the simulated card of every type, on T=0 and T=1: the clean-up before
// a creation, a full directory, and names read back by position.
#include <string>
#include <tuple>
#include <vector>

#include "card/apdu_transport.h"
#include "card/card_files.h"
#include "simulated_keys.h"

namespace kelm::card::testing {
namespace {

using CardKind = std::tuple<int, sim::CardProtocol>;

class EveryCardTest : public SimulatedCardTest, public ::testing::WithParamInterface<CardKind> {
protected:
    void SetUp() override {
        SimulatedCardTest::SetUp();
        Insert(Type(), std::get<1>(GetParam()), false);
    }
    int Type() const { return std::get<0>(GetParam()); }
    // Containers the test needs, made on the card directly.
    void Container(const std::string& name, WORD signature_file, WORD exchange_file) {
        ASSERT_TRUE(sim::AddContainer(Card(), name, signature_file, exchange_file, &error)) << error;
    }
    std::vector<std::string> Names() {
        std::vector<std::string> out;
        for (const sim::ContainerInfo& info : sim::ContainersOf(Card())) out.push_back(info.name);
        return out;
    }

    BYTE status[kContainerStatusBytes] = {};
};

TEST_P(EveryCardTest, CreationCleansUpLeftovers) {
    Container("keyed", 0x8001, 0);
    Container("empty1", 0, 0);
    Container("exchange", 0, 0x8002);
    Container("empty2", 0, 0);
    if (Type() == 7) {
        // Every key-less record and every record of the seventh key file goes.
        ASSERT_TRUE(sim::AddKeyFile(Card(), 0x8007, 0, &error)) << error;
        Container("seventh", 0x8007, 0);
        ASSERT_EQ(0u, Card_CreateContainer("new", status, sizeof status));
        EXPECT_EQ((std::vector<std::string>{"keyed", "exchange", "new"}), Names());
    } else {
        // Four containers: nothing is cleaned up. Five: the key-less ones go first.
        ASSERT_EQ(0u, Card_CreateContainer("new", status, sizeof status));
        EXPECT_EQ((std::vector<std::string>{"keyed", "empty1", "exchange", "empty2", "new"}), Names());
        ASSERT_EQ(0u, Card_CreateContainer("newer", status, sizeof status));
        EXPECT_EQ((std::vector<std::string>{"keyed", "exchange", "newer"}), Names());
    }
}

TEST_P(EveryCardTest, FullDirectoryRefusesAnotherContainer) {
    EXPECT_EQ(static_cast<DWORD>(Type()), Card_GetCardType());
    // Every record names a key file, so no clean-up makes room.
    while (Names().size() < Card_ContainerCapacity()) {
        Container(std::string("c").append(std::to_string(Names().size())), 0x8001, 0);
    }
    EXPECT_EQ(0x6A84u, Card_CreateContainer("one too many", status, sizeof status));
    EXPECT_EQ(Card_ContainerCapacity(), Names().size());
    // Names are read back by position up to the last one, and not past it.
    char name[kContainerNameBytes + 1] = {};
    EXPECT_EQ(0u, Card_GetContainerName(name, static_cast<BYTE>(Card_ContainerCapacity())));
    EXPECT_EQ(Names().back(), name);
    name[0] = '#';
    EXPECT_EQ(STATUS_NO_MORE_NAMES, Card_GetContainerName(name, static_cast<BYTE>(Card_ContainerCapacity() + 1)));
    EXPECT_EQ('#', name[0]) << "untouched";
}

INSTANTIATE_TEST_SUITE_P(EveryCard, EveryCardTest,
                         ::testing::Combine(::testing::Values(1, 3, 5, 6, 7),
                                            ::testing::Values(sim::CardProtocol::T1, sim::CardProtocol::T0)),
                         [](const ::testing::TestParamInfo<CardKind>& info) {
                             return "Type" + std::to_string(std::get<0>(info.param)) +
                                    (std::get<1>(info.param) == sim::CardProtocol::T0 ? "T0" : "T1");
                         });

}  // namespace
}  // namespace kelm::card::testing
