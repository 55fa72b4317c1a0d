// The in-process PC/SC backend: readers with and without cards, sharing, dispositions, removal,
// fault injection and the exchange log, through the Windows-named SCard functions.
#include <gtest/gtest.h>

#include "kelm/winapi.h"
#include "sim_test_util.h"

namespace kelm::sim::test {
namespace {

using kelm::testing::ScopedSimCard;
using kelm::testing::SimCardSetup;

// A context and a card handle; the context is released (and with it the handle) at scope end.
struct Connection {
    SCARDCONTEXT context = 0;
    SCARDHANDLE handle = 0;
    DWORD protocol = 0;
    ~Connection() { SCardReleaseContext(context); }
};

LONG Open(Connection* c, const std::string& reader, DWORD share = SCARD_SHARE_EXCLUSIVE, DWORD protocols = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1) {
    LONG rc = SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &c->context);
    if (rc != SCARD_S_SUCCESS) return rc;
    return SCardConnectA(c->context, reader.c_str(), share, protocols, &c->handle, &c->protocol);
}

LONG Transmit(const Connection& c, const std::vector<BYTE>& apdu, std::vector<BYTE>* answer) {
    BYTE buffer[300];
    DWORD length = sizeof buffer;
    LONG rc = SCardTransmit(c.handle, c.protocol == SCARD_PROTOCOL_T0 ? &g_rgSCardT0Pci : &g_rgSCardT1Pci, apdu.data(),
                            static_cast<DWORD>(apdu.size()), nullptr, buffer, &length);
    answer->assign(buffer, buffer + (rc == SCARD_S_SUCCESS ? length : 0));
    return rc;
}

TEST(SimBackend, ReadersWithAndWithoutCards) {
    ScopedSimCard sim;
    sim.AddEmptyReader("Empty Reader");
    SimCardSetup seven;
    seven.type = 7;
    sim.AddReaderWithCard("Second Reader", seven);
    SCARDCONTEXT context = 0;
    ASSERT_EQ(SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context), SCARD_S_SUCCESS);
    char names[512];
    DWORD length = sizeof names;
    ASSERT_EQ(SCardListReadersA(context, nullptr, names, &length), SCARD_S_SUCCESS);
    EXPECT_EQ(std::string(names), sim.reader());
    EXPECT_EQ(std::string(names + sim.reader().size() + 1), "Empty Reader");
    EXPECT_EQ(std::string(names + sim.reader().size() + 14), "Second Reader");
    DWORD state = 0;
    std::vector<BYTE> atr;
    EXPECT_EQ(kelm::platform::CurrentPcscBackend()->ReaderState(context, "Empty Reader", &state, &atr), SCARD_S_SUCCESS);
    EXPECT_EQ(state, static_cast<DWORD>(SCARD_STATE_EMPTY));
    EXPECT_EQ(kelm::platform::CurrentPcscBackend()->ReaderState(context, "Second Reader", &state, &atr), SCARD_S_SUCCESS);
    EXPECT_EQ(state, static_cast<DWORD>(SCARD_STATE_PRESENT));
    EXPECT_EQ(atr, CardAtr(*sim.backend().CardIn("Second Reader")));

    SCARDHANDLE handle = 0;
    DWORD protocol = 0;
    EXPECT_EQ(SCardConnectA(context, "Empty Reader", SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, &handle, &protocol), SCARD_E_NO_SMARTCARD);
    EXPECT_EQ(SCardConnectA(context, "No Such Reader", SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, &handle, &protocol), SCARD_E_UNKNOWN_READER);
    EXPECT_EQ(SCardConnectA(context, sim.reader().c_str(), SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0, &handle, &protocol),
              SCARD_E_PROTO_MISMATCH);
    EXPECT_EQ(SCardReleaseContext(context), SCARD_S_SUCCESS);

    sim.backend().SetServiceRunning(false);
    EXPECT_EQ(SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context), SCARD_E_NO_SERVICE);
}

TEST(SimBackend, ExclusiveConnectionExcludesOthers) {
    ScopedSimCard sim;
    {
        Connection first, second, third;
        ASSERT_EQ(Open(&first, sim.reader(), SCARD_SHARE_SHARED), SCARD_S_SUCCESS);
        EXPECT_EQ(Open(&second, sim.reader(), SCARD_SHARE_EXCLUSIVE), SCARD_E_SHARING_VIOLATION);
        EXPECT_EQ(SCardDisconnect(first.handle, SCARD_LEAVE_CARD), SCARD_S_SUCCESS);
        EXPECT_EQ(SCardDisconnect(first.handle, SCARD_LEAVE_CARD), SCARD_E_INVALID_HANDLE);
        ASSERT_EQ(SCardConnectA(second.context, sim.reader().c_str(), SCARD_SHARE_EXCLUSIVE, SCARD_PROTOCOL_T1, &second.handle,
                                &second.protocol),
                  SCARD_S_SUCCESS);
        EXPECT_EQ(second.protocol, static_cast<DWORD>(SCARD_PROTOCOL_T1));
        EXPECT_EQ(Open(&third, sim.reader(), SCARD_SHARE_SHARED), SCARD_E_SHARING_VIOLATION);
    }
    EXPECT_EQ(sim.backend().OpenHandles(), 0u) << "releasing a context closes its handles";
}

