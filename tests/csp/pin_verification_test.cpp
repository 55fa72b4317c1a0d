// PIN verification against a card that records every command: padding by card type, the
// dialog and its answers, the PIN pad and its fall-back, the thread-bound 30-second cache,
// locked and wrong PINs.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "card/pin_verify.h"
#include "card/reader_session.h"
#include "kelm/csp.h"
#include "kelm/winapi.h"
#include "pin_card_fake.h"
#include "platform/clock_seam.h"
#include "platform/registry_store.h"
#include "platform/ui_responder.h"

namespace kelm::card {
namespace {

using platform::DialogAction;
using platform::ScriptedResponder;

std::vector<BYTE> Padded(const std::string& pin, BYTE pad) {
    std::vector<BYTE> data(16, pad);
    for (size_t i = 0; i < pin.size() && i < 16; ++i) data[i] = static_cast<BYTE>(pin[i]);
    return data;
}

void SetReaderTypeValue(DWORD type) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "SOFTWARE\\VESK\\ROSMAC10", 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, "iReaderType", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&type), sizeof type),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

class PinVerification : public ::testing::Test {
protected:
    void SetUp() override {
        platform::UseInMemoryRegistry();
        platform::SetPcscBackend(&card_);
        platform::SetUiResponder(&ui_);
        platform::UseFakeClock(&clock_);
        End_CardSession();
        Session().ReaderType = READER_TYPE_PLAIN;
        ClearPinCache();
        ui_.Clear();
    }
    void TearDown() override {
        End_CardSession();
        Session().ReaderType = READER_TYPE_PLAIN;
        ClearPinCache();
        platform::SetUiResponder(nullptr);
        platform::SetPcscBackend(nullptr);
        platform::UseFakeClock(nullptr);
    }

    void Connect(DWORD card_type) {
        card_.card_type = card_type;
        ASSERT_EQ(Init_PCSC_Object(CRYPT_SILENT), 1);
        ASSERT_EQ(Session().CardType, card_type);
        card_.commands.clear();
    }
    void Type(const std::string& pin) { ui_.QueueDialogAction(DialogAction{IDOK, pin}); }

    test::PinCardFake card_;
    ScriptedResponder ui_;
    platform::FakeClock clock_;
};

TEST_F(PinVerification, VerifyPadsThePinToSixteenBytesByCardType) {
    struct Case {
        DWORD card_type;
        BYTE pad;
    };
    for (const Case c : {Case{1, 0xFF}, Case{3, 0xFF}, Case{6, 0xFF}, Case{7, 0xFF}, Case{5, 0x20}}) {
        SCOPED_TRACE("card type " + std::to_string(c.card_type));
        End_CardSession();
        Connect(c.card_type);
        for (const std::string pin : {"123456", "0123456789ABCDEF", ""}) {
            card_.commands.clear();
            Card_VerifyPINCode(static_cast<DWORD>(pin.size()), pin.c_str());
            ASSERT_EQ(card_.commands.size(), 1u);
            std::vector<BYTE> expected = {0x00, 0x20, 0x01, 0x28, 0x10};
            const auto data = Padded(pin, c.pad);
            expected.insert(expected.end(), data.begin(), data.end());
            EXPECT_EQ(card_.commands[0], expected) << "PIN of " << pin.size() << " characters";
        }
    }
    // A longer PIN than the card takes is cut, never read past sixteen characters.
    End_CardSession();
    Connect(1);
    Card_VerifyPINCode(20, "12345678901234567890");
    ASSERT_EQ(card_.commands.size(), 1u);
    EXPECT_EQ(card_.commands[0].size(), 21u);
}

