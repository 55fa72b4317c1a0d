// The Windows-named SCard* functions over a scripted backend (argument checks, the reader
// multi-string, bounded responses, reader-state polling) and over pcsc-lite (its 64-bit codes
// and flags as the Windows 32-bit values, and a service that cannot be reached).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kelm/winapi.h"
#include "platform/process/clock_seam.h"
#include "platform/pcsc/pcsc_backend.h"
#include "platform/pcsc/pcsc_lite_calls.h"

namespace kelm::platform {
namespace {

struct ScriptedBackend : PcscBackend {
    std::vector<std::string> readers{"Reader A", "Reader B"};
    LONG list_result = SCARD_S_SUCCESS;
    LONG connect_result = SCARD_S_SUCCESS;
    std::vector<BYTE> answer{0x90, 0x00};
    DWORD claimed_length = 0;  // when non-zero, reported instead of answer.size()
    DWORD last_protocol = 0;
    std::vector<BYTE> last_command;
    int connects = 0;
    int disconnects = 0;
    // With knows_state the backend answers state queries itself, as pcsc-lite does; otherwise
    // the seam probes by connecting.
    bool knows_state = false;
    DWORD state = SCARD_STATE_EMPTY;
    std::vector<BYTE> atr;
    int queries = 0;

    LONG EstablishContext(DWORD, SCARDCONTEXT* context) override { return *context = 0x1234, SCARD_S_SUCCESS; }
    LONG ReleaseContext(SCARDCONTEXT) override { return SCARD_S_SUCCESS; }
    LONG ListReaders(SCARDCONTEXT, std::vector<std::string>* out) override { return *out = readers, list_result; }
    LONG Connect(SCARDCONTEXT, const std::string&, DWORD, DWORD, SCARDHANDLE* card, DWORD* active) override {
        ++connects, *card = 0x77, *active = SCARD_PROTOCOL_T1;
        return connect_result;
    }
    LONG Disconnect(SCARDHANDLE, DWORD) override { return ++disconnects, SCARD_S_SUCCESS; }
    LONG Transmit(SCARDHANDLE, DWORD protocol, const BYTE* command, DWORD command_length, BYTE* response,
                  DWORD* response_length) override {
        last_protocol = protocol;
        last_command.assign(command, command + command_length);
        std::memcpy(response, answer.data(), std::min<size_t>(answer.size(), *response_length));
        *response_length = claimed_length != 0 ? claimed_length : static_cast<DWORD>(answer.size());
        return SCARD_S_SUCCESS;
    }
    LONG ReaderState(SCARDCONTEXT context, const std::string& reader, DWORD* out,
                     std::vector<BYTE>* out_atr) override {
        if (!knows_state) return PcscBackend::ReaderState(context, reader, out, out_atr);
        if (++queries, reader == "missing") return SCARD_E_UNKNOWN_READER;
        return *out = state, *out_atr = atr, SCARD_S_SUCCESS;
    }
};

SCARD_READERSTATEA State(const char* reader, DWORD current) {
    SCARD_READERSTATEA state{};
    state.szReader = reader;
    state.dwCurrentState = current;
    return state;
}

class PcscDispatch : public ::testing::Test {
protected:
    void SetUp() override { SetPcscBackend(&backend); }
    void TearDown() override {
        SetPcscBackend(nullptr);
        UseFakeClock(nullptr);
    }
    ScriptedBackend backend;
};

TEST_F(PcscDispatch, ReaderListIsAWindowsMultiStringWithSizeQuery) {
    backend.readers = {"Reader A", "", "Reader B"};  // an empty name must not cut the list short
    DWORD length = 0;
    ASSERT_EQ(SCardListReadersA(1, nullptr, nullptr, &length), SCARD_S_SUCCESS);
    const std::string expected("Reader A\0Reader B\0\0", 19);
    EXPECT_EQ(length, expected.size());

    std::vector<char> small(length - 1, 'x');
    DWORD small_length = static_cast<DWORD>(small.size());
    EXPECT_EQ(SCardListReadersA(1, nullptr, small.data(), &small_length), SCARD_E_INSUFFICIENT_BUFFER);
    EXPECT_EQ(small_length, expected.size());
    EXPECT_TRUE(std::all_of(small.begin(), small.end(), [](char c) { return c == 'x'; }));

    std::vector<char> names(length);
    ASSERT_EQ(SCardListReadersA(1, nullptr, names.data(), &length), SCARD_S_SUCCESS);
    EXPECT_EQ(std::string(names.data(), length), expected);

    DWORD auto_allocate = 0xFFFFFFFFu;
    EXPECT_EQ(SCardListReadersA(1, nullptr, names.data(), &auto_allocate), SCARD_E_INVALID_PARAMETER);
    EXPECT_EQ(SCardListReadersA(1, nullptr, nullptr, nullptr), SCARD_E_INVALID_PARAMETER);
    backend.readers = {""};
    EXPECT_EQ(SCardListReadersA(1, nullptr, nullptr, &length), SCARD_E_NO_READERS_AVAILABLE);
    backend.list_result = SCARD_E_NO_SERVICE;
    EXPECT_EQ(SCardListReadersA(1, nullptr, nullptr, &length), SCARD_E_NO_SERVICE);
}

TEST_F(PcscDispatch, ConnectAndTransmitCheckArgumentsAndPassTheProtocol) {
    SCARDHANDLE card = 99;
    DWORD active = 0;
    EXPECT_EQ(SCardConnectA(1, nullptr, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, &card, &active),
              SCARD_E_INVALID_PARAMETER);
    EXPECT_EQ(SCardConnectA(1, "Reader A", 7, SCARD_PROTOCOL_T1, &card, &active), SCARD_E_INVALID_VALUE);
    EXPECT_EQ(backend.connects, 0);
    ASSERT_EQ(SCardConnectA(1, "Reader A", SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, &card, &active), SCARD_S_SUCCESS);
    EXPECT_EQ(card, 0x77u);
    EXPECT_EQ(active, static_cast<DWORD>(SCARD_PROTOCOL_T1));
    EXPECT_EQ(SCardDisconnect(0x77, 9), SCARD_E_INVALID_VALUE);

    backend.answer = {0x01, 0x02, 0x03, 0x90, 0x00};
    const BYTE select[] = {0x00, 0xA4, 0x04, 0x00, 0x02, 0xAA, 0xBB};
    BYTE response[16] = {};
    DWORD length = sizeof response;
    SCARD_IO_REQUEST received_pci{};
    ASSERT_EQ(SCardTransmit(card, &g_rgSCardT0Pci, select, sizeof select, &received_pci, response, &length),
              SCARD_S_SUCCESS);
    EXPECT_EQ(backend.last_protocol, static_cast<DWORD>(SCARD_PROTOCOL_T0));
    EXPECT_EQ(backend.last_command, std::vector<BYTE>(select, select + sizeof select));
    EXPECT_EQ(std::vector<BYTE>(response, response + length), backend.answer);
    EXPECT_EQ(received_pci.dwProtocol, static_cast<DWORD>(SCARD_PROTOCOL_T0));
    EXPECT_EQ(SCardTransmit(card, &g_rgSCardT1Pci, select, 0, nullptr, response, &length), SCARD_E_INVALID_PARAMETER);
    EXPECT_EQ(SCardTransmit(card, nullptr, select, sizeof select, nullptr, response, &length),
              SCARD_E_INVALID_PARAMETER);

    backend.connect_result = SCARD_E_NO_SMARTCARD;
    EXPECT_EQ(SCardConnectA(1, "Reader A", SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, &card, &active),
              SCARD_E_NO_SMARTCARD);
    EXPECT_EQ(card, 0u) << "a failed connect leaves no handle behind";
}

TEST_F(PcscDispatch, AnAnswerLongerThanTheBufferNeverOverrunsIt) {
    const BYTE command[] = {0x80, 0xCA, 0x00, 0x00, 0x00};
    // The caller offers 258 bytes inside a larger block: the guard bytes after them must survive.
    // The second backend claims more than any APDU can hold.
    const struct {
        size_t answer_size;
        DWORD claimed;
        DWORD reported;
    } cases[] = {{300, 0, 300}, {259, 0, 259}, {2, 0xFFFFFFF0u, 0}};
    for (const auto& c : cases) {
        backend.answer.assign(c.answer_size, 0x5A);
        backend.claimed_length = c.claimed;
        std::vector<BYTE> block(258 + 64, 0xEE);
        DWORD length = 258;
        EXPECT_EQ(SCardTransmit(0x77, &g_rgSCardT1Pci, command, sizeof command, nullptr, block.data(), &length),
                  SCARD_E_INSUFFICIENT_BUFFER);
        EXPECT_EQ(length, c.reported);
        EXPECT_TRUE(std::all_of(block.begin(), block.end(), [](BYTE b) { return b == 0xEE; }));
    }
}

TEST_F(PcscDispatch, StatusChangeReportsPresenceBoundsTheAtrAndWaitsUntilTheTimeout) {
    backend.knows_state = true;
    backend.state = SCARD_STATE_PRESENT;
    backend.atr.assign(40, 0x3B);  // longer than an entry holds
    SCARD_READERSTATEA states[2] = {State("Reader A", SCARD_STATE_UNAWARE), State("missing", SCARD_STATE_UNAWARE)};
    ASSERT_EQ(SCardGetStatusChangeA(1, 0, states, 2), SCARD_S_SUCCESS);
    EXPECT_EQ(states[0].dwEventState, static_cast<DWORD>(SCARD_STATE_PRESENT | SCARD_STATE_CHANGED));
    EXPECT_EQ(states[0].cbAtr, 36u);
    EXPECT_EQ(states[1].dwEventState & SCARD_STATE_UNKNOWN, static_cast<DWORD>(SCARD_STATE_UNKNOWN));
    SCARD_READERSTATEA none{};
    EXPECT_EQ(SCardGetStatusChangeA(1, 0, nullptr, 1), SCARD_E_INVALID_PARAMETER);
    EXPECT_EQ(SCardGetStatusChangeA(1, 0, &none, 1), SCARD_E_INVALID_PARAMETER);

    FakeClock clock;
    UseFakeClock(&clock);
    backend.state = SCARD_STATE_EMPTY;
    SCARD_READERSTATEA state = State("Reader A", SCARD_STATE_EMPTY);
    backend.queries = 0;
    EXPECT_EQ(SCardGetStatusChangeA(1, 1000, &state, 1), SCARD_E_TIMEOUT);
    EXPECT_EQ(clock.total_slept_ms, 1000u);
    EXPECT_GT(backend.queries, 2);
    EXPECT_EQ(state.dwEventState, static_cast<DWORD>(SCARD_STATE_EMPTY));
    clock.total_slept_ms = 0;
    EXPECT_EQ(SCardGetStatusChangeA(1, 0, &state, 1), SCARD_E_TIMEOUT);
    EXPECT_EQ(clock.total_slept_ms, 0u);
    state.dwCurrentState = SCARD_STATE_IGNORE;
    EXPECT_EQ(SCardGetStatusChangeA(1, 0, &state, 1), SCARD_E_TIMEOUT);
}

TEST_F(PcscDispatch, BackendsWithoutStateQueriesAreProbedByConnecting) {
    SCARD_READERSTATEA state = State("Reader A", SCARD_STATE_UNAWARE);
    ASSERT_EQ(SCardGetStatusChangeA(1, 0, &state, 1), SCARD_S_SUCCESS);
    EXPECT_EQ(state.dwEventState & SCARD_STATE_PRESENT, static_cast<DWORD>(SCARD_STATE_PRESENT));
    EXPECT_EQ(backend.disconnects, 1);  // the probe leaves no connection behind

    backend.connect_result = SCARD_E_NO_SMARTCARD;
    state.dwCurrentState = SCARD_STATE_PRESENT;
    ASSERT_EQ(SCardGetStatusChangeA(1, 0, &state, 1), SCARD_S_SUCCESS);
    EXPECT_EQ(state.dwEventState, static_cast<DWORD>(SCARD_STATE_EMPTY | SCARD_STATE_CHANGED));
    backend.connect_result = SCARD_E_NO_SERVICE;
    EXPECT_EQ(SCardGetStatusChangeA(1, 0, &state, 1), SCARD_E_NO_SERVICE);
}

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
