// Finding and connecting the card: reader walk with cold reset, the preferred reader from the
// registry, the probe of a live connection, the boxes and the retry loop, the end of the
// session, and the texts in the system's language.
#include <cstdlib>
#include <cstring>

#include "card/card_files.h"
#include "scripted_card.h"

namespace kelm::card::testing {
namespace {

constexpr const char* kSelectType3 = "00 A4 04 00 08 F1 5C 3E 00 27 95 01 03";
constexpr const char* kSelectType1 = "00 A4 04 00 08 F1 5C 3E 00 27 95 01 01";
constexpr const char* kProbe = "00 A4 02 00 02 80 10";

class ReaderSessionTest : public CardLayerTest {
protected:
    void SetUp() override {
        CardLayerTest::SetUp();
        const DWORD pinpad = READER_TYPE_PINPAD;  // taken only with a preferred reader
        SetProviderValue("iReaderType", REG_DWORD, &pinpad, sizeof pinpad);
    }
    // Five refused selections: a reader whose card is not ours.
    void NoApplication() {
        for (int i = 0; i < 5; ++i) card.Reply("6A 82");
    }
    // Starts the next attempt from a clean process state.
    void Fresh() {
        ResetSession();
        ui.Clear();
        card.calls.clear();
        card.sent.clear();
    }
    void PreferReader(const char* name) {
        SetProviderValue("sReaderName", REG_SZ, name, static_cast<DWORD>(std::strlen(name) + 1));
    }
    std::vector<std::string> Boxes() const {
        std::vector<std::string> out;
        for (const auto& event : ui.events()) {
            if (!event.is_dialog) out.push_back(event.box.caption + " | " + event.box.text);
        }
        return out;
    }
    static std::string Box(UINT caption, UINT text) {
        return std::string(LocalizedText(caption)) + " | " + LocalizedText(text);
    }
};

TEST_F(ReaderSessionTest, CardInTheSecondReaderIsFoundAfterColdResets) {
    card.readers = {"Reader A", "Reader B"};
    NoApplication();
    card.Script({std::string(kSelectType3) + "> 6A 82", std::string(kSelectType1) + "> 90 00"});

    EXPECT_EQ(1, Init_PCSC_Object(0));
    EXPECT_EQ(1, Session().ConnectionCount);
    EXPECT_EQ(1u, Card_GetCardType());
    EXPECT_EQ(&g_rgSCardT1Pci, Session().SendPci);
    EXPECT_STREQ("Reader B", Session().CurrentReader);
    EXPECT_EQ((std::vector<std::string>{"establish", "list", "connect shared Reader A", "disconnect unpower",
                                        "disconnect unpower", "connect exclusive Reader A", "disconnect leave",
                                        "connect shared Reader B", "disconnect unpower", "disconnect unpower",
                                        "connect exclusive Reader B"}),
              card.calls);
    // Every card type's application is tried in turn.
    EXPECT_EQ((std::vector<std::string>{kSelectType3, kSelectType1, "00 A4 04 00 08 F1 5C 3E 00 27 95 00 01 00",
                                        "00 A4 04 00 08 F1 5C 3E 00 27 95 01 05 00",
                                        "00 A4 04 00 08 F1 5C 3E 00 27 95 01 06 00", kSelectType3, kSelectType1}),
              card.SentHex());
    EXPECT_EQ(400u, clock.total_slept_ms);
    EXPECT_TRUE(ui.events().empty());
}

TEST_F(ReaderSessionTest, LiveConnectionIsProbedAndCounted) {
    card.Reply("90 00");
    ASSERT_EQ(1, Init_PCSC_Object(0));
    card.sent.clear();
    card.calls.clear();
    card.Expect(kProbe, "90 00");
    EXPECT_EQ(1, Init_PCSC_Object(0));
    EXPECT_EQ(2, Session().ConnectionCount);
    EXPECT_EQ(1u, card.sent.size());
    EXPECT_TRUE(card.calls.empty());

    // A pulled card fails the probe: the stale handle and context go, the card is found again
    // and the PIN must be presented anew.
    Session().PinVerified = 1;
    card.Fail(SCARD_W_REMOVED_CARD);
    card.Reply("90 00");
    EXPECT_EQ(1, Init_PCSC_Object(0));
    EXPECT_EQ(1, Session().ConnectionCount);
    EXPECT_EQ(0, Session().PinVerified);
    ASSERT_GE(card.calls.size(), 3u);
    EXPECT_EQ((std::vector<std::string>{"disconnect leave", "release", "establish"}),
              std::vector<std::string>(card.calls.begin(), card.calls.begin() + 3));
}

// Each row is a process's first attempt; `refusals` readers' worth of refused selections come
// first, then the card if `card_after`. Whatever happens, a context is released before the next
// one is made, and every "no card" box offers Retry and Cancel.
TEST_F(ReaderSessionTest, FailuresAreReportedAndRetriedAsTheCallerAllows) {
    const std::string gone = std::string(LocalizedText(224)) + " | Gone Reader";
    const std::string no_card = Box(203, 227);
    struct Row {
        LONG establish_rc, list_rc;
        std::vector<std::string> readers;
        const char* preferred;
        DWORD flags;
        std::vector<int> answers;
        int refusals;
        bool card_after;
        int result;
        std::vector<std::string> boxes;
    } rows[] = {
        {SCARD_S_SUCCESS, SCARD_S_SUCCESS, {"Reader A"}, nullptr, CRYPT_SILENT, {}, 1, false, 0, {}},
        {SCARD_S_SUCCESS, SCARD_S_SUCCESS, {"Reader A"}, nullptr, 0, {IDRETRY, IDCANCEL}, 2, false, 0,
         {no_card, no_card}},
        {SCARD_S_SUCCESS, SCARD_S_SUCCESS, {"Reader A"}, nullptr, 0, {IDRETRY}, 1, true, 1, {no_card}},
        {SCARD_E_NO_SERVICE, SCARD_S_SUCCESS, {"Reader A"}, nullptr, 0, {}, 0, false, SCARD_E_NO_SERVICE,
         {Box(203, 218)}},
        // Silent: no box; the listing on the unusable context gives the answer.
        {SCARD_E_NO_SERVICE, SCARD_E_NO_SERVICE, {"Reader A"}, nullptr, CRYPT_SILENT, {}, 0, false,
         SCARD_E_NO_SERVICE, {}},
        {SCARD_S_SUCCESS, SCARD_E_NO_READERS_AVAILABLE, {"Reader A"}, nullptr, 0, {}, 0, false,
         SCARD_E_NO_READERS_AVAILABLE, {Box(203, 221)}},
        // Reader names beyond the list buffer fail the listing.
        {SCARD_S_SUCCESS, SCARD_S_SUCCESS, {std::string(300, 'A'), std::string(300, 'B')}, nullptr, 0, {}, 0, false,
         SCARD_E_INSUFFICIENT_BUFFER, {Box(203, 221)}},
        // An unreachable preferred reader is named, even to silent callers, and dropped.
        {SCARD_S_SUCCESS, SCARD_S_SUCCESS, {"Reader A"}, "Gone Reader", CRYPT_SILENT, {}, 0, false, 0, {gone}},
        {SCARD_S_SUCCESS, SCARD_S_SUCCESS, {"Reader A"}, "Gone Reader", 0, {}, 0, false, 0, {gone, no_card}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.boxes.empty() ? "silent" : row.boxes.back());
        Fresh();
        card.establish_rc = row.establish_rc;
        card.list_rc = row.list_rc;
        card.readers = row.readers;
        card.unreachable = row.preferred ? row.preferred : "";
        if (row.preferred) PreferReader(row.preferred);
        for (int answer : row.answers) ui.QueueBoxAnswer(answer);
        for (int i = 0; i < row.refusals; ++i) NoApplication();
        if (row.card_after) card.Reply("90 00");
        SetLastError(5);

        EXPECT_EQ(row.result, Init_PCSC_Object(row.flags));
        EXPECT_EQ(row.boxes, Boxes());
        EXPECT_TRUE(row.result <= 1 || Session().ContextValid == 0) << "an unusable context is not kept";
        if (row.result == 0 && row.preferred == nullptr) {
            EXPECT_EQ(0u, GetLastError());
        } else if (row.result > 1 && !(row.flags & CRYPT_SILENT)) {
            EXPECT_EQ(static_cast<DWORD>(row.result), GetLastError());
        }
        EXPECT_TRUE(row.preferred == nullptr || Session().ReaderType == READER_TYPE_PLAIN) << "the pin pad is dropped";
        for (const auto& event : ui.events()) {
            EXPECT_TRUE(event.box.text != LocalizedText(227) || (event.box.type & 0x0F) == MB_RETRYCANCEL);
        }
        bool open = false;
        for (const std::string& call : card.calls) {
            if (call == "establish") {
                EXPECT_FALSE(open) << "a new context before the old one was released";
                open = row.establish_rc == SCARD_S_SUCCESS;
            }
            if (call == "release") open = false;
        }
        EXPECT_TRUE(row.result <= 1 || !open);
    }
}

TEST_F(ReaderSessionTest, PreferredReaderIsUsedForEveryAttempt) {
    card.readers = {"Reader A", "PinPad"};
    PreferReader("PinPad");
    NoApplication();
    card.Reply("90 00");
    EXPECT_EQ(1, Init_PCSC_Object(0));
    EXPECT_STREQ("PinPad", Session().CurrentReader);
    EXPECT_EQ(READER_TYPE_PINPAD, Session().ReaderType);
    EXPECT_EQ("connect shared PinPad", card.calls[2]);
    EXPECT_EQ("connect shared PinPad", card.calls[7]);

    // A one-character name means any reader.
    Fresh();
    PreferReader("X");
    card.Reply("90 00");
    EXPECT_EQ(1, Init_PCSC_Object(0));
    EXPECT_STREQ("Reader A", Session().CurrentReader);
}

// The texts are loaded once per process, so each language is checked in a child of its own.
void ExpectNoCardTextIn(const char* locale, const char* no_card) {
    setenv("LC_ALL", locale, 1);
    LoadLocalizedStrings();
    std::exit(std::strcmp(LocalizedText(227), no_card) == 0 && std::strcmp(LocalizedText(229), no_card) == 0 ? 0 : 1);
}

TEST(LocalizedTextsTest, SystemLanguageChoosesTheColumn) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::pair<const char*, const char*> languages[] = {{"C", "Be sure IC card has been properly set"},
                                                             {"zh_TW.UTF-8", "請正確插入晶片卡"},
                                                             {"zh_CN.UTF-8", "请正确插入芯片卡"}};
    for (const auto& [locale, no_card] : languages) {
        EXPECT_EXIT(ExpectNoCardTextIn(locale, no_card), ::testing::ExitedWithCode(0), "") << locale;
    }
}

}  // namespace
}  // namespace kelm::card::testing