TEST(SimBackend, DispositionsResetTheCard) {
    for (DWORD disposition : {DWORD{SCARD_RESET_CARD}, DWORD{SCARD_UNPOWER_CARD}, DWORD{SCARD_LEAVE_CARD}}) {
        ScopedSimCard sim;
        Connection a, b;
        ASSERT_EQ(Open(&a, sim.reader(), SCARD_SHARE_SHARED), SCARD_S_SUCCESS);
        ASSERT_EQ(Open(&b, sim.reader(), SCARD_SHARE_SHARED), SCARD_S_SUCCESS);
        std::vector<BYTE> answer;
        ASSERT_EQ(Transmit(a, VerifyApdu(1, "12345678"), &answer), SCARD_S_SUCCESS);
        EXPECT_EQ(HexOf(answer), "90 00");
        EXPECT_EQ(SCardDisconnect(a.handle, disposition), SCARD_S_SUCCESS);
        bool reset = disposition != SCARD_LEAVE_CARD;
        EXPECT_EQ(PinVerified(sim.card()), !reset);
        // Every other handle is told of the reset.
        EXPECT_EQ(Transmit(b, Bytes("00 20 01 28"), &answer), reset ? SCARD_W_RESET_CARD : SCARD_S_SUCCESS);
    }
}

TEST(SimBackend, TransmitChecksProtocolBufferAndRemoval) {
    SimCardSetup setup;
    setup.protocol = CardProtocol::T0;
    ScopedSimCard sim(setup);
    Connection c;
    ASSERT_EQ(Open(&c, sim.reader()), SCARD_S_SUCCESS);
    EXPECT_EQ(c.protocol, static_cast<DWORD>(SCARD_PROTOCOL_T0));
    std::vector<BYTE> apdu = Bytes("00 86 00 00 08"), answer;
    BYTE small[4];
    DWORD length = sizeof small;
    EXPECT_EQ(SCardTransmit(c.handle, &g_rgSCardT1Pci, apdu.data(), 5, nullptr, small, &length), SCARD_E_PROTO_MISMATCH);
    length = sizeof small;
    EXPECT_EQ(SCardTransmit(c.handle, &g_rgSCardT0Pci, apdu.data(), 5, nullptr, small, &length), SCARD_E_INSUFFICIENT_BUFFER);

    // A removed card fails its handles, even once it is back: a new insertion needs a new connection.
    SimCardPtr card = sim.backend().RemoveCard(sim.reader());
    ASSERT_TRUE(card);
    EXPECT_EQ(Transmit(c, apdu, &answer), SCARD_W_REMOVED_CARD);
    sim.backend().InsertCard(sim.reader(), std::move(card));
    EXPECT_EQ(Transmit(c, apdu, &answer), SCARD_W_REMOVED_CARD);
    EXPECT_EQ(SCardDisconnect(c.handle, SCARD_LEAVE_CARD), SCARD_S_SUCCESS);
    ASSERT_EQ(SCardConnectA(c.context, sim.reader().c_str(), SCARD_SHARE_EXCLUSIVE, SCARD_PROTOCOL_T0, &c.handle, &c.protocol),
              SCARD_S_SUCCESS);
    EXPECT_EQ(Transmit(c, apdu, &answer), SCARD_S_SUCCESS);
}

TEST(SimBackend, FaultInjectionAndLog) {
    ScopedSimCard sim;
    Connection c;
    ASSERT_EQ(Open(&c, sim.reader()), SCARD_S_SUCCESS);
    std::vector<BYTE> answer;
    sim.backend().ClearLog();
    sim.backend().ForceNextStatus(sim.reader(), 0x6F00);
    ASSERT_EQ(Transmit(c, Bytes("00 A4 02 00 02 80 10"), &answer), SCARD_S_SUCCESS);
    EXPECT_EQ(HexOf(answer), "6F 00");
    sim.backend().TruncateNextAnswer(sim.reader(), 1);
    ASSERT_EQ(Transmit(c, Bytes("00 86 00 00 08"), &answer), SCARD_S_SUCCESS);
    EXPECT_EQ(answer.size(), 1u);
    sim.backend().SetMute(sim.reader(), true);
    EXPECT_EQ(Transmit(c, Bytes("00 86 00 00 08"), &answer), SCARD_E_TIMEOUT);
    sim.backend().SetMute(sim.reader(), false);
    ASSERT_EQ(Transmit(c, Bytes("00 A4 02 00 02 80 10"), &answer), SCARD_S_SUCCESS);
    EXPECT_EQ(HexOf(answer), "90 00");

    auto log = sim.backend().Log();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(HexOf(log[0].command), "00 A4 02 00 02 80 10");
    EXPECT_EQ(HexOf(log[0].response), "6F 00");
    EXPECT_EQ(log[1].response.size(), 1u);
    EXPECT_TRUE(log[2].response.empty());
    EXPECT_EQ(HexOf(log[3].response), "90 00");
    EXPECT_EQ(log[3].reader, sim.reader());

    // A mute card does not even answer the connection.
    ASSERT_EQ(SCardDisconnect(c.handle, SCARD_LEAVE_CARD), SCARD_S_SUCCESS);
    sim.backend().SetMute(sim.reader(), true);
    Connection other;
    EXPECT_EQ(Open(&other, sim.reader(), SCARD_SHARE_SHARED), SCARD_W_UNRESPONSIVE_CARD);
}

}  // namespace
}  // namespace kelm::sim::test
