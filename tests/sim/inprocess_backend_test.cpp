// The in-process PC/SC backend: what one connection does to the others sharing its reader.
#include <gtest/gtest.h>

#include "kelm/winapi.h"
#include "sim_test_util.h"

namespace kelm::sim::test {
namespace {

using kelm::testing::ScopedSimCard;

// A context and a card handle; the context is released (and with it the handle) at scope end.
struct Connection {
    SCARDCONTEXT context = 0;
    SCARDHANDLE handle = 0;
    DWORD protocol = 0;
    ~Connection() { SCardReleaseContext(context); }
    LONG Open(const std::string& reader, DWORD share) {
        if (context == 0 && SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context) != SCARD_S_SUCCESS) return -1;
        return SCardConnectA(context, reader.c_str(), share, SCARD_PROTOCOL_T1, &handle, &protocol);
    }
    LONG Transmit(const std::vector<BYTE>& apdu) const {
        BYTE buffer[300];
        DWORD length = sizeof buffer;
        return SCardTransmit(handle, &g_rgSCardT1Pci, apdu.data(), static_cast<DWORD>(apdu.size()), nullptr, buffer, &length);
    }
};

TEST(SimBackend, SharingDispositionsAndRemovalReachEveryHandle) {
    for (DWORD disposition : {DWORD{SCARD_RESET_CARD}, DWORD{SCARD_UNPOWER_CARD}, DWORD{SCARD_LEAVE_CARD}}) {
        ScopedSimCard sim;
        Connection a, b, c;
        ASSERT_EQ(a.Open(sim.reader(), SCARD_SHARE_SHARED), SCARD_S_SUCCESS);
        EXPECT_EQ(c.Open(sim.reader(), SCARD_SHARE_EXCLUSIVE), SCARD_E_SHARING_VIOLATION);
        ASSERT_EQ(b.Open(sim.reader(), SCARD_SHARE_SHARED), SCARD_S_SUCCESS);
        ASSERT_EQ(a.Transmit(VerifyApdu(1, "12345678")), SCARD_S_SUCCESS);
        EXPECT_EQ(SCardDisconnect(a.handle, disposition), SCARD_S_SUCCESS);
        const bool reset = disposition != SCARD_LEAVE_CARD;
        EXPECT_EQ(PinVerified(sim.card()), !reset) << disposition;
        // Every other handle is told of the reset.
        EXPECT_EQ(b.Transmit(Bytes("00 20 01 28")), reset ? SCARD_W_RESET_CARD : SCARD_S_SUCCESS) << disposition;
    }
    // A removed card fails its handles even once it is back; an exclusive handle excludes others.
    ScopedSimCard sim;
    Connection a, b;
    ASSERT_EQ(a.Open(sim.reader(), SCARD_SHARE_EXCLUSIVE), SCARD_S_SUCCESS);
    EXPECT_EQ(b.Open(sim.reader(), SCARD_SHARE_SHARED), SCARD_E_SHARING_VIOLATION);
    sim.backend().InsertCard(sim.reader(), sim.backend().RemoveCard(sim.reader()));
    EXPECT_EQ(a.Transmit(Bytes("00 86 00 00 08")), SCARD_W_REMOVED_CARD);
    EXPECT_EQ(b.Open(sim.reader(), SCARD_SHARE_SHARED), SCARD_S_SUCCESS);
    EXPECT_EQ(b.Transmit(Bytes("00 86 00 00 08")), SCARD_S_SUCCESS);
}

}  // namespace
}  // namespace kelm::sim::test
