// Command framing by protocol, the 6Cxx and 61xx second exchanges, delivery bounded by the
// caller's buffer, and answers that no conforming card would send.
#include <array>

#include "card/apdu_transport.h"
#include "scripted_card.h"

namespace kelm::card::testing {
namespace {

const BYTE kData[4] = {0xAA, 0xBB, 0xCC, 0xDD};

// `count` data bytes 01 02 03 ... followed by `status`.
std::string DataThen(size_t count, const char* status) {
    Bytes data(count);
    for (size_t i = 0; i < count; ++i) data[i] = static_cast<BYTE>(i + 1);
    return HexOf(data) + " " + status;
}

class ApduTransportTest : public CardLayerTest {
protected:
    DWORD Send(BYTE ins, BYTE lc, BYTE le_in, int le_on_t1) {
        le = le_in;
        response.fill(0xEE);
        return Card_SendAPDU(0x00, ins, 0x01, 0x02, lc, &le, kData, response.data(), le_on_t1, kApduResponseCapacity,
                             &delivered);
    }
    std::array<BYTE, 512> response{};
    size_t delivered = 99;
    BYTE le = 0;
};

// Each row scripts the card ("command > answer" checks the command too), sends one command and
// checks the status, the Le handed back and that exactly the delivered bytes were copied.
TEST_F(ApduTransportTest, ExchangesFollowTheProtocolAndTheCardsAnswers) {
    const DWORD T0 = SCARD_PROTOCOL_T0, T1 = SCARD_PROTOCOL_T1;
    struct Row {
        DWORD protocol;
        BYTE ins, lc, le;
        int le_on_t1;
        std::vector<std::string> script;
        LONG fail_after;  // the exchange after the script fails with this
        DWORD status;
        BYTE le_after;
        size_t delivered;
    } rows[] = {
        // T=0 carries P3 only for commands without data, whatever the caller says.
        {T0, 0xB0, 0, 0x00, 1, {"00 B0 01 02 > 90 00"}, 0, 0, 0x00, 0},
        {T0, 0xB0, 0, 0x16, 0, {"00 B0 01 02 16 > 90 00"}, 0, 0, 0x16, 0},
        {T0, 0xD6, 3, 0x16, 1, {"00 D6 01 02 03 AA BB CC > 90 00"}, 0, 0, 0x16, 0},
        // T=1 carries Le only when the caller asks for it; a status alone keeps Le.
        {T1, 0xB0, 0, 0x00, 1, {"00 B0 01 02 00 > 90 00"}, 0, 0, 0x00, 0},
        {T1, 0xB0, 0, 0x16, 0, {"00 B0 01 02 > 90 00"}, 0, 0, 0x16, 0},
        {T1, 0xA4, 2, 0x00, 1, {"00 A4 01 02 02 AA BB 00 > 62 83"}, 0, 0x6283, 0x00, 0},
        {T1, 0xB0, 0, 0x33, 1, {DataThen(256, "90 00")}, 0, 0, 0x00, 256},  // 256 bytes are Le 0
        // 6Cxx: resent once with the card's length; a T=0 command without P3 gets one.
        {T1, 0xB0, 0, 0x16, 1, {"00 B0 01 02 16 > 6C 10", "00 B0 01 02 10 >" + DataThen(16, "90 00")}, 0, 0, 0x10, 16},
        {T0, 0xB0, 0, 0x00, 0, {"00 B0 01 02 > 6C 04", "00 B0 01 02 04 >" + DataThen(4, "90 00")}, 0, 0, 0x04, 4},
        // 61xx: one GET RESPONSE for the caller's Le, or the card's count when Le is 0.
        {T0, 0x4E, 4, 0x80, 1, {"00 4E 01 02 04 AA BB CC DD > 61 80", "00 C0 00 00 80 >" + DataThen(128, "90 00")},
         0, 0, 0x80, 128},
        {T0, 0x4E, 4, 0x20, 0, {"61 80", "00 C0 00 00 20 > 90 00"}, 0, 0, 0x20, 0},
        {T0, 0x4E, 4, 0x00, 0, {"61 80", "00 C0 00 00 80 > 90 00"}, 0, 0, 0x00, 0},
        {T0, 0x4E, 4, 0x00, 0, {"61 10", "61 08"}, 0, 0x6108, 0x00, 0},  // a second 61xx is the status
        // Answers no card should send, and failed exchanges: nothing is copied.
        {T1, 0xB0, 0, 0x10, 1, {"90"}, 0, static_cast<DWORD>(SCARD_F_COMM_ERROR), 0x10, 0},
        {T1, 0xB0, 0, 0x10, 1, {""}, 0, static_cast<DWORD>(SCARD_F_COMM_ERROR), 0x10, 0},
        {T1, 0xB0, 0, 0x10, 1, {HexOf(Bytes(301, 0x11))}, 0, static_cast<DWORD>(SCARD_E_INSUFFICIENT_BUFFER), 0x10, 0},
        {T0, 0xB0, 0, 0x10, 1, {}, SCARD_W_REMOVED_CARD, static_cast<DWORD>(SCARD_W_REMOVED_CARD), 0x10, 0},
        {T0, 0x4E, 1, 0x08, 0, {"61 08"}, SCARD_E_NOT_TRANSACTED, static_cast<DWORD>(SCARD_E_NOT_TRANSACTED), 0x08, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.script.empty() ? "failing" : row.script[0]);
        Connected(row.protocol);
        for (const std::string& step : row.script) card.Script({step});
        if (row.fail_after != 0) card.Fail(row.fail_after);
        EXPECT_EQ(row.status, Send(row.ins, row.lc, row.le, row.le_on_t1));
        EXPECT_EQ(row.le_after, le);
        EXPECT_EQ(row.delivered, delivered);
        EXPECT_EQ(0xEE, response[row.delivered]);
        if (row.delivered != 0) {
            EXPECT_EQ(static_cast<BYTE>(row.delivered), response[row.delivered - 1]) << "the last data byte";
        }
        EXPECT_EQ(row.script.size() + (row.fail_after != 0), card.sent.size());
        EXPECT_TRUE(card.answers.empty());
    }
}

TEST_F(ApduTransportTest, BoundsHoldAgainstTheCallerAndTheCard) {
    EXPECT_EQ(static_cast<DWORD>(SCARD_E_INVALID_HANDLE), Send(0xB0, 0, 0x10, 1)) << "not connected";
    EXPECT_TRUE(card.sent.empty());

    // A card that never settles its length is given up.
    Connected(SCARD_PROTOCOL_T1);
    card.default_reply = Hex("6C 20");
    EXPECT_EQ(0x6C20u, Send(0xB0, 0, 0, 1));
    EXPECT_EQ(static_cast<size_t>(1 + kMaxWrongLengthRounds), card.sent.size());
    EXPECT_EQ(0u, delivered);

    // More data than the caller's buffer: nothing is copied at all.
    std::array<BYTE, 8> small{};
    small.fill(0xEE);
    card.Reply(DataThen(9, "90 00"));
    EXPECT_EQ(static_cast<DWORD>(SCARD_E_INSUFFICIENT_BUFFER),
              Card_SendAPDU(0x00, 0xB0, 0, 0, 0, &le, nullptr, small.data(), 1, small.size(), &delivered));
    EXPECT_EQ(0xEE, small[0]);
    EXPECT_EQ(0u, delivered);
}

}  // namespace
}  // namespace kelm::card::testing
