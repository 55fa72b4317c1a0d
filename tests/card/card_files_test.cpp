// The card functions against a scripted card: the exact commands where the bytes are the point,
// the layouts they fill, and the bounds that hold when a card sends more than it should. The
// ordinary behaviour on every card type is covered against the simulated card.
#include <array>
#include <cstring>

#include "card/card_files.h"
#include "scripted_card.h"

namespace kelm::card::testing {
namespace {

constexpr const char* kSelectDirectory = "00 A4 02 00 02 80 10";

// A 36-byte name field in hex.
std::string NameHex(const std::string& name) {
    Bytes field(kContainerNameBytes, 0);
    std::memcpy(field.data(), name.data(), std::min(name.size(), kContainerNameBytes));
    return HexOf(field);
}
// FIND CONTAINER's 43-byte answer for `name` with key-file record `files` ("80 01 00 00").
std::string FoundRecord(const std::string& name, const std::string& files) {
    return "00 " + NameHex(name) + " 00 04 " + files + " 90 00";
}
// One LIST CONTAINERS answer: continuation byte, then the names.
std::string ListAnswer(BYTE continuation, const std::vector<std::string>& names) {
    std::string out = HexOf({continuation});
    for (const std::string& name : names) out.append(" ").append(NameHex(name));
    return out + " 90 00";
}

class CardFilesTest : public CardLayerTest {
protected:
    void SetUp() override {
        CardLayerTest::SetUp();
        Connected(SCARD_PROTOCOL_T1, 1);
    }
};

TEST_F(CardFilesTest, ReadingStopsAtTheCallersBuffer) {
    std::array<BYTE, 512> buffer{};
    buffer.fill(0xEE);
    Bytes piece(201, 0x11);
    piece[0] = 0x01;
    piece.insert(piece.end(), {0x90, 0x00});
    for (int i = 0; i < 5; ++i) card.ReplyBytes(piece);  // a card that never says it is done
    EXPECT_EQ(static_cast<DWORD>(SCARD_E_INSUFFICIENT_BUFFER), Card_ReadFile(0, buffer.data(), 450));
    EXPECT_EQ(0x11, buffer[399]);
    EXPECT_EQ(0xEE, buffer[400]);
    EXPECT_EQ(3u, card.sent.size());
    card.answers.clear();
    card.Reply("6A 82");
    EXPECT_EQ(0x6A82u, Card_ReadFile(0, buffer.data(), buffer.size()));
}

TEST_F(CardFilesTest, ListingAppendsNamesOverSeveralAnswersWithinTheTable) {
    std::array<char, 8 * kNameEntrySize> names{};
    names.fill('#');
    std::memcpy(names.data(), "Existing", 9);
    BYTE count = 1;
    card.Script({std::string(kSelectDirectory) + "> 90 00",
                 "00 74 00 00 00 >" + ListAnswer(0x25, {"First", std::string(36, 'L')}),
                 "00 74 01 00 25 >" + ListAnswer(0x00, {"Third"})});
    EXPECT_EQ(0u, Card_ListContainers(names.data(), &count, 8));
    EXPECT_EQ(4, count);
    EXPECT_STREQ("Existing", names.data());
    EXPECT_STREQ("First", names.data() + kNameEntrySize);
    EXPECT_EQ(std::string(36, 'L'), std::string(names.data() + 2 * kNameEntrySize));
    EXPECT_STREQ("Third", names.data() + 3 * kNameEntrySize);
    EXPECT_EQ('#', names[4 * kNameEntrySize]);

    // More names than the table holds: the first ones are kept, nothing past the table written.
    names.fill('#');
    count = 0;
    card.Script({"90 00", ListAnswer(0x25, {"A"}), ListAnswer(0x00, {"B", "C"})});
    EXPECT_EQ(0u, Card_ListContainers(names.data(), &count, 2));
    EXPECT_EQ(2, count);
    EXPECT_STREQ("B", names.data() + kNameEntrySize);
    EXPECT_EQ('#', names[2 * kNameEntrySize]);

    // A listing that announces more forever is not followed for ever.
    card.default_reply = Hex(ListAnswer(0x01, {}));
    card.sent.clear();
    card.Reply("90 00");
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_DATA), Card_ListContainers(names.data(), &count, 4));
    EXPECT_LT(card.sent.size(), 100u);
    SetLastError(0);
    EXPECT_EQ(STATUS_NULL_BUFFER, Card_ListContainers(nullptr, &count, 8));
    EXPECT_EQ(STATUS_NULL_BUFFER, GetLastError());
}

