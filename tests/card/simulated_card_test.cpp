// The card layer against the simulated card of every type, on T=0 and T=1: connecting and each
// type's application, the container directory (create, list, find, open, delete, full, name
// taken), the clean-up before a creation, reading a certificate in pieces, and random bytes.
#include <algorithm>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "card/apdu_transport.h"
#include "card/card_files.h"
#include "card/reader_session.h"
#include "kelm/winapi.h"
#include "platform/clock_seam.h"
#include "platform/ui_responder.h"
#include "support/registry_fixture.h"
#include "support/sim_fixture.h"

namespace kelm::card::testing {
namespace {

using CardKind = std::tuple<int, sim::CardProtocol>;

class SimulatedCardTest : public ::testing::TestWithParam<CardKind> {
protected:
    void SetUp() override {
        Session() = CardSession{};
        Session().ReaderType = READER_TYPE_PLAIN;
        platform::UseFakeClock(&clock);
        platform::SetUiResponder(&ui);
        kelm::testing::SimCardSetup setup;
        std::tie(setup.type, setup.protocol) = GetParam();
        simulated = std::make_unique<kelm::testing::ScopedSimCard>(setup);
        ASSERT_EQ(1, Init_PCSC_Object(CRYPT_SILENT));
    }
    void TearDown() override {
        if (Session().Card != 0) End_CardSession();
        simulated.reset();
        platform::SetUiResponder(nullptr);
        platform::UseFakeClock(nullptr);
        Session() = CardSession{};
    }

    sim::SimCard& Card() { return simulated->card(); }
    int Type() const { return std::get<0>(GetParam()); }
    BYTE SizeCode() const { return Type() == 6 ? 4 : 2; }

    // Key files the test needs, made on the card directly.
    void KeyIn(WORD file) {
        std::string error;
        ASSERT_TRUE(sim::PutNewKey(Card(), file, &error)) << error;
    }
    void Container(const std::string& name, WORD signature_file, WORD exchange_file) {
        std::string error;
        ASSERT_TRUE(sim::AddContainer(Card(), name, signature_file, exchange_file, &error)) << error;
    }
    bool HasKey(WORD file) {
        std::vector<BYTE> modulus, exponent;
        return sim::PublicKeyOf(Card(), file, &modulus, &exponent);
    }
    std::vector<std::string> Names() const {
        std::vector<std::string> out;
        for (const sim::ContainerInfo& info : sim::ContainersOf(simulated->card())) out.push_back(info.name);
        return out;
    }
    // The card erases keys only after the PIN.
    void Verify() {
        BYTE pin[16];
        std::memset(pin, Type() == 5 ? ' ' : 0xFF, sizeof pin);
        std::memcpy(pin, kelm::testing::kSimPin, std::strlen(kelm::testing::kSimPin));
        BYTE le = 0;
        BYTE answer[kApduResponseCapacity];
        ASSERT_EQ(0u, Card_SendAPDU(0x00, 0x20, 0x01, 0x28, sizeof pin, &le, pin, answer, 0));
    }

