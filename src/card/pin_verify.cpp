// The VERIFY command, the thread-bound cache of the last PIN, and VerifyPIN: reconnect, obtain
// the PIN, let the card judge it, and tell the user about a locked or wrong PIN.
#include "card/pin_verify.h"

#include <algorithm>
#include <cstring>

#include "card/apdu_transport.h"
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

}  // namespace

PinState& Pin() { return g_pin.state; }

void ClearPinCache() {
    crypto::SecureZero(g_pin.state.CachedPin, sizeof g_pin.state.CachedPin);
    g_pin.state.CacheThread = 0;
    g_pin.state.CacheTime = 0;
}

DWORD Card_VerifyPINCode(DWORD length, const char* pin) {
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
        const DWORD status = Pin().LastVerifyStatus;
        if (status == static_cast<DWORD>(SCARD_W_REMOVED_CARD)) {
            SetLastError(static_cast<DWORD>(SCARD_W_REMOVED_CARD));
            return 0;
        }
        if (Card_StatusSucceeded(status)) {
            if (Session().PinVerified == 1 && Session().ReaderType != READER_TYPE_PINPAD) {
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

}  // namespace kelm::card
