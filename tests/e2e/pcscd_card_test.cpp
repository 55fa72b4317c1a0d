// Through the real pcscd and its vpcd driver: the card that scripts/services.sh serves in
// "Virtual PCD 00 00", and cards this test serves itself in "Virtual PCD 00 01" with
// kelm-cardsim (both protocols, a clean stop, and a card pulled out while connected).
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "kelm/winapi.h"
#include "platform/pcsc/pcsc_backend.h"
#include "served_card.h"
#include "support/run_command.h"

namespace {

using kelm::test::CardsimProcess;
using kelm::test::kTestReader;
using kelm::test::WaitForCard;

const char kServicesReader[] = "Virtual PCD 00 00";

// SELECT by name of the five applications; a card answers 90 00 to its own one only.
std::vector<BYTE> Select(BYTE high, BYTE low) {
    return {0x00, 0xA4, 0x04, 0x00, 0x08, 0xF1, 0x5C, 0x3E, 0x00, 0x27, 0x95, high, low};
}
const std::vector<BYTE> kSelects[] = {Select(1, 3), Select(1, 1), Select(0, 1), Select(1, 5), Select(1, 6)};
const std::vector<BYTE>& SelectTypeOne() { return kSelects[1]; }
const std::vector<BYTE> kOk = {0x90, 0x00};

struct Context {
    SCARDCONTEXT handle = 0;
    ~Context() {
        if (handle != 0) SCardReleaseContext(handle);
    }
};

bool IsPcscCode(LONG code) { return (static_cast<uint32_t>(code) & 0xFFFF0000u) == 0x80100000u; }

std::string CodeText(LONG code) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(code));
    return std::string(kelm::platform::PcscErrorName(code)) + " " + hex;
}

LONG Exchange(SCARDHANDLE card, DWORD protocol, const std::vector<BYTE>& command, std::vector<BYTE>* answer) {
    answer->assign(258, 0);
    DWORD length = static_cast<DWORD>(answer->size());
    const SCARD_IO_REQUEST* pci = protocol == SCARD_PROTOCOL_T0 ? &g_rgSCardT0Pci : &g_rgSCardT1Pci;
    const LONG result = SCardTransmit(card, pci, command.data(), static_cast<DWORD>(command.size()), nullptr,
                                      answer->data(), &length);
    answer->resize(result == SCARD_S_SUCCESS ? length : 0);
    return result;
}

class ThroughPcscd : public ::testing::Test {
protected:
    void SetUp() override {
        kelm::platform::SetPcscBackend(nullptr);
        const LONG result = SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context.handle);
        ASSERT_EQ(result, SCARD_S_SUCCESS) << CodeText(result)
                                           << ": these tests need pcscd and the simulated card; run "
                                              "scripts/services.sh start first";
        directory = std::filesystem::temp_directory_path() /
                    ("kelm-e2e-" + std::to_string(getpid()) + "-" +
                     ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(directory);
        std::filesystem::create_directories(directory);
        ASSERT_TRUE(WaitForCard(context.handle, kTestReader, false)) << "the test reader holds a card already";
    }
    void TearDown() override { std::filesystem::remove_all(directory); }

    std::string Image(const char* name) const { return (directory / name).string(); }

    Context context;
    std::filesystem::path directory;
};

TEST_F(ThroughPcscd, TheServicesCardIsListedAndAnswersExactlyItsOwnApplication) {
    DWORD length = 0;
    ASSERT_EQ(SCardListReadersA(context.handle, nullptr, nullptr, &length), SCARD_S_SUCCESS);
    std::vector<char> names(length);
    ASSERT_EQ(SCardListReadersA(context.handle, nullptr, names.data(), &length), SCARD_S_SUCCESS);
    std::vector<std::string> readers;
    for (size_t pos = 0; pos < length && names[pos] != '\0'; pos += readers.back().size() + 1) {
        readers.emplace_back(&names[pos]);
    }
    EXPECT_NE(std::find(readers.begin(), readers.end(), kServicesReader), readers.end());
    EXPECT_NE(std::find(readers.begin(), readers.end(), kTestReader), readers.end());
    ASSERT_TRUE(WaitForCard(context.handle, kServicesReader, true, 2000));

    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    ASSERT_EQ(SCardConnectA(context.handle, kServicesReader, SCARD_SHARE_SHARED,
                            SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card, &protocol),
              SCARD_S_SUCCESS);
    int selected = 0;
    for (const std::vector<BYTE>& select : kSelects) {
        std::vector<BYTE> answer;
        ASSERT_EQ(Exchange(card, protocol, select, &answer), SCARD_S_SUCCESS);
        ASSERT_GE(answer.size(), 2u);
        selected += answer == kOk;
    }
    EXPECT_EQ(selected, 1);
    EXPECT_EQ(SCardDisconnect(card, SCARD_LEAVE_CARD), SCARD_S_SUCCESS);
}

