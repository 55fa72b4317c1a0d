// PIN verification on the simulated card: padding by card type, the dialog and its answers,
// the PIN pad and its fall-back, the thread-bound 30-second cache, wrong and locked PINs.
#include <algorithm>
#include <iterator>
#include <set>
#include <tuple>

#include "card/apdu_transport.h"
#include "card_keys.h"

namespace kelm::card {
namespace {

using csp::testing::ErrorOf;
using platform::DialogAction;

class PinVerification : public csp::testing::CardTest {
protected:
    // A fresh card, connected. `pin_pad`: the provider is told that the reader has a keypad;
    // `keypad_works`: the reader really handles the PIN-pad command.
    void Insert(int type, const std::string& pin = testing::kSimPin, bool pin_pad = false, bool keypad_works = true) {
        testing::SimCardSetup setup;
        setup.type = type, setup.pin = pin, setup.pin_pad = pin_pad && keypad_works, setup.pin_pad_entry = pin;
        InsertBlank(setup);
        ASSERT_EQ(Init_PCSC_Object(CRYPT_SILENT), 1);
        if (pin_pad) Session().ReaderType = READER_TYPE_PINPAD;
        sim_->backend().ClearLog();
    }
    std::vector<std::vector<BYTE>> Verifies() {
        std::vector<std::vector<BYTE>> out;
        for (const auto& exchange : sim_->backend().Log()) {
            if (exchange.command.size() >= 4 && exchange.command[1] == 0x20) out.push_back(exchange.command);
        }
        return out;
    }
    void Type(const std::string& pin) { ui_.QueueDialogAction(DialogAction{IDOK, pin}); }
    std::string LastBoxText() {
        for (auto it = ui_.events().rbegin(); it != ui_.events().rend(); ++it) {
            if (!it->is_dialog) return it->box.text;
        }
        return "";
    }
};

TEST_F(PinVerification, PinIsPaddedToSixteenBytesWithSpacesOnTypeFiveElseFF) {
    for (int type : {1, 3, 5, 6, 7}) {
        for (const std::string pin : {"123456", "0123456789ABCDEF"}) {
            SCOPED_TRACE("card type " + std::to_string(type) + ", PIN of " + std::to_string(pin.size()));
            Insert(type, pin);
            EXPECT_TRUE(Card_StatusSucceeded(Card_VerifyPINCode(static_cast<DWORD>(pin.size()), pin.c_str())));
            std::vector<BYTE> expected(21, type == 5 ? 0x20 : 0xFF);
            const BYTE header[] = {0x00, 0x20, 0x01, 0x28, 0x10};
            std::copy(pin.begin(), pin.end(), std::copy(std::begin(header), std::end(header), expected.begin()));
            ASSERT_EQ(Verifies().size(), 1u);
            EXPECT_EQ(Verifies()[0], expected);
        }
    }
    // Nothing past sixteen characters is read or sent; an empty PIN is all padding.
    Card_VerifyPINCode(40, "0123456789ABCDEF and what follows is never sent");
    Card_VerifyPINCode(0, "");
    const auto sent = Verifies();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[1], sent[0]);
    EXPECT_EQ(std::vector<BYTE>(sent[2].begin() + 5, sent[2].end()), std::vector<BYTE>(16, 0xFF));
}

TEST_F(PinVerification, DialogThenTheSameThreadsPinForThirtySeconds) {
    Insert(1);
    Type(testing::kSimPin);
    ASSERT_EQ(VerifyPIN(0), 1);
    EXPECT_EQ(Session().PinVerified, 1);
    ASSERT_EQ(ui_.DialogCount(), 1u);
    const platform::DialogShown& shown = ui_.events().back().dialog;
    EXPECT_TRUE(shown.template_id == 102 && shown.title == "Input the pin code" && shown.edit_limit == 16 &&
                shown.topmost && shown.visible) << shown.title;
    std::set<std::pair<int, std::string>> labels;
    for (const auto& control : shown.controls) labels.emplace(control.id, control.text);
    EXPECT_TRUE(labels.count({1023, "Password(6-16)"}) && labels.count({IDOK, "Confirm"}) && labels.count({IDCANCEL, "Cancel"}));

    // Each success restarts the window; another thread, or 31 seconds, brings the dialog back.
    for (const auto& [advance_ms, thread, dialog] :
         {std::tuple{29000u, 1u, false}, {29000u, 1u, false}, {0u, 2u, true}, {31000u, 1u, true}}) {
        Card_Disconnect();
        sim_->backend().ClearLog();
        clock_.now_ms += advance_ms;
        clock_.thread_id = thread;
        const size_t dialogs = ui_.DialogCount();
        if (dialog) Type(testing::kSimPin);
        ASSERT_EQ(VerifyPIN(0), 1);
        EXPECT_EQ(ui_.DialogCount(), dialogs + (dialog ? 1 : 0));
        EXPECT_EQ(Verifies().size(), 1u);
    }
}

TEST_F(PinVerification, OnlyThePinPadReaderTypeCollectsThePinElseTheDialogsPinIsSent) {
    Insert(5, testing::kSimPin, true);
    ASSERT_EQ(VerifyPIN(0), 1);
    ASSERT_EQ(Verifies().size(), 1u);
    EXPECT_EQ(Verifies()[0], (std::vector<BYTE>{0x80, 0x20, 0x01, 0x28}));
    EXPECT_EQ(ui_.DialogCount(), 0u);
    EXPECT_EQ(LastBoxText(), "Please enter your password on the second-generation card reader");
    EXPECT_EQ(Pin().CacheThread, 0u) << "a PIN typed on the pad is not cached";

    // A reader without the keypad answers 6E 00: the dialog follows in the same call.
    Insert(5, testing::kSimPin, true, false);
    Type(testing::kSimPin);
    ASSERT_EQ(VerifyPIN(0), 1);
    EXPECT_EQ(Session().ReaderType, READER_TYPE_PLAIN);
    EXPECT_EQ(ui_.DialogCount(), 1u);
    ASSERT_EQ(Verifies().size(), 2u);
    EXPECT_EQ(Verifies()[1].size(), 21u);

    // Any other reader type is an ordinary reader.
    for (DWORD reader_type : {0u, 3u}) {
        Insert(5);
        Session().ReaderType = reader_type;
        Type(testing::kSimPin);
        EXPECT_EQ(VerifyPIN(0), 1) << "reader type " << reader_type;
        ASSERT_EQ(Verifies().size(), 1u);
        EXPECT_EQ(Verifies()[0].size(), 21u) << "reader type " << reader_type << ": the typed PIN goes to the card";
    }
}

TEST_F(PinVerification, CancelRetryWrongAndLockedPins) {
    Insert(1);
    ui_.QueueDialogAction(DialogAction{IDCANCEL, ""});
    EXPECT_REFUSED(VerifyPIN(0), SCARD_W_CANCELLED_BY_USER);
    ui_.QueueDialogGone();
    EXPECT_EQ(VerifyPIN(0), 0);
    // The retry dialog reports its button and sends nothing.
    for (const auto& [command, result] : {std::pair{IDOK, 1}, std::pair{IDCANCEL, 2}, std::pair{1019, 1019}}) {
        ui_.QueueDialogAction(DialogAction{command, ""});
        EXPECT_EQ(DoCheckDialog(1), result);
        EXPECT_EQ(ui_.events().back().dialog.template_id, 131);
    }
    EXPECT_TRUE(Verifies().empty());

    // Wrong, "Yes" to try again, right: verified after two dialogs.
    Type("00000000");
    ui_.QueueBoxAnswer(IDYES);
    Type(testing::kSimPin);
    EXPECT_EQ(VerifyPIN(0), 1);
    EXPECT_EQ(LastBoxText(), "Password is incorrect, please re-enter the password or Cancel");
    EXPECT_EQ(ui_.events().back().is_dialog, true);

    // Wrong and "No"; then wrong until the card locks, which is reported once.
    Session().PinVerified = 0;
    clock_.now_ms += 60000;
    Type("00000000");
    ui_.QueueBoxAnswer(IDNO);
    EXPECT_REFUSED(VerifyPIN(0), NTE_FAIL);
    EXPECT_EQ(Session().PinVerified, 0);
    for (int i = 0; i < 3; ++i) {
        Type("00000000");
        ui_.QueueBoxAnswer(IDYES);
    }
    EXPECT_REFUSED(VerifyPIN(0), NTE_FAIL);
    EXPECT_EQ(LastBoxText(), "The pin code of the  IC card has been locked!");
}

// The cache re-sends only a PIN the card accepted, and never one it refused: neither another
// thread's mistyped PIN nor the PIN of a card swapped out spends the tries of the card in the
// reader.
TEST_F(PinVerification, TheCacheNeverSendsAPinTheCardRefused) {
    Insert(1);
    Type(testing::kSimPin);
    ASSERT_EQ(VerifyPIN(0), 1);  // thread 1 (A)
    Card_Disconnect();
    clock_.thread_id = 2;  // B mistypes and declines to try again
    Type("00000000");
    ui_.QueueBoxAnswer(IDNO);
    EXPECT_EQ(VerifyPIN(0), 0);
    clock_.thread_id = 1;
    for (int i = 0; i < 3; ++i) {
        Card_Disconnect();
        EXPECT_EQ(VerifyPIN(0), 1) << "A's own PIN again, within 30 seconds";
    }
    EXPECT_EQ(sim::PinTriesLeft(sim_->card()), 3);

    // Another card, with a PIN of its own, in the reader within 30 seconds: the first card's PIN
    // is tried once, silently; then the dialog asks.
    testing::SimCardSetup other;
    other.pin = "87654321";
    sim_->backend().InsertCard(sim_->reader(), testing::NewSimCard(other));
    EXPECT_EQ(VerifyPIN(0), 0);
    Type("87654321");
    EXPECT_EQ(VerifyPIN(0), 1);
    EXPECT_EQ(sim::PinTriesLeft(sim_->card()), 3);
    EXPECT_EQ(ui_.DialogCount(), 3u);
}

}  // namespace
}  // namespace kelm::card
