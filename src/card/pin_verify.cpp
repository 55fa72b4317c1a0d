// The VERIFY command, the thread-bound cache of the last PIN, and VerifyPIN: reconnect, obtain
// the PIN, let the card judge it, and tell the user about a locked or wrong PIN.
#include "card/pin_verify.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "card/apdu_transport.h"
#include "card/card_conversation.h"
#include "card/reader_session.h"
#include "crypto/secure_zero.h"
#include "kelm/winapi.h"
#include "platform/process/trace.h"
#include "resources/resources.h"

namespace kelm::card {
namespace {

constexpr BYTE kVerifyIns = 0x20;
constexpr BYTE kVerifyP1 = 0x01;
constexpr BYTE kVerifyP2 = 0x28;
constexpr BYTE kPinPadCla = 0x80;
constexpr size_t kPaddedPinSize = 20;
constexpr BYTE kSpacePad = 0x20;
constexpr BYTE kFfPad = 0xFF;

// The cached PIN outlives every connection by design, but not the process: it is wiped when
// the library is unloaded or the program ends.
struct PinStateHolder {
    PinState state{};
    ~PinStateHolder() { crypto::SecureZero(&state, sizeof state); }
};

PinStateHolder g_pin;

// What VerifyPIN judges is the outcome of this thread's own VERIFY, whatever other threads sent
// since.
thread_local DWORD t_verify_status = 0;
// Set while VerifyPIN runs on this thread: a session that another thread ended between the
// reconnection and the VERIFY is connected again, so that the PIN the user typed reaches a card
// instead of failing as a wrong one.
thread_local bool t_reconnect = false;

// Rounds of HoldVerifiedConversation: each one follows another thread ending the session between
// this thread's verification and its use.
constexpr int kMaxPinRounds = 8;

// Only one thread asks the user at a time.
std::recursive_mutex& PromptMutex() {
    static std::recursive_mutex mutex;
    return mutex;
}

// This thread's turn to ask. A thread holding the card conversation takes no turn: the thread
// whose turn it is needs the conversation for its VERIFY.
struct PromptTurn {
    std::unique_lock<std::recursive_mutex> lock;
    bool waited = false;
    PromptTurn() {
        if (CardConversation::HeldByThisThread()) return;
        lock = std::unique_lock<std::recursive_mutex>(PromptMutex(), std::try_to_lock);
        if (!lock.owns_lock()) {
            lock.lock();
            waited = true;
        }
    }
};

struct ReconnectWhileVerifying {
    bool outer = t_reconnect;
    ReconnectWhileVerifying() { t_reconnect = true; }
    ~ReconnectWhileVerifying() { t_reconnect = outer; }
};

// A status the card itself gave (a PC/SC failure is no answer of the card's).
bool IsCardStatus(DWORD status) { return status <= 0xFFFF; }

// Called with the conversation held.
void ForgetCachedPin(PinState& pin) {
    crypto::SecureZero(pin.CachedPin, sizeof pin.CachedPin);
    pin.CacheThread = 0;
    pin.CacheTime = 0;
}

// Called with the conversation held: the status for the process and this thread, and the flag.
DWORD Record(DWORD status) {
    Pin().LastVerifyStatus = status;
    t_verify_status = status;
    Session().PinVerified = Card_StatusSucceeded(status) ? 1 : 0;
    return status;
}

bool PinVerifiedNow() {
    const CardConversation conversation;
    return Session().PinVerified != 0;
}

void ReconnectIfEnded() {
    if (t_reconnect && Session().Card == 0) {
        platform::Trace("VerifyPIN() reconnects for the VERIFY");
        Init_PCSC_Object(0);
    }
}

}  // namespace

PinState& Pin() { return g_pin.state; }

void ClearPinCache() {
    const CardConversation conversation;
    ForgetCachedPin(g_pin.state);
}

DWORD ThreadVerifyStatus() { return t_verify_status; }

void ClearVerifyStatus() {
    const CardConversation conversation;
    Pin().LastVerifyStatus = 0;
    t_verify_status = 0;
}

bool PinPadInUse() {
    const CardConversation conversation;
    const CardSession& session = Session();
    return session.CardType == CARD_TYPE_PINPAD_CAPABLE && session.ReaderType == READER_TYPE_PINPAD;
}

DWORD VerifyWithPinPad() {
    const CardConversation conversation;
    ReconnectIfEnded();
    const DWORD status = Card_VerifyPINCode(0, nullptr);
    if (status == STATUS_CLASS_NOT_SUPPORTED) {
        // The reader does not handle the PIN-pad command after all: the dialog asks instead.
        Pin().LastVerifyStatus = status;
        t_verify_status = status;
        Session().ReaderType = READER_TYPE_PLAIN;
        return status;
    }
    return Record(status);
}

bool VerifyWithRecentPin(DWORD* status) {
    const CardConversation conversation;
    if (!CheckThreadPinInMinutes()) {
        return false;
    }
    ReconnectIfEnded();
    PinState& pin = Pin();
    *status = Record(Card_VerifyPINCode(static_cast<DWORD>(strnlen(pin.CachedPin, kPinMaxLength)), pin.CachedPin));
    if (!Card_StatusSucceeded(*status) && IsCardStatus(*status)) {
        // Refused (another card, or a PIN changed meanwhile): sent again, it would only spend
        // the card's tries.
        platform::Trace("DoCheckDialog() recent PIN refused: forgotten");
        ForgetCachedPin(pin);
    }
    return true;
}

DWORD VerifyTypedPin(const char* pin) {
    const CardConversation conversation;
    ReconnectIfEnded();
    const DWORD length = static_cast<DWORD>(strnlen(pin, kPinMaxLength));
    const DWORD status = Record(Card_VerifyPINCode(length, pin));
    if (Card_StatusSucceeded(status)) {
        PinState& state = Pin();
        crypto::SecureZero(state.CachedPin, sizeof state.CachedPin);
        std::memcpy(state.CachedPin, pin, length);
    }
    return status;
}

DWORD Card_VerifyPINCode(DWORD length, const char* pin) {
    const CardConversation conversation;
    const CardSession& session = Session();
    BYTE response[kApduResponseCapacity];
    BYTE le = 0;
    if (session.CardType == CARD_TYPE_PINPAD_CAPABLE && session.ReaderType == READER_TYPE_PINPAD) {
        // The reader's own keypad collects the PIN; the command carries no data. Any reader type
        // other than the PIN pad's is an ordinary reader, and the typed PIN is sent.
        platform::Trace("Card_VerifyPINCode() PIN pad");
        return Card_SendAPDU(kPinPadCla, kVerifyIns, kVerifyP1, kVerifyP2, 0, &le, nullptr, response, 0);
    }

    BYTE padded[kPaddedPinSize];
    std::memset(padded, session.CardType == CARD_TYPE_PINPAD_CAPABLE ? kSpacePad : kFfPad, sizeof padded);
    if (pin != nullptr) {
        std::memcpy(padded, pin, std::min<size_t>(length, kPinMaxLength));
    }
    platform::Trace("Card_VerifyPINCode() send");
    const DWORD status = Card_SendAPDU(0x00, kVerifyIns, kVerifyP1, kVerifyP2, static_cast<BYTE>(kPinMaxLength), &le,
                                       padded, response, 0);
    crypto::SecureZero(padded, sizeof padded);
    return status;
}

bool CheckThreadPinInMinutes() {
    const CardConversation conversation;
    const PinState& pin = Pin();
    if (pin.CacheThread == 0 || pin.CacheTime == 0) {
        return false;
    }
    if (GetCurrentThreadId() != pin.CacheThread) {
        return false;
    }
    // Unsigned difference: a tick counter that wrapped around still measures correctly.
    return GetTickCount() - pin.CacheTime < kPinCacheWindowMs;
}

int VerifyPIN(DWORD /*flags*/) {
    platform::Trace("begin VerifyPIN()");
    LoadLocalizedStrings();
    const PromptTurn turn;
    if (turn.waited && PinVerifiedNow()) {
        platform::Trace("VerifyPIN() return : TRUE (verified while this thread waited)");
        return 1;
    }
    const ReconnectWhileVerifying reconnect;
    for (;;) {
        if (Init_PCSC_Object(0) != 1) {
            platform::Trace("SetLastError : NTE_FAIL");
            SetLastError(static_cast<DWORD>(NTE_FAIL));
            return 0;
        }
        if (CheckPin(0) != PIN_CHECK_OK) {
            platform::Trace("SetLastError : SCARD_W_CANCELLED_BY_USER");
            SetLastError(static_cast<DWORD>(SCARD_W_CANCELLED_BY_USER));
            return 0;
        }
        const DWORD status = ThreadVerifyStatus();
        if (status == static_cast<DWORD>(SCARD_W_REMOVED_CARD)) {
            SetLastError(static_cast<DWORD>(SCARD_W_REMOVED_CARD));
            return 0;
        }
        if (Card_StatusSucceeded(status)) {
            const CardConversation conversation;
            if (Session().ReaderType != READER_TYPE_PINPAD) {
                Pin().CacheThread = GetCurrentThreadId();
                Pin().CacheTime = GetTickCount();
            }
            platform::Trace("VerifyPIN() return : TRUE");
            return 1;
        }
        if (status == STATUS_PIN_LOCKED) {
            MessageBoxA(nullptr, LocalizedText(resources::IDS_PIN_LOCKED), LocalizedText(resources::IDS_CAPTION),
                        MB_OK);
            SetLastError(static_cast<DWORD>(NTE_FAIL));
            return 0;
        }
        // Any other refusal is a wrong PIN; the card counts the attempts, not this library.
        if (MessageBoxA(nullptr, LocalizedText(resources::IDS_PIN_WRONG), LocalizedText(resources::IDS_CAPTION),
                        MB_YESNO) != IDYES) {
            SetLastError(static_cast<DWORD>(NTE_FAIL));
            return 0;
        }
        platform::Trace("VerifyPIN() asks again");
    }
}

int HoldVerifiedConversation(DWORD flags, CardConversation& conversation) {
    for (int round = 0; round < kMaxPinRounds; ++round) {
        conversation.Take();
        if (Session().PinVerified != 0) {
            return 1;
        }
        conversation.Release();
        // Threads that need the PIN at the same time: one asks, and the others find it verified
        // when their turn comes.
        const PromptTurn turn;
        if (PinVerifiedNow()) {
            continue;
        }
        if (VerifyPIN(flags) != 1) {
            return 0;
        }
    }
    platform::Trace("HoldVerifiedConversation() : the session kept ending");
    SetLastError(static_cast<DWORD>(NTE_FAIL));
    return 0;
}

}  // namespace kelm::card