    platform::FakeClock clock;
    platform::ScriptedResponder ui;
    test::ScopedInMemoryRegistry registry;
    std::unique_ptr<kelm::testing::ScopedSimCard> simulated;
};

TEST_P(SimulatedCardTest, SessionKnowsTheCardAndDrawsFreshRandomness) {
    EXPECT_EQ(static_cast<DWORD>(Type()), Card_GetCardType());
    EXPECT_EQ(Type() == 7 ? 7u : 6u, Card_ContainerCapacity());
    EXPECT_STREQ(kelm::testing::kSimReaderName, Session().CurrentReader);
    std::vector<BYTE> first(20, 0), second(20, 0);
    EXPECT_EQ(0u, Card_GetChallenge(20, first.data()));
    EXPECT_EQ(0u, Card_GetChallenge(20, second.data()));
    EXPECT_NE(first, second);
    EXPECT_NE(std::vector<BYTE>(20, 0), first);
    End_CardSession();
    EXPECT_EQ(0u, simulated->backend().OpenHandles()) << "ending the session frees the reader";
    EXPECT_TRUE(ui.events().empty());
}

TEST_P(SimulatedCardTest, ContainersAreCreatedListedAndOpened) {
    KeyIn(0x8001);
    Container("keyed", 0x8001, 0);

    BYTE answer[kContainerStatusBytes] = {};
    EXPECT_EQ(0x6602u, Card_CreateContainer("keyed", answer, sizeof answer));  // the name is taken
    EXPECT_EQ(0u, Card_CreateContainer("alice", answer, sizeof answer));
    EXPECT_EQ((std::vector<std::string>{"keyed", "alice"}), Names());

    char names[7 * kNameEntrySize] = {};
    BYTE count = 0;
    EXPECT_EQ(0u, Card_ListContainers(names, &count, 7));
    ASSERT_EQ(2, count);
    EXPECT_STREQ("keyed", names);
    EXPECT_STREQ("alice", names + kNameEntrySize);

    char name[kContainerNameBytes + 1] = {};
    EXPECT_EQ(0u, Card_GetContainerName(name, 2));
    EXPECT_STREQ("alice", name);
    name[0] = '#';
    EXPECT_EQ(STATUS_NO_MORE_NAMES, Card_GetContainerName(name, 3));
    EXPECT_EQ('#', name[0]) << "untouched";
    EXPECT_EQ(STATUS_NULL_BUFFER, Card_GetContainerName(nullptr, 1));

    BYTE status[kContainerStatusBytes];
    EXPECT_EQ(0u, Card_OpenContainer("keyed", status));
    const BYTE signature_entry[9] = {0x01, 2, 1, SizeCode(), 0, 0, 8, 0, 0};
    EXPECT_EQ(0, std::memcmp(status + 2, signature_entry, 9));
    EXPECT_EQ(std::vector<BYTE>(9, 0), std::vector<BYTE>(status + 11, status + 20));
}

TEST_P(SimulatedCardTest, KeysAndContainersAreDeleted) {
    KeyIn(0x8001);
    KeyIn(0x8003);
    Container("both", 0x8001, 0x8003);
    Container("other", 0x8002, 0);
    Verify();

    BYTE status[kContainerStatusBytes];
    ASSERT_EQ(0u, Card_OpenContainer("both", status));
    EXPECT_EQ(0u, Card_DeleteRSAKey("both", 2, 0, status));
    EXPECT_FALSE(HasKey(0x8003));
    EXPECT_TRUE(HasKey(0x8001));
    EXPECT_EQ(0, status[12]);
    EXPECT_EQ(8, status[17]);  // the capacity stays
    EXPECT_EQ(static_cast<DWORD>(NTE_NO_KEY), Card_DeleteRSAKey("both", 2, 0, status));

    EXPECT_EQ(0u, Card_DeleteContainer("both"));
    EXPECT_FALSE(HasKey(0x8001));
    EXPECT_EQ((std::vector<std::string>{"other"}), Names());
    EXPECT_FALSE(Card_StatusSucceeded(Card_DeleteContainer("both")));
}

TEST_P(SimulatedCardTest, FullDirectoryRefusesAnotherContainer) {
    // Every container names a key file, so no clean-up makes room.
    const int capacity = static_cast<int>(Card_ContainerCapacity());
    for (int i = 0; i < capacity; ++i) Container("c" + std::to_string(i), 0x8001, 0);
    BYTE answer[kContainerStatusBytes] = {};
    EXPECT_EQ(0x6A84u, Card_CreateContainer("one too many", answer, sizeof answer));
    EXPECT_EQ(static_cast<size_t>(capacity), Names().size());
}

TEST_P(SimulatedCardTest, CreationCleansUpLeftovers) {
    Verify();
    Container("keyed", 0x8001, 0);
    Container("empty1", 0, 0);
    Container("exchange", 0, 0x8002);
    Container("empty2", 0, 0);
    BYTE answer[kContainerStatusBytes] = {};
    if (Type() == 7) {
        // Every key-less record and every record of the seventh key file goes.
        std::string error;
        ASSERT_TRUE(sim::AddKeyFile(Card(), 0x8007, 0, &error)) << error;
        Container("seventh", 0x8007, 0);
        ASSERT_EQ(0u, Card_CreateContainer("new", answer, sizeof answer));
        EXPECT_EQ((std::vector<std::string>{"keyed", "exchange", "new"}), Names());
        return;
    }
    // Four containers: nothing is cleaned up.
    ASSERT_EQ(0u, Card_CreateContainer("new", answer, sizeof answer));
    EXPECT_EQ((std::vector<std::string>{"keyed", "empty1", "exchange", "empty2", "new"}), Names());
    // Five: the key-less ones go before the next record is made.
    ASSERT_EQ(0u, Card_CreateContainer("newer", answer, sizeof answer));
    EXPECT_EQ((std::vector<std::string>{"keyed", "exchange", "newer"}), Names());
}

TEST_P(SimulatedCardTest, CertificateIsReadInPieces) {
    KeyIn(0x8002);
    std::vector<BYTE> certificate(1234);
    for (size_t i = 0; i < certificate.size(); ++i) certificate[i] = static_cast<BYTE>(i * 7 + 3);
    std::string error;
    ASSERT_TRUE(sim::PutCertificate(Card(), 0x8002, certificate, &error)) << error;

    BYTE info[kFileInfoSize] = {};
    ASSERT_EQ(0u, Card_GetFileInfo(0x80, 0x02, info));
    EXPECT_EQ((std::vector<BYTE>{0x08, 0x00, 0x04, 0xD2, 0x01}), std::vector<BYTE>(info, info + 5));

    std::vector<BYTE> buffer(kMaxCertificateLength + 255, 0);
    ASSERT_EQ(0u, Card_ReadFile(1234, buffer.data(), buffer.size()));
    EXPECT_EQ(certificate, std::vector<BYTE>(buffer.begin(), buffer.begin() + 1234));
}

INSTANTIATE_TEST_SUITE_P(EveryCard, SimulatedCardTest,
                         ::testing::Combine(::testing::Values(1, 3, 5, 6, 7),
                                            ::testing::Values(sim::CardProtocol::T1, sim::CardProtocol::T0)),
                         [](const ::testing::TestParamInfo<CardKind>& info) {
                             return "Type" + std::to_string(std::get<0>(info.param)) +
                                    (std::get<1>(info.param) == sim::CardProtocol::T0 ? "T0" : "T1");
                         });

}  // namespace
}  // namespace kelm::card::testing
