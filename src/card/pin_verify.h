// PIN verification: the VERIFY command, the PIN dialog and its procedures, the PIN pad, the
// thread-bound cache of the last PIN, and VerifyPIN with its messages.
#pragma once

#include <cstddef>

#include "card/card_conversation.h"
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

// Process-wide PIN state, read and changed only while the card conversation is held.
struct PinState {
    DWORD LastVerifyStatus;          // status of the last VERIFY of any thread; 0 before any
    char CachedPin[kPinBufferSize];  // the last PIN typed in the dialog that the card accepted
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
// One thread asks at a time: a thread that waited for another's question and finds the PIN
// verified when its turn comes returns 1 without asking (a thread holding the card
// conversation does not wait, since the other's VERIFY needs it).
int VerifyPIN(DWORD flags);

// The PIN step of a private-key operation: returns 1 with `conversation` held and the
// PIN-verified flag set, so that the card work done before the conversation is let go runs in
// the connection where the PIN was verified, whatever other threads release or verify
// meanwhile. While the flag is clear, VerifyPIN runs without the conversation (the dialog
// stalls no other thread's card work, unless the caller holds the conversation further out),
// and the flag is looked at again. 0, with VerifyPIN's last error, when the PIN was not given;
// the conversation is then not held by `conversation`.
int HoldVerifiedConversation(DWORD flags, CardConversation& conversation);

// The three roads of a PIN to the card. Each is one VERIFY with its recording, in one card
// conversation: the status (the process's last, and this thread's, which VerifyPIN judges) and
// the PIN-verified flag.
// The PIN pad's VERIFY; its 0x6E00 leaves the flag alone and makes the reader an ordinary one.
DWORD VerifyWithPinPad();
// The calling thread's PIN of the last 30 seconds, if it has one (false otherwise). A PIN the
// card refuses leaves the cache, so it is never sent again.
bool VerifyWithRecentPin(DWORD* status);
// The PIN typed in the dialog; it becomes the cached PIN only when the card accepts it.
DWORD VerifyTypedPin(const char* pin);
// True when the card type and reader type send the PIN through the reader's keypad.
bool PinPadInUse();

// The dialog procedures of the PIN dialog (102) and the retry dialog (131).
INT_PTR CALLBACK PinDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK ReaderPinDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// Forgets the cached PIN and its thread and time (tests; process exit).
void ClearPinCache();
// This thread's last VERIFY status (0 before any), and its clearing with the process's at the
// start of each PIN check.
DWORD ThreadVerifyStatus();
void ClearVerifyStatus();

}  // namespace kelm::card
