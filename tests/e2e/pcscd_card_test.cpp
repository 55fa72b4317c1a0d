// Through the real pcscd and its vpcd driver, with cards this test serves itself in
// "Virtual PCD 00 01" with kelm-cardsim: both protocols, a clean stop, a card pulled out while
// connected, and kelm-tool listing the readers (the card scripts/services.sh serves in
// "Virtual PCD 00 00" among them) and sending raw commands to a card and to an empty reader.
#include <gtest/gtest.h>

#include <cstdio>
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

// SELECT by name of the type 1 card's application.
const std::vector<BYTE> kSelectTypeOne = {0x00, 0xA4, 0x04, 0x00, 0x08, 0xF1, 0x5C, 0x3E, 0x00, 0x27, 0x95, 0x01, 0x01};
const std::vector<BYTE> kOk = {0x90, 0x00};

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

using ThroughPcscd = kelm::test::PcscdTest;

TEST_F(ThroughPcscd, CardsInBothProtocolsACleanStopAPulledCardAndKelmToolOnTheReaders) {
    const auto tool = [](const std::string& arguments) {
        return kelm::test::RunCommand(std::string("'") + KELM_TOOL_PATH + "' " + arguments + " 2>&1");
    };
    kelm::test::CommandRun run = tool("readers");
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("Virtual PCD 00 00\tcard present"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find(std::string(kTestReader) + "\tno card"), std::string::npos) << run.output;

    for (const char* protocol_name : {"T0", "T1"}) {
        SCOPED_TRACE(protocol_name);
        const bool t0 = std::string(protocol_name) == "T0";
        CardsimProcess cardsim;
        ASSERT_TRUE(cardsim.Start({"--image", Image(std::string(protocol_name) + ".json"), "--new",
                                   "--type", "1", "--protocol", protocol_name}));
        ASSERT_TRUE(WaitForCard(context, kTestReader, true)) << "kelm-cardsim did not show up";
        SCARDHANDLE card = 0;
        DWORD active = 0;
        ASSERT_EQ(SCardConnectA(context, kTestReader, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card,
                                &active),
                  SCARD_S_SUCCESS);
        EXPECT_EQ(active, t0 ? SCARD_PROTOCOL_T0 : SCARD_PROTOCOL_T1);
        std::vector<BYTE> answer;
        ASSERT_EQ(Exchange(card, active, kSelectTypeOne, &answer), SCARD_S_SUCCESS);
        EXPECT_EQ(answer, kOk);
        if (t0) {
            EXPECT_EQ(SCardDisconnect(card, SCARD_LEAVE_CARD), SCARD_S_SUCCESS);
            // The card answers its own application's SELECT only.
            run = tool("apdu --reader 'Virtual PCD 00 01' '00 A4 04 00 08 F1 5C 3E 00 27 95 01 01' 00A4040008F15C3E0027950103");
            ASSERT_EQ(run.status, 0) << run.output;
            ASSERT_EQ(run.output.size(), 12u) << run.output;
            EXPECT_EQ(run.output.substr(0, 6), "90 00\n");
            EXPECT_NE(run.output.substr(6, 5), "90 00");
            EXPECT_EQ(cardsim.Stop(SIGTERM), 0) << "kelm-cardsim must exit cleanly on SIGTERM";
            ASSERT_TRUE(WaitForCard(context, kTestReader, false));
            continue;
        }

        // The T=1 card is pulled out while connected: no goodbye, the card is simply gone.
        cardsim.Stop(SIGKILL);
        ASSERT_TRUE(WaitForCard(context, kTestReader, false));
        const LONG transmitted = Exchange(card, active, kSelectTypeOne, &answer);
        EXPECT_EQ(static_cast<uint32_t>(transmitted) & 0xFFFF0000u, 0x80100000u) << CodeText(transmitted);
        EXPECT_TRUE(answer.empty());
        SCardDisconnect(card, SCARD_LEAVE_CARD);
        const LONG connected = SCardConnectA(context, kTestReader, SCARD_SHARE_SHARED,
                                             SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card, &active);
        EXPECT_TRUE(connected == SCARD_E_NO_SMARTCARD || connected == SCARD_W_REMOVED_CARD) << CodeText(connected);
        run = tool("apdu --reader 'Virtual PCD 00 01' 00A4040008F15C3E0027950101");
        EXPECT_EQ(run.status, 1);
        EXPECT_NE(run.output.find("no card"), std::string::npos) << run.output;
    }
}

}  // namespace