TEST_F(ThroughPcscd, BothProtocolsConnectACardSurvivesItsServerAndAPulledCardGivesPcscErrors) {
    for (const char* protocol_name : {"T0", "T1"}) {
        SCOPED_TRACE(protocol_name);
        const DWORD expected = std::string(protocol_name) == "T0" ? SCARD_PROTOCOL_T0 : SCARD_PROTOCOL_T1;
        const std::string image = Image((std::string(protocol_name) + ".json").c_str());
        for (bool make_new : {true, false}) {
            CardsimProcess cardsim;
            std::vector<std::string> arguments = {"--image", image};
            if (make_new) arguments.insert(arguments.end(), {"--new", "--type", "1", "--protocol", protocol_name});
            ASSERT_TRUE(cardsim.Start(arguments));
            ASSERT_TRUE(WaitForCard(context.handle, kTestReader, true)) << "kelm-cardsim did not show up";

            SCARDHANDLE card = 0;
            DWORD active = 0;
            ASSERT_EQ(SCardConnectA(context.handle, kTestReader, SCARD_SHARE_SHARED,
                                    SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card, &active),
                      SCARD_S_SUCCESS);
            EXPECT_EQ(active, expected);
            std::vector<BYTE> answer;
            ASSERT_EQ(Exchange(card, active, SelectTypeOne(), &answer), SCARD_S_SUCCESS);
            EXPECT_EQ(answer, kOk);
            if (make_new || expected == SCARD_PROTOCOL_T0) {
                EXPECT_EQ(SCardDisconnect(card, SCARD_LEAVE_CARD), SCARD_S_SUCCESS);
                EXPECT_EQ(cardsim.Stop(SIGTERM), 0) << "kelm-cardsim must exit cleanly on SIGTERM";
                ASSERT_TRUE(WaitForCard(context.handle, kTestReader, false));
                continue;
            }

            // The last card is pulled out while connected: no goodbye, the card is simply gone.
            cardsim.Stop(SIGKILL);
            ASSERT_TRUE(WaitForCard(context.handle, kTestReader, false));
            const LONG transmitted = Exchange(card, active, SelectTypeOne(), &answer);
            EXPECT_NE(transmitted, SCARD_S_SUCCESS);
            EXPECT_TRUE(IsPcscCode(transmitted)) << CodeText(transmitted);
            EXPECT_TRUE(answer.empty());
            SCardDisconnect(card, SCARD_LEAVE_CARD);
            const LONG connected = SCardConnectA(context.handle, kTestReader, SCARD_SHARE_SHARED,
                                                 SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card, &active);
            EXPECT_TRUE(connected == SCARD_E_NO_SMARTCARD || connected == SCARD_W_REMOVED_CARD) << CodeText(connected);
        }
    }
}

// Runs kelm-tool with the arguments and returns its standard output and exit status.
int RunTool(const std::string& arguments, std::string* output) {
    kelm::test::CommandRun run = kelm::test::RunCommand(std::string("'") + KELM_TOOL_PATH + "' " + arguments + " 2>&1");
    *output = std::move(run.output);
    return run.status;
}

TEST_F(ThroughPcscd, KelmToolListsTheReadersAndSendsRawCommands) {
    std::string output;
    ASSERT_EQ(RunTool("readers", &output), 0) << output;
    EXPECT_NE(output.find(std::string(kServicesReader) + "\tcard present"), std::string::npos) << output;
    EXPECT_NE(output.find(std::string(kTestReader) + "\tno card"), std::string::npos) << output;

    // The services card is type 1 unless KELM_SIM_TYPE chose otherwise; serve a known card here.
    CardsimProcess cardsim;
    ASSERT_TRUE(cardsim.Start({"--image", Image("tool.json"), "--new", "--type", "1", "--protocol", "T0"}));
    ASSERT_TRUE(WaitForCard(context.handle, kTestReader, true));
    ASSERT_EQ(RunTool("apdu --reader 'Virtual PCD 00 01' '00 A4 04 00 08 F1 5C 3E 00 27 95 01 01' 00A4040008F15C3E0027950103",
                      &output),
              0)
        << output;
    ASSERT_EQ(output.size(), 12u) << output;
    EXPECT_EQ(output.substr(0, 6), "90 00\n");
    EXPECT_NE(output.substr(6, 5), "90 00");

    cardsim.Stop(SIGKILL);
    ASSERT_TRUE(WaitForCard(context.handle, kTestReader, false));
    EXPECT_EQ(RunTool("apdu --reader 'Virtual PCD 00 01' 00A4040008F15C3E0027950101", &output), 1);
    EXPECT_NE(output.find("no card"), std::string::npos) << output;
}

}  // namespace
