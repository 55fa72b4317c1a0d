// Command framing by protocol, the 6Cxx and 61xx second exchanges, delivery bounded by the
// caller's buffer, and answers that no conforming card would send.
#include <array>

#include "card/apdu_transport.h"
#include "scripted_card.h"

namespace kelm::card::testing {
namespace {

const BYTE kData[4] = {0xAA, 0xBB, 0xCC, 0xDD};

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

TEST_F(ApduTransportTest, FramingFollowsTheProtocol) {
    struct Row {
        DWORD protocol;
        BYTE ins, lc, le;
        int le_on_t1;
        const char* sent;
    } rows[] = {
        // T=0 carries P3 only for commands without data, whatever the caller says.
        {SCARD_PROTOCOL_T0, 0xB0, 0, 0x00, 1, "00 B0 01 02"},
        {SCARD_PROTOCOL_T0, 0xB0, 0, 0x16, 0, "00 B0 01 02 16"},
        {SCARD_PROTOCOL_T0, 0xD6, 3, 0x16, 1, "00 D6 01 02 03 AA BB CC"},
        // T=1 carries Le only when the caller asks for it.
        {SCARD_PROTOCOL_T1, 0xB0, 0, 0x00, 1, "00 B0 01 02 00"},
        {SCARD_PROTOCOL_T1, 0xB0, 0, 0x16, 0, "00 B0 01 02"},
        {SCARD_PROTOCOL_T1, 0xA4, 2, 0x00, 1, "00 A4 01 02 02 AA BB 00"},
    };
    for (const Row& row : rows) {
        Connected(row.protocol);
        card.Reply("90 00");
        EXPECT_EQ(0u, Send(row.ins, row.lc, row.le, row.le_on_t1));
        EXPECT_EQ((std::vector<std::string>{row.sent}), card.SentHex());
    }
}

TEST_F(ApduTransportTest, WrongLengthIsResentWithTheLengthTheCardNamesABoundedNumberOfTimes) {
    Connected(SCARD_PROTOCOL_T1);
    card.Expect("00 B0 01 02 16", "6C 10");
    card.Expect("00 B0 01 02 10", "01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10 90 00");
    EXPECT_EQ(0u, Send(0xB0, 0, 0x16, 1));
    EXPECT_EQ(0x10, le);
    EXPECT_EQ(16u, delivered);
    EXPECT_EQ(0x10, response[15]);
    EXPECT_EQ(0xEE, response[16]);

    // A T=0 command that went without P3 gets one on the resend.
    Connected(SCARD_PROTOCOL_T0);
    card.Expect("00 B0 01 02", "6C 04");
    card.Expect("00 B0 01 02 04", "AA BB CC DD 90 00");
    EXPECT_EQ(0u, Send(0xB0, 0, 0, 0));
    EXPECT_EQ(4u, delivered);

    // A card that never settles its length is given up.
    Connected(SCARD_PROTOCOL_T1);
    card.default_reply = Hex("6C 20");
    EXPECT_EQ(0x6C20u, Send(0xB0, 0, 0, 1));
    EXPECT_EQ(static_cast<size_t>(1 + kMaxWrongLengthRounds), card.sent.size());
    EXPECT_EQ(0u, delivered);
}

TEST_F(ApduTransportTest, WaitingBytesAreFetchedOnceWithGetResponse) {
    Connected(SCARD_PROTOCOL_T0);
    Bytes answer(128, 0x5A);
    answer.insert(answer.end(), {0x90, 0x00});
    card.Expect("00 4E 01 02 04 AA BB CC DD", "61 80");
    card.answers.push_back({Hex("00 C0 00 00 80"), answer});
    EXPECT_EQ(0u, Send(0x4E, 4, 0x80, 1));
    EXPECT_EQ(0x80, le);
    EXPECT_EQ(128u, delivered);
    EXPECT_EQ(0x5A, response[127]);

    // The caller's smaller Le limits the request; with Le 0 the card's count is asked for.
    for (auto [caller_le, asked] : {std::pair<BYTE, const char*>{0x20, "00 C0 00 00 20"}, {0, "00 C0 00 00 80"}}) {
        card.Reply("61 80");
        card.Expect(asked, "90 00");
        Send(0x4E, 4, caller_le, 0);
    }
    // A second 61xx is not followed: it is the status.
    card.sent.clear();
    card.Reply("61 10");
    card.Reply("61 08");
    EXPECT_EQ(0x6108u, Send(0x4E, 4, 0, 0));
    EXPECT_EQ(2u, card.sent.size());
}

TEST_F(ApduTransportTest, DeliveryAndStatusOfWellFormedAnswers) {
    Connected(SCARD_PROTOCOL_T1);
    card.Reply("90 00");
    EXPECT_EQ(0u, Send(0xB0, 0, 0x33, 1));
    EXPECT_EQ(0x33, le) << "a status alone keeps Le and copies nothing";
    EXPECT_EQ(0u, delivered);
    EXPECT_EQ(0xEE, response[0]);
    card.Reply("62 83");
    EXPECT_EQ(0x6283u, Send(0xB0, 0, 0x33, 1));

    Bytes full(256);
    for (size_t i = 0; i < full.size(); ++i) full[i] = static_cast<BYTE>(i);
    full.insert(full.end(), {0x90, 0x00});
    card.ReplyBytes(full);
    EXPECT_EQ(0u, Send(0x4E, 0, 0x33, 1));
    EXPECT_EQ(0, le) << "256 bytes are Le 0";
    EXPECT_EQ(256u, delivered);
    EXPECT_EQ(0xFF, response[255]);
    EXPECT_EQ(0xEE, response[256]);
}

TEST_F(ApduTransportTest, MisbehavingAnswersAndFailedExchangesCopyNothing) {
    EXPECT_EQ(static_cast<DWORD>(SCARD_E_INVALID_HANDLE), Send(0xB0, 0, 0x10, 1)) << "not connected";
    EXPECT_TRUE(card.sent.empty());

    Connected(SCARD_PROTOCOL_T1);
    // Shorter than a status word: nothing is read from outside the answer.
    for (const char* reply : {"90", ""}) {
        card.Reply(reply);
        EXPECT_EQ(static_cast<DWORD>(SCARD_F_COMM_ERROR), Send(0xB0, 0, 0x10, 1));
        EXPECT_EQ(0x10, le);
    }
    // Longer than offered: the backend refuses it, and the transport reports that.
    card.ReplyBytes(Bytes(301, 0x11));
    EXPECT_EQ(static_cast<DWORD>(SCARD_E_INSUFFICIENT_BUFFER), Send(0xB0, 0, 0x10, 1));
    // More data than the caller's buffer: nothing is copied at all.
    std::array<BYTE, 8> small{};
    small.fill(0xEE);
    card.Reply("01 02 03 04 05 06 07 08 09 90 00");
    EXPECT_EQ(static_cast<DWORD>(SCARD_E_INSUFFICIENT_BUFFER),
              Card_SendAPDU(0x00, 0xB0, 0, 0, 0, &le, nullptr, small.data(), 1, small.size(), &delivered));
    EXPECT_EQ(0xEE, small[0]);
    EXPECT_EQ(0u, delivered);

    Connected(SCARD_PROTOCOL_T0);
    card.Fail(SCARD_W_REMOVED_CARD);
    EXPECT_EQ(static_cast<DWORD>(SCARD_W_REMOVED_CARD), Send(0xB0, 0, 0x10, 1));
    card.Reply("61 08");
    card.Fail(SCARD_E_NOT_TRANSACTED);
    EXPECT_EQ(static_cast<DWORD>(SCARD_E_NOT_TRANSACTED), Send(0x4E, 1, 0x08, 0)) << "GET RESPONSE failed";
    EXPECT_EQ(0x08, le);
    EXPECT_EQ(0xEE, response[0]);
}

}  // namespace
}  // namespace kelm::card::testing
