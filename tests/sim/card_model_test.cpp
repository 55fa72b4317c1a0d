// The card model against the card's description where the card layer's tests do not reach: the
// ATR, framing on T=0, container records, file information, PIN handling and malformed commands.
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

TEST(SimCardModel, ContainerRecordsAndTheirRefusals) {
    // Names taken, a full directory and reuse of a deleted record are checked through the card
    // layer on every card type; here the record layout and the refusals.
    SimCardPtr card = MemoryCard(1);
    EXPECT_EQ(HexOf(Send(*card, Concat(Bytes("00 7A 00 00 2B"), Record("x", 0, 0)))), "69 86") << "directory not selected";
    Send(*card, SelectFileApdu(0x8010));
    // A 36-byte name fills the field with no terminator; records keep both key files.
    std::string long_name(36, 'N');
    EXPECT_EQ(HexOf(Send(*card, Concat(Bytes("00 7A 00 00 2B"), Record(long_name, 0, 0)))), "90 00");
    EXPECT_EQ(HexOf(Send(*card, Concat(Bytes("00 7C 00 00 2B"), Record(long_name, 0x8001, 0x8004)))), "90 00");
    EXPECT_EQ(DataOf(Send(*card, Concat(Bytes("00 7E 00 00 24"), NameField(long_name)))), Record(long_name, 0x8001, 0x8004));
    EXPECT_EQ(HexOf(Send(*card, Concat(Bytes("00 7C 00 00 2B"), Record("nobody", 0x8001, 0)))), "6A 82");
    // Malformed records: a key file that the card does not have, a wrong length field.
    EXPECT_EQ(HexOf(Send(*card, Concat(Bytes("00 7A 00 00 2B"), Record("bad", 0x8009, 0)))), "6A 80");
    auto bad = Record("bad", 0, 0);
    bad[38] = 5;
    EXPECT_EQ(HexOf(Send(*card, Concat(Bytes("00 7A 00 00 2B"), bad))), "6A 80");
    EXPECT_EQ(HexOf(Send(*card, Concat(Bytes("00 7E 00 00 20"), std::vector<BYTE>(32, 'a')))), "67 00");
}

TEST(SimCardModel, ListContainersComesInPiecesWithContinuationByte) {
    SimCardPtr card = MemoryCard(1);
    Send(*card, SelectFileApdu(0x8010));
    EXPECT_EQ(HexOf(Send(*card, "00 74 00 00 00")), "00 90 00") << "empty directory";
    EXPECT_EQ(HexOf(Send(*card, "00 74 01 00 00")), "69 85") << "nothing to continue";
    for (int i = 0; i < 6; ++i) Send(*card, Concat(Bytes("00 7A 00 00 2B"), Record("name" + std::to_string(i), 0, 0)));
    auto first = DataOf(Send(*card, "00 74 00 00 00"));
    ASSERT_EQ(first.size(), 1u + 4 * 36);
    EXPECT_EQ(first[0], 1 + 2 * 36) << "the length of the next answer";
    EXPECT_EQ(std::vector<BYTE>(first.begin() + 1 + 36, first.begin() + 73), NameField("name1"));
    auto second = DataOf(Send(*card, Concat(Bytes("00 74 01 00"), {first[0]})));
    ASSERT_EQ(second.size(), 1u + 2 * 36);
    EXPECT_EQ(second[0], 0);
    EXPECT_EQ(std::vector<BYTE>(second.begin() + 37, second.end()), NameField("name5"));
}