TEST_F(CardFilesTest, FindSendsTheNameCutToItsFieldAndOpenFillsTheStatus) {
    std::array<BYTE, 4> record{0xEE, 0xEE, 0xEE, 0xEE};
    const std::string exact(36, 'N');
    card.Script({std::string(kSelectDirectory) + "> 90 00", "00 7E 00 00 24 " + NameHex(exact) + "> 6A 88"});
    EXPECT_EQ(0x6A88u, Card_FindContainer((exact + "XYZW").c_str(), record.data()));
    EXPECT_EQ(0xEE, record[0]);
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), Card_FindContainer(nullptr, record.data()));

    // Card type 5 asks for the record on T=1.
    Connected(SCARD_PROTOCOL_T1, 5);
    card.Script({std::string(kSelectDirectory) + "> 90 00",
                 "00 7E 00 00 24 " + NameHex("k5") + " 00 >" + FoundRecord("k5", "80 01 80 04")});
    EXPECT_EQ(0u, Card_FindContainer("k5", record.data()));
    EXPECT_EQ("80 01 80 04", HexOf(Bytes(record.begin(), record.end())));

    // Only an exchange key, 2048-bit although the card type is 1, with a certificate.
    Connected(SCARD_PROTOCOL_T1, 1);
    std::array<BYTE, kContainerStatusBytes> status{};
    card.Script({"90 00", FoundRecord("ex", "00 00 80 03"), "00 A4 02 00 02 80 03 > 90 00",
                 "00 4C 00 00 16 > 08 00 04 D2 01 80 90 00"});
    EXPECT_EQ(0u, Card_OpenContainer("ex", status.data()));
    EXPECT_EQ("00 00 00 00 00 00 00 00 00 00 00 03 02 02 04 00 00 08 04 D2", HexOf(Bytes(status.begin(), status.end())));
    status.fill(0xEE);
    card.Script({"90 00", "6A 88"});
    EXPECT_EQ(0x6A88u, Card_OpenContainer("none", status.data()));
    EXPECT_EQ(Bytes(kContainerStatusBytes, 0), Bytes(status.begin(), status.end())) << "unknown: record zeroed";
}

TEST_F(CardFilesTest, CreationAnswerIsBoundedByTheCallersBuffer) {
    card.Script({"90 00", "90 00", "00 90 00", "90 00"});
    Bytes reply(30, 0x42);
    reply.insert(reply.end(), {0x90, 0x00});
    card.ReplyBytes(reply);
    std::array<BYTE, 24> guarded{};
    guarded.fill(0xEE);
    EXPECT_EQ(0u, Card_CreateContainer(nullptr, guarded.data(), 20));
    EXPECT_EQ("00 7A 00 00 2B 00 " + NameHex("") + " 00 04 00 00 00 00", card.SentHex()[4]) << "null name: empty";
    EXPECT_EQ(0x42, guarded[19]);
    EXPECT_EQ(0xEE, guarded[20]);
}

TEST_F(CardFilesTest, CleanUpOnCardType7SkipsVanishedNamesAndFallsBackToTheRecordAlone) {
    Connected(SCARD_PROTOCOL_T1, 7);
    const std::string exch7 = FoundRecord("exch7", "80 01 80 07");
    card.Script({"90 00", "90 00", ListAnswer(0x00, {"kept", "vanished", "stuck", "exch7"}), "90 00",
                 FoundRecord("kept", "80 01 80 02"),
                 "66 02",  // "vanished": skipped
                 FoundRecord("stuck", "00 00 00 00"), "90 00",
                 "6A 80",  // the card refuses the full delete; the record alone goes
                 "00 80 00 00 24 " + NameHex("stuck") + "> 90 00", exch7, "90 00", exch7,
                 "00 72 00 00 04 80 01 80 01 > 90 00", "00 72 00 00 04 80 07 80 07 > 90 00",
                 "00 80 00 00 24 " + NameHex("exch7") + "> 90 00",
                 "00 7A 00 00 2B 00 " + NameHex("new") + " 00 04 00 00 00 00 > 90 00"});
    std::array<BYTE, kContainerStatusBytes> answer{};
    EXPECT_EQ(0u, Card_CreateContainer("new", answer.data(), answer.size()));
    EXPECT_TRUE(card.answers.empty());
}

// Random bytes come eight per GET CHALLENGE; a block may wait behind a 61xx even after the first
// GET RESPONSE, and a short block is no randomness.
TEST_F(CardFilesTest, ChallengeBlocksAreFetchedAndCheckedWhole) {
    std::array<BYTE, 16> out{};
    out.fill(0xEE);
    Connected(SCARD_PROTOCOL_T0, 1);
    // The bytes may wait behind a 61xx even after the first GET RESPONSE.
    card.Script({"00 86 00 00 08 > 61 08", "00 C0 00 00 08 > 61 08", "00 C0 00 00 08 > 09 09 09 09 09 09 09 09 90 00"});
    card.Reply("0A 0A 0A 0A 0A 0A 0A 0A 90 00");
    EXPECT_EQ(0u, Card_GetChallenge(12, out.data()));
    EXPECT_EQ(0x09, out[7]);
    EXPECT_EQ(0x0A, out[11]);
    EXPECT_EQ(0xEE, out[12]);
    EXPECT_TRUE(card.answers.empty());
    card.Reply("01 02 03 90 00");
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_DATA), Card_GetChallenge(8, out.data())) << "a short block is no randomness";
}

TEST_F(CardFilesTest, KeyFileCreationCarriesTheSizeCodeOfTheCardType) {
    const BYTE capacity[2] = {0x08, 0x00};
    card.Expect("00 42 00 00 08 80 03 01 00 02 08 00 00", "90 00");
    EXPECT_EQ(0u, Card_CreateKeyFile(0x80, 0x03, 1, capacity, 0x00));
    Connected(SCARD_PROTOCOL_T1, 6);
    card.Expect("00 42 00 00 08 80 01 00 00 04 08 00 00", "90 00");
    EXPECT_EQ(0u, Card_CreateKeyFile(0x80, 0x01, 0, capacity, 0x00));
}

}  // namespace
}  // namespace kelm::card::testing