TEST_F(PinVerification, DialogAsksForThePinAndTheCardAcceptsIt) {
    Connect(1);
    Type("123456");
    ASSERT_EQ(VerifyPIN(0), 1);
    EXPECT_EQ(Session().PinVerified, 1);
    EXPECT_EQ(card_.Verifies().size(), 1u);

    ASSERT_EQ(ui_.DialogCount(), 1u);
    const platform::DialogShown& shown = ui_.events().back().dialog;
    EXPECT_EQ(shown.template_id, 102);
    EXPECT_EQ(shown.title, "Input the pin code");
    EXPECT_EQ(shown.edit_limit, 16);
    EXPECT_TRUE(shown.topmost);
    EXPECT_TRUE(shown.visible);
    std::vector<std::string> texts;
    for (const auto& control : shown.controls) {
        if (control.id == 1023 || control.id == IDOK || control.id == IDCANCEL) texts.push_back(control.text);
    }
    EXPECT_EQ(texts.size(), 3u);
    for (const char* want : {"Password(6-16)", "Confirm", "Cancel"}) {
        EXPECT_NE(std::find(texts.begin(), texts.end(), want), texts.end()) << want;
    }
}

TEST_F(PinVerification, CancelledDialogSendsNothing) {
    Connect(1);
    ui_.QueueDialogAction(DialogAction{IDCANCEL, ""});
    EXPECT_EQ(VerifyPIN(0), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(SCARD_W_CANCELLED_BY_USER));
    EXPECT_TRUE(card_.Verifies().empty());
    EXPECT_EQ(Session().PinVerified, 0);

    // Nobody to answer: the dialog is cancelled too, nothing waits.
    ui_.QueueDialogGone();
    EXPECT_EQ(VerifyPIN(0), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(SCARD_W_CANCELLED_BY_USER));
    EXPECT_TRUE(card_.Verifies().empty());
}

TEST_F(PinVerification, RecentPinOfTheSameThreadIsResentAfterReconnection) {
    Connect(1);
    Type("123456");
    ASSERT_EQ(VerifyPIN(0), 1);

    // Within 30 seconds, after the connection was lost: no dialog, one VERIFY.
    Card_Disconnect();
    clock_.now_ms += 29000;
    card_.commands.clear();
    ui_.Clear();
    ASSERT_EQ(VerifyPIN(0), 1);
    EXPECT_EQ(ui_.DialogCount(), 0u);
    const auto verifies = card_.Verifies();
    ASSERT_EQ(verifies.size(), 1u);
    EXPECT_EQ(std::vector<BYTE>(verifies[0].begin() + 5, verifies[0].end()), Padded("123456", 0xFF));

    // That success restarted the window: 29 more seconds still need no dialog.
    Card_Disconnect();
    clock_.now_ms += 29000;
    ui_.Clear();
    ASSERT_EQ(VerifyPIN(0), 1);
    EXPECT_EQ(ui_.DialogCount(), 0u);

    // Another thread gets the dialog.
    Card_Disconnect();
    clock_.thread_id = 2;
    Type("123456");
    ASSERT_EQ(VerifyPIN(0), 1);
    EXPECT_EQ(ui_.DialogCount(), 1u);

    // And so does the first thread once 30 seconds have passed.
    Card_Disconnect();
    clock_.thread_id = 1;
    clock_.now_ms += 31000;
    ui_.Clear();
    Type("123456");
    ASSERT_EQ(VerifyPIN(0), 1);
    EXPECT_EQ(ui_.DialogCount(), 1u);
}

TEST_F(PinVerification, PinPadReaderCollectsThePinWithoutStartingTheCache) {
    SetReaderTypeValue(READER_TYPE_PINPAD);
    Connect(5);
    ASSERT_EQ(Session().ReaderType, READER_TYPE_PINPAD);
    ASSERT_EQ(VerifyPIN(0), 1);
    ASSERT_EQ(card_.Verifies().size(), 1u);
    EXPECT_EQ(card_.Verifies()[0], (std::vector<BYTE>{0x80, 0x20, 0x01, 0x28}));
    EXPECT_EQ(ui_.DialogCount(), 0u);
    ASSERT_EQ(ui_.BoxCount(), 1u);
    EXPECT_EQ(ui_.events()[0].box.text, "Please enter your password on the second-generation card reader");
    EXPECT_EQ(ui_.events()[0].box.caption, "Input the pin code");
    EXPECT_EQ(Pin().CacheThread, 0u);

    // A refusal on the pad is reported without a dialog.
    card_.pinpad_status = 0x63C2;
    EXPECT_EQ(DoCheckDialog(0), 0x63C2);
    EXPECT_EQ(Session().PinVerified, 0);
    EXPECT_EQ(ui_.DialogCount(), 0u);
}

