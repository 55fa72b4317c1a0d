// Command framing by protocol, the 6Cxx and 61xx second exchanges, delivery bounded by the
// caller's buffer, and answers that no conforming card would send.
#include <array>

#include "card/apdu_transport.h"
#include "card_test_fixture.h"

namespace kelm::card::testing {
namespace {

class ApduTransportTest : public CardLayerTest {
protected:
    DWORD Send(BYTE ins, BYTE lc, BYTE* le, const BYTE* data, int le_on_t1) {
        response.fill(0xEE);
        return Card_SendAPDU(0x00, ins, 0x01, 0x02, lc, le, data, response.data(), le_on_t1, kApduResponseCapacity,
                             &delivered);
    }
    std::array<BYTE, 512> response{};
    size_t delivered = 99;
};

TEST_F(ApduTransportTest, T0CarriesP3OnlyForCommandsWithoutData) {
    Connected(SCARD_PROTOCOL_T0);
    const BYTE data[3] = {0xAA, 0xBB, 0xCC};
    BYTE le = 0;
    card.Reply("90 00");
    EXPECT_EQ(0u, Send(0xB0, 0, &le, nullptr, 1));
    le = 0x16;
    card.Reply("90 00");
    EXPECT_EQ(0u, Send(0xB0, 0, &le, nullptr, 0));
    le = 0x16;
    card.Reply("90 00");
    EXPECT_EQ(0u, Send(0xD6, 3, &le, data, 1));
    EXPECT_EQ((std::vector<std::string>{"00 B0 01 02", "00 B0 01 02 16", "00 D6 01 02 03 AA BB CC"}), card.SentHex());
}

TEST_F(ApduTransportTest, T1CarriesLeOnlyWhenTheCallerAsks) {
    Connected(SCARD_PROTOCOL_T1);
    const BYTE data[2] = {0x80, 0x10};
    BYTE le = 0;
    card.Reply("90 00");
    Send(0xB0, 0, &le, nullptr, 1);
    le = 0x16;
    card.Reply("90 00");
    Send(0xB0, 0, &le, nullptr, 0);
    le = 0;
    card.Reply("90 00");
    Send(0xA4, 2, &le, data, 1);
    EXPECT_EQ((std::vector<std::string>{"00 B0 01 02 00", "00 B0 01 02", "00 A4 01 02 02 80 10 00"}), card.SentHex());
}

TEST_F(ApduTransportTest, WrongLengthIsResentWithTheLengthTheCardNames) {
    Connected(SCARD_PROTOCOL_T1);
    BYTE le = 0x16;
    card.Expect("00 B0 01 02 16", "6C 10");
    card.Expect("00 B0 01 02 10", "01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10 90 00");
    EXPECT_EQ(0u, Send(0xB0, 0, &le, nullptr, 1));
    EXPECT_EQ(0x10, le);
    EXPECT_EQ(16u, delivered);
    EXPECT_EQ(0x10, response[15]);
    EXPECT_EQ(0xEE, response[16]);

    // A T=0 command that went without P3 gets one on the resend.
    Connected(SCARD_PROTOCOL_T0);
    card.sent.clear();
    le = 0;
    card.Expect("00 B0 01 02", "6C 04");
    card.Expect("00 B0 01 02 04", "AA BB CC DD 90 00");
    EXPECT_EQ(0u, Send(0xB0, 0, &le, nullptr, 0));
    EXPECT_EQ(4u, delivered);
}

TEST_F(ApduTransportTest, ACardThatNeverSettlesItsLengthIsGivenUp) {
    Connected(SCARD_PROTOCOL_T1);
    card.default_reply = Hex("6C 20");
    BYTE le = 0x10;
    EXPECT_EQ(0x6C20u, Send(0xB0, 0, &le, nullptr, 1));
    EXPECT_EQ(static_cast<size_t>(1 + kMaxWrongLengthRounds), card.sent.size());
    EXPECT_EQ(0u, delivered);
}

TEST_F(ApduTransportTest, WaitingBytesAreFetchedWithGetResponse) {
    Connected(SCARD_PROTOCOL_T0);
    const BYTE block[4] = {1, 2, 3, 4};
    Bytes answer(128, 0x5A);
    answer.push_back(0x90);
    answer.push_back(0x00);

    BYTE le = 0x80;
    card.Expect("00 4E 01 02 04 01 02 03 04", "61 80");
    card.Expect("00 C0 00 00 80", "");
    card.answers.back().reply = answer;
    EXPECT_EQ(0u, Send(0x4E, 4, &le, block, 1));
    EXPECT_EQ(0x80, le);
    EXPECT_EQ(128u, delivered);
    EXPECT_EQ(0x5A, response[127]);

    // The caller's smaller Le limits the request; with Le 0 the card's count is asked for.
    le = 0x20;
    card.Expect("00 4E 01 02 04 01 02 03 04", "61 80");
    card.Expect("00 C0 00 00 20", "90 00");
    Send(0x4E, 4, &le, block, 0);
    le = 0;
    card.Expect("00 4E 01 02 04 01 02 03 04", "61 40");
    card.Expect("00 C0 00 00 40", "90 00");
    Send(0x4E, 4, &le, block, 0);

    // A second 61xx is not followed: it is the status.
    le = 0;
    card.Reply("61 10");
    card.Reply("61 08");
    EXPECT_EQ(0x6108u, Send(0x4E, 4, &le, block, 0));
    EXPECT_EQ(8u, card.sent.size());
}

TEST_F(ApduTransportTest, StatusAloneCopiesNothingAndKeepsLe) {
    Connected(SCARD_PROTOCOL_T1);
    BYTE le = 0x33;
    card.Reply("90 00");
    EXPECT_EQ(0u, Send(0xB0, 0, &le, nullptr, 1));
    EXPECT_EQ(0x33, le);
    EXPECT_EQ(0u, delivered);
    EXPECT_EQ(0xEE, response[0]);

    card.Reply("62 83");
    EXPECT_EQ(0x6283u, Send(0xB0, 0, &le, nullptr, 1));
    card.Reply("90 01");
    EXPECT_EQ(0x9001u, Send(0xB0, 0, &le, nullptr, 1));
    EXPECT_FALSE(Card_StatusSucceeded(0x9001));
    EXPECT_TRUE(Card_StatusSucceeded(0x9000));
    EXPECT_TRUE(Card_StatusSucceeded(0x61FF));
}

TEST_F(ApduTransportTest, A256ByteAnswerReportsLeZero) {
    Connected(SCARD_PROTOCOL_T1);
    Bytes answer(256);
    for (size_t i = 0; i < answer.size(); ++i) {
        answer[i] = static_cast<BYTE>(i);
    }
    answer.push_back(0x90);
    answer.push_back(0x00);
    card.ReplyBytes(answer);
    BYTE le = 0;
    EXPECT_EQ(0u, Send(0x4E, 0, &le, nullptr, 1));
    EXPECT_EQ(0, le);
    EXPECT_EQ(256u, delivered);
    EXPECT_EQ(0xFF, response[255]);
    EXPECT_EQ(0xEE, response[256]);
}

TEST_F(ApduTransportTest, MisbehavingAnswersFailWithoutOverrun) {
    Connected(SCARD_PROTOCOL_T1);
    BYTE le = 0x10;
    // Shorter than a status word: nothing is read from outside the answer.
    card.Reply("90");
    EXPECT_EQ(static_cast<DWORD>(SCARD_F_COMM_ERROR), Send(0xB0, 0, &le, nullptr, 1));
    card.Reply("");
    EXPECT_EQ(static_cast<DWORD>(SCARD_F_COMM_ERROR), Send(0xB0, 0, &le, nullptr, 1));
    EXPECT_EQ(0x10, le);

    // More data than the caller's buffer: nothing is copied at all.
    std::array<BYTE, 8> small{};
    small.fill(0xEE);
    card.Reply("01 02 03 04 05 06 07 08 09 90 00");
    EXPECT_EQ(static_cast<DWORD>(SCARD_E_INSUFFICIENT_BUFFER),
              Card_SendAPDU(0x00, 0xB0, 0, 0, 0, &le, nullptr, small.data(), 1, small.size(), &delivered));
    EXPECT_EQ(0xEE, small[0]);
    EXPECT_EQ(0u, delivered);

    // Longer than offered: the backend refuses it, and the transport reports that.
    card.ReplyBytes(Bytes(301, 0x11));
    EXPECT_EQ(static_cast<DWORD>(SCARD_E_INSUFFICIENT_BUFFER), Send(0xB0, 0, &le, nullptr, 1));
}

TEST_F(ApduTransportTest, ExchangeFailuresAreReturnedAsTheirCode) {
    BYTE le = 0;
    // Not connected: nothing reaches PC/SC.
    EXPECT_EQ(static_cast<DWORD>(SCARD_E_INVALID_HANDLE), Send(0xB0, 0, &le, nullptr, 1));
    EXPECT_TRUE(card.sent.empty());

    Connected(SCARD_PROTOCOL_T0);
    card.Fail(SCARD_W_REMOVED_CARD);
    EXPECT_EQ(static_cast<DWORD>(SCARD_W_REMOVED_CARD), Send(0xB0, 0, &le, nullptr, 1));
    const BYTE data[1] = {0};
    le = 0x08;
    card.Reply("61 08");
    card.Fail(SCARD_E_NOT_TRANSACTED);
    EXPECT_EQ(static_cast<DWORD>(SCARD_E_NOT_TRANSACTED), Send(0x4E, 1, &le, data, 0));
    EXPECT_EQ(0x08, le);
    EXPECT_EQ(0xEE, response[0]);
}

}  // namespace
}  // namespace kelm::card::testing
