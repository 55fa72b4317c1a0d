// PIN verification: the VERIFY command, the PIN dialog and its procedures, the PIN pad, the
// thread-bound cache of the last PIN, and VerifyPIN with its messages.
#pragma once

#include <cstddef>

#include "kelm/windows_types.h"

namespace kelm::card {

constexpr DWORD CARD_TYPE_PINPAD_CAPABLE = 5;  // space-padded PIN, PIN-pad readers
constexpr size_t kPinMaxLength = 16;
constexpr size_t kPinBufferSize = kPinMaxLength + 1;
constexpr DWORD kPinCacheWindowMs = 30000;

constexpr DWORD STATUS_CLASS_NOT_SUPPORTED = 0x6E00;
constexpr DWORD STATUS_PIN_LOCKED = 0x6620;

// DoCheckDialog results besides a card status.
constexpr int PIN_CHECK_OK = 1;
constexpr int PIN_CHECK_CANCELLED = 2;
constexpr int PIN_CHECK_RETYPE = 1019;
constexpr int PIN_CHECK_NO_DIALOG = -1;

// Process-wide PIN state, shared by all threads without a lock like the rest of the session.
struct PinState {
    DWORD LastVerifyStatus;          // status of the last VERIFY; 0 before any
    char CachedPin[kPinBufferSize];  // the last PIN typed in the dialog, NUL-terminated
    DWORD CacheThread;               // thread of the last successful VerifyPIN; 0 = none
    DWORD CacheTime;                 // its GetTickCount; 0 = none
};

PinState& Pin();

// Sends VERIFY with the PIN padded to 16 bytes (spaces on card type 5, else FF), or the
// PIN-pad form on card type 5 behind a PIN-pad reader. Returns the card status.
DWORD Card_VerifyPINCode(DWORD length, const char* pin);

// True when the calling thread verified successfully less than 30 seconds ago.
bool CheckThreadPinInMinutes();

// DoCheckDialog without the export wrapper (see kelm/csp.h).
int CheckPin(DWORD kind);

// Makes sure the card has accepted the PIN in this connection: reconnects, asks, verifies,
// and reports a locked or wrong PIN. 1 on success; 0 with the last error set otherwise.
int VerifyPIN(DWORD flags);

// The dialog procedures of the PIN dialog (102) and the retry dialog (131).
INT_PTR CALLBACK PinDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK ReaderPinDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// Forgets the cached PIN and its thread and time (tests; process exit).
void ClearPinCache();

}  // namespace kelm::card