TEST_F(PinVerification, ReaderWithoutPinPadSupportFallsBackToTheDialogInTheSameCall) {
    SetReaderTypeValue(READER_TYPE_PINPAD);
    card_.pinpad_status = 0x6E00;
    Connect(5);
    Type("123456");
    ASSERT_EQ(VerifyPIN(0), 1);
    EXPECT_EQ(Session().ReaderType, READER_TYPE_PLAIN);
    EXPECT_EQ(ui_.DialogCount(), 1u);
    const auto verifies = card_.Verifies();
    ASSERT_EQ(verifies.size(), 2u);
    EXPECT_EQ(verifies[0].size(), 4u);
    EXPECT_EQ(std::vector<BYTE>(verifies[1].begin() + 5, verifies[1].end()), Padded("123456", 0x20));
}

TEST_F(PinVerification, WrongPinAsksAgainOnYesAndGivesUpOnNo) {
    Connect(1);
    Type("111111");
    ui_.QueueBoxAnswer(IDYES);
    Type("123456");
    ASSERT_EQ(VerifyPIN(0), 1);
    EXPECT_EQ(ui_.DialogCount(), 2u);
    ASSERT_EQ(ui_.BoxCount(), 1u);
    for (const auto& event : ui_.events()) {
        if (event.is_dialog) continue;
        EXPECT_EQ(event.box.text, "Password is incorrect, please re-enter the password or Cancel");
        EXPECT_EQ(event.box.caption, "KELM CSP V5");
        EXPECT_EQ(event.box.type & MB_TYPEMASK, static_cast<UINT>(MB_YESNO));
    }

    Card_Disconnect();
    clock_.now_ms += 60000;
    ui_.Clear();
    Type("222222");
    ui_.QueueBoxAnswer(IDNO);
    EXPECT_EQ(VerifyPIN(0), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_FAIL));
    EXPECT_EQ(Session().PinVerified, 0);
    EXPECT_EQ(ui_.DialogCount(), 1u);
}

TEST_F(PinVerification, LockedPinIsReportedOnce) {
    Connect(1);
    card_.tries_left = 0;
    Type("123456");
    EXPECT_EQ(VerifyPIN(0), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_FAIL));
    ASSERT_EQ(ui_.BoxCount(), 1u);
    for (const auto& event : ui_.events()) {
        if (event.is_dialog) continue;
        EXPECT_EQ(event.box.text, "The pin code of the  IC card has been locked!");
        EXPECT_EQ(event.box.type & MB_TYPEMASK, static_cast<UINT>(MB_OK));
    }
}

TEST_F(PinVerification, CardPulledDuringVerifyIsReportedAsRemoved) {
    Connect(1);
    // The card goes away between the reconnection probe and the VERIFY: the fake fails
    // exchanges once the dialog has been answered.
    struct PullOnDialog : ScriptedResponder {
        test::PinCardFake* card;
        std::optional<DialogAction> Dialog(const platform::DialogShown& dialog) override {
            card->removed = true;
            return ScriptedResponder::Dialog(dialog);
        }
    } pulling;
    pulling.card = &card_;
    pulling.QueueDialogAction(DialogAction{IDOK, "123456"});
    platform::SetUiResponder(&pulling);
    EXPECT_EQ(VerifyPIN(0), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(SCARD_W_REMOVED_CARD));
    EXPECT_EQ(pulling.BoxCount(), 0u);
    platform::SetUiResponder(&ui_);
    card_.removed = false;
}

TEST_F(PinVerification, RetryDialogReportsTheButtonChosen) {
    Connect(1);
    struct Case {
        int command;
        int result;
    };
    for (const Case c : {Case{IDOK, 1}, Case{IDCANCEL, 2}, Case{1019, 1019}}) {
        ui_.Clear();
        ui_.QueueDialogAction(DialogAction{c.command, ""});
        EXPECT_EQ(DoCheckDialog(1), c.result);
        ASSERT_EQ(ui_.DialogCount(), 1u);
        EXPECT_EQ(ui_.events().back().dialog.template_id, 131);
    }
    EXPECT_TRUE(card_.Verifies().empty());
}

}  // namespace
}  // namespace kelm::card
