// The pcsc-lite backend: its 64-bit codes and flags against the Windows 32-bit values, and the
// answer when the service cannot be reached.
#include <gtest/gtest.h>

#include <cstdlib>

#include "kelm/winapi.h"
#include "platform/pcsc/pcsc_backend.h"
#include "platform/pcsc/pcsc_lite_calls.h"

namespace kelm::platform {
namespace {

TEST(PcscLiteConversion, CodesAndProtocolBitsBecomeTheirWindowsValues) {
    // pcsc-lite hands 0x8010001D back as a positive 64-bit long; Windows sees a negative LONG.
    EXPECT_EQ(pcsclite::WindowsCode(0x8010001DL), SCARD_E_NO_SERVICE);
    EXPECT_EQ(pcsclite::WindowsCode(0x80100069L), SCARD_W_REMOVED_CARD);
    // A sign-extended form of the same code means the same thing.
    EXPECT_EQ(pcsclite::WindowsCode(static_cast<long>(static_cast<int32_t>(0x80100008u))),
              SCARD_E_INSUFFICIENT_BUFFER);
    EXPECT_EQ(pcsclite::WindowsCode(0), SCARD_S_SUCCESS);

    EXPECT_EQ(pcsclite::LiteProtocols(SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1), 0x3ul);
    EXPECT_EQ(pcsclite::LiteProtocols(0x10000u), 0x4ul);  // raw
    EXPECT_EQ(pcsclite::WindowsProtocols(0x4ul), 0x10000u);
    EXPECT_EQ(pcsclite::WindowsProtocols(0x2ul), static_cast<uint32_t>(SCARD_PROTOCOL_T1));
    // Bits beyond 32 (impossible on Windows) are dropped rather than truncated into others.
    EXPECT_EQ(pcsclite::WindowsProtocols(0x100000001ul), static_cast<uint32_t>(SCARD_PROTOCOL_T0));
}

TEST(PcscLite, AnUnreachableServiceIsNoServiceAtEveryCall) {
    // pcsc-lite finds pcscd through this socket; pointing it nowhere stands for a stopped service.
    setenv("PCSCLITE_CSOCK_NAME", "/nonexistent/kelm-test/pcscd.comm", 1);
    SetPcscBackend(nullptr);
    SCARDCONTEXT context = 0x55;
    EXPECT_EQ(SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context), SCARD_E_NO_SERVICE);
    EXPECT_EQ(context, 0u);
    EXPECT_EQ(SCardEstablishContext(7, nullptr, nullptr, &context), SCARD_E_INVALID_VALUE);
    EXPECT_EQ(SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, nullptr), SCARD_E_INVALID_PARAMETER);
    EXPECT_EQ(pcsclite::LoadProblem(), "");  // the library itself is there
}

}  // namespace
}  // namespace kelm::platform
