// The card layer against the simulated card of every type, on T=0 and T=1: the container
// directory (create, list, find, open, delete, full, name taken), the clean-up before a
// creation, and reading a certificate in pieces. The session's calls are checked against a
// scripted card.
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "card/apdu_transport.h"
#include "card/card_files.h"
#include "card/reader_session.h"
#include "kelm/winapi.h"
#include "platform/process/clock_seam.h"
#include "platform/ui/ui_responder.h"
#include "support/registry_fixture.h"
#include "support/sim_fixture.h"

namespace kelm::card::testing {
namespace {

using CardKind = std::tuple<int, sim::CardProtocol>;
using Bytes = std::vector<BYTE>;

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
    // Key files and containers the test needs, made on the card directly.
    void KeyIn(WORD file) { ASSERT_TRUE(sim::PutNewKey(Card(), file, &error)) << error; }
    void Container(const std::string& name, WORD signature_file, WORD exchange_file) {
        ASSERT_TRUE(sim::AddContainer(Card(), name, signature_file, exchange_file, &error)) << error;
    }
    bool HasKey(WORD file) {
        Bytes modulus, exponent;
        return sim::PublicKeyOf(Card(), file, &modulus, &exponent);
    }
    std::vector<std::string> Names() {
        std::vector<std::string> out;
        for (const sim::ContainerInfo& info : sim::ContainersOf(Card())) out.push_back(info.name);
        return out;
    }
    // The card erases keys only after the PIN.
    void Verify() {
        BYTE pin[16], le = 0, answer[kApduResponseCapacity];
        std::memset(pin, Type() == 5 ? ' ' : 0xFF, sizeof pin);
        std::memcpy(pin, kelm::testing::kSimPin, std::strlen(kelm::testing::kSimPin));
        ASSERT_EQ(0u, Card_SendAPDU(0x00, 0x20, 0x01, 0x28, sizeof pin, &le, pin, answer, 0));
    }

    platform::FakeClock clock;
    platform::ScriptedResponder ui;
    test::ScopedInMemoryRegistry registry;
    std::unique_ptr<kelm::testing::ScopedSimCard> simulated;
    std::string error;
    BYTE status[kContainerStatusBytes] = {};
};

TEST_P(SimulatedCardTest, ContainersAreCreatedListedOpenedAndDeleted) {
    KeyIn(0x8001);
    KeyIn(0x8003);
    Container("both", 0x8001, 0x8003);
    EXPECT_EQ(0x6602u, Card_CreateContainer("both", status, sizeof status));  // the name is taken
    EXPECT_EQ(0u, Card_CreateContainer("alice", status, sizeof status));
    EXPECT_EQ((std::vector<std::string>{"both", "alice"}), Names());

    char names[7 * kNameEntrySize] = {};
    BYTE count = 0;
    EXPECT_EQ(0u, Card_ListContainers(names, &count, 7));
    ASSERT_EQ(2, count);
    EXPECT_STREQ("both", names);
    EXPECT_STREQ("alice", names + kNameEntrySize);
    char name[kContainerNameBytes + 1] = {};
    EXPECT_EQ(0u, Card_GetContainerName(name, 2));
    EXPECT_STREQ("alice", name);
    name[0] = '#';
    EXPECT_EQ(STATUS_NO_MORE_NAMES, Card_GetContainerName(name, 3));
    EXPECT_EQ('#', name[0]) << "untouched";

    const BYTE size_code = Type() == 6 ? 4 : 2;
    ASSERT_EQ(0u, Card_OpenContainer("both", status));
    EXPECT_EQ((Bytes{0x01, 2, 1, size_code, 0, 0, 8, 0, 0}), Bytes(status + 2, status + 11));
    EXPECT_EQ((Bytes{0x03, 2, 2, size_code, 0, 0, 8, 0, 0}), Bytes(status + 11, status + 20));

    Verify();
    EXPECT_EQ(0u, Card_DeleteRSAKey("both", 2, 0, status));
    EXPECT_FALSE(HasKey(0x8003));
    EXPECT_TRUE(HasKey(0x8001));
    EXPECT_EQ(0, status[12]);
    EXPECT_EQ(8, status[17]);  // the capacity stays
    EXPECT_EQ(static_cast<DWORD>(NTE_NO_KEY), Card_DeleteRSAKey("both", 2, 0, status));
    EXPECT_EQ(0u, Card_DeleteContainer("both"));
    EXPECT_FALSE(HasKey(0x8001));
    EXPECT_EQ((std::vector<std::string>{"alice"}), Names());
    EXPECT_FALSE(Card_StatusSucceeded(Card_DeleteContainer("both")));
}

TEST_P(SimulatedCardTest, CreationCleansUpLeftovers) {
    Verify();
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

TEST_P(SimulatedCardTest, FullDirectoryRefusesAnotherContainer) {
    EXPECT_EQ(static_cast<DWORD>(Type()), Card_GetCardType());
    // Every record names a key file, so no clean-up makes room.
    while (Names().size() < Card_ContainerCapacity()) {
        Container(std::string("c").append(std::to_string(Names().size())), 0x8001, 0);
    }
    EXPECT_EQ(0x6A84u, Card_CreateContainer("one too many", status, sizeof status));
    EXPECT_EQ(Card_ContainerCapacity(), Names().size());
}

TEST_P(SimulatedCardTest, CertificateIsReadInPieces) {
    KeyIn(0x8002);
    Bytes certificate(1234);
    for (size_t i = 0; i < certificate.size(); ++i) certificate[i] = static_cast<BYTE>(i * 7 + 3);
    ASSERT_TRUE(sim::PutCertificate(Card(), 0x8002, certificate, &error)) << error;
    BYTE info[kFileInfoSize] = {};
    ASSERT_EQ(0u, Card_GetFileInfo(0x80, 0x02, info));
    EXPECT_EQ((Bytes{0x08, 0x00, 0x04, 0xD2, 0x01}), Bytes(info, info + 5));
    Bytes buffer(kMaxCertificateLength + 255, 0);
    ASSERT_EQ(0u, Card_ReadFile(1234, buffer.data(), buffer.size()));
    EXPECT_EQ(certificate, Bytes(buffer.begin(), buffer.begin() + 1234));
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