// The short form of the file information is checked against a scripted card in the card
// layer's tests; here type 5's long form, key file creation and what the card refuses.
TEST(SimCardModel, KeyFilesTheirCreationAndTypeFivesFileInformation) {
    SimCardPtr one = MemoryCard(1), six = MemoryCard(6), seven = MemoryCard(7);
    EXPECT_EQ(HexOf(Send(*one, CreateKeyFileApdu(0x8007, 0, 2))), "6A 80") << "type 1 has six key files";
    EXPECT_EQ(HexOf(Send(*one, CreateKeyFileApdu(0x8001, 0, 4))), "6A 80") << "no 2048-bit keys on type 1";
    EXPECT_EQ(HexOf(Send(*one, Bytes("00 42 00 00 04 80 02 00 00"))), "67 00");
    EXPECT_EQ(HexOf(Send(*seven, CreateKeyFileApdu(0x8007, 1, 2))), "90 00");
    EXPECT_EQ(HexOf(Send(*six, CreateKeyFileApdu(0x8001, 0, 2))), "6A 80") << "type 6 keys are 2048-bit";

    SimCardPtr card = MemoryCard(5);
    EXPECT_EQ(HexOf(Send(*card, SelectFileApdu(0x8002))), "66 02");
    EXPECT_EQ(HexOf(Send(*card, CreateKeyFileApdu(0x8002, 0, 2))), "90 00");
    EXPECT_EQ(HexOf(Send(*card, CreateKeyFileApdu(0x8002, 0, 2))), "6A 89");
    std::string error;
    ASSERT_TRUE(PutNewKey(*card, 0x8002, &error) && PutCertificate(*card, 0x8002, FakeCertificate(700), &error)) << error;
    Send(*card, SelectFileApdu(0x8002));
    auto r = DataOf(Send(*card, "00 4C 00 00 00"));
    ASSERT_GE(r.size(), 7u);
    // Capacity, certificate length, key present, 1024-bit.
    EXPECT_EQ(std::vector<BYTE>({r[1], r[2], r[4], r[5], r[6], r[0]}), Bytes("08 00 02 BC 01 00"));
    Send(*card, SelectFileApdu(0x8010));
    EXPECT_EQ(HexOf(Send(*card, "00 4C 00 00 00")), "69 86") << "the directory has no file information";
}

TEST(SimCardModel, PinTriesPaddingAndPinPad) {
    SimCardPtr card = MemoryCard(1);
    EXPECT_EQ(HexOf(Send(*card, "00 20 01 28")), "63 C3") << "state query spends no try";
    EXPECT_EQ(HexOf(Send(*card, VerifyApdu(1, "00000000"))), "63 C2");
    EXPECT_EQ(HexOf(Send(*card, VerifyApdu(1, "12345678"))), "90 00");
    EXPECT_EQ(PinTriesLeft(*card), 3) << "a correct PIN resets the counter";
    EXPECT_TRUE(PinVerified(*card));
    CardReset(*card);
    EXPECT_FALSE(PinVerified(*card)) << "verification ends with a reset";
    for (const char* left : {"63 C2", "63 C1", "63 C0"}) EXPECT_EQ(HexOf(Send(*card, VerifyApdu(1, "1"))), left);
    EXPECT_EQ(HexOf(Send(*card, VerifyApdu(1, "12345678"))), "66 20") << "locked: even the right PIN";
    EXPECT_EQ(HexOf(Send(*card, "00 20 01 28")), "66 20");
    CardPowerOff(*card);
    EXPECT_EQ(HexOf(Send(*card, VerifyApdu(1, "12345678"))), "66 20") << "the lock survives power-off";
    EXPECT_FALSE(PinVerified(*card));

    // Padding and the PIN pad follow the card and the reader.
    SimCardPtr one = MemoryCard(1, CardProtocol::T1, "123456");
    EXPECT_EQ(HexOf(Send(*one, VerifyApdu(5, "123456"))), "63 C2") << "spaces are type 5's padding";
    EXPECT_EQ(HexOf(Send(*one, VerifyApdu(1, "123456"))), "90 00");
    SimCardPtr five = MemoryCard(5, CardProtocol::T1, "0123456789ABCDEF");
    EXPECT_EQ(HexOf(Send(*five, VerifyApdu(5, "0123456789ABCDEF"))), "90 00");
    EXPECT_EQ(HexOf(Send(*five, Bytes("00 20 01 28 08 30 31 32 33 34 35 36 37"))), "67 00");
    EXPECT_EQ(HexOf(Send(*five, Concat(Bytes("00 20 00 00 10"), std::vector<BYTE>(16, 0x20)))), "6A 86");
    // The PIN-pad VERIFY checks the PIN entered on the reader's pad, when there is one.
    EXPECT_EQ(HexOf(Send(*five, "80 20 01 28")), "6E 00") << "no PIN pad";
    SetPinPad(*five, true, "99999999");
    EXPECT_EQ(HexOf(Send(*five, "80 20 01 28")), "63 C2");
    SetPinPad(*five, true, "0123456789ABCDEF");
    CardReset(*five);
    EXPECT_EQ(HexOf(Send(*five, "80 20 01 28")), "90 00");
    EXPECT_TRUE(PinVerified(*five));
    EXPECT_EQ(HexOf(Send(*five, "80 22 01 28")), "6E 00");
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
