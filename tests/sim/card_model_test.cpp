// The card model against the card's description where the card layer's tests do not reach: the
// ATR, framing on T=0 and malformed commands.
#include <gtest/gtest.h>

#include "sim_test_util.h"

namespace kelm::sim::test {
namespace {

TEST(SimCardModel, AtrAnnouncesTheProtocolAndT0FramingUses61xxAnd6Cxx) {
    auto t0 = CardAtr(*MemoryCard(1, CardProtocol::T0)), t1 = CardAtr(*MemoryCard(1, CardProtocol::T1));
    ASSERT_TRUE(t0.size() >= 4 && t1.size() >= 5);
    EXPECT_EQ(t0[0], 0x3B);
    EXPECT_EQ(t0[1] & 0x80, 0);  // no TD1: T=0 only
    EXPECT_EQ(t1[2] & 0x0F, 1);  // TD1 names T=1
    BYTE check = 0;
    for (size_t i = 1; i < t1.size(); ++i) check ^= t1[i];
    EXPECT_EQ(check, 0) << "TCK";

    SimCardPtr card = MemoryCard(1, CardProtocol::T0);
    // A command without data asked with the wrong length: 6C with the right one.
    EXPECT_EQ(HexOf(Send(*card, "00 86 00 00 10")), "6C 08");
    EXPECT_EQ(HexOf(Send(*card, "00 86 00 00")), "6C 08");
    EXPECT_EQ(Send(*card, "00 86 00 00 08").size(), 10u);
    EXPECT_EQ(StatusOf(Send(*card, SelectFileApdu(0x8010))), 0x9000);
    EXPECT_EQ(StatusOf(Send(*card, Concat(Bytes("00 7A 00 00 2B"), Record("alpha", 0x8001, 0)))), 0x9000);
    // A command with data and an answer: 61 2B, then GET RESPONSE, possibly in two parts.
    auto find = Concat(Bytes("00 7E 00 00 24"), NameField("alpha"));
    EXPECT_EQ(HexOf(Send(*card, find)), "61 2B");
    auto part = Send(*card, "00 C0 00 00 10");
    EXPECT_EQ(StatusOf(part), 0x611B);
    auto rest = Send(*card, "00 C0 00 00 1B");
    EXPECT_EQ(StatusOf(rest), 0x9000);
    EXPECT_EQ(Concat(DataOf(part), DataOf(rest)), Record("alpha", 0x8001, 0));
    EXPECT_EQ(HexOf(Send(*card, "00 C0 00 00 10")), "69 85");  // nothing left
    // Asking for more than is waiting: 6C with what is waiting.
    EXPECT_EQ(HexOf(Send(*card, find)), "61 2B");
    EXPECT_EQ(HexOf(Send(*card, "00 C0 00 00 30")), "6C 2B");
    // A T=0 command never carries data and Le together.
    EXPECT_EQ(HexOf(Send(*card, Concat(find, {0x00}))), "67 00");
    // LIST CONTAINERS without Le is asked again with the exact length.
    EXPECT_EQ(HexOf(Send(*card, "00 74 00 00")), "6C 25");
    EXPECT_EQ(Send(*card, "00 74 00 00 25"), Concat(Concat({0x00}, NameField("alpha")), {0x90, 0x00}));
}

TEST(SimCardModel, MalformedCommandsGetStatusWords) {
    SimCardPtr card = MemoryCard(1);
    const char* cases[][3] = {
        {"", "67 00", "empty"},
        {"00 A4 02", "67 00", "short header"},
        {"00 A4 02 00 05 80 10", "67 00", "Lc larger than the data"},
        {"00 A4 02 00 02 80 10 00 00", "67 00", "data longer than Lc"},
        {"00 A4 02 00 00 80 10", "67 00", "no extended lengths"},
        {"00 A4 02 00 03 80 10 00", "67 00", "wrong data size for SELECT FILE"},
        {"00 A4 03 00 02 80 10", "6A 86", "unknown P1"},
        {"00 B0 00 00 10", "6D 00", "unknown INS"},
        {"A0 A4 02 00 02 80 10", "6E 00", "unknown CLA"},
        {"00 44 01 01 C9", "69 86", "nothing selected"},
        {"00 4A 00 00 00", "6D 00", "type 5's read on type 1"},
    };
    for (const auto& c : cases) EXPECT_EQ(HexOf(Send(*card, c[0])), c[1]) << c[2];
}

}  // namespace
}  // namespace kelm::sim::test
