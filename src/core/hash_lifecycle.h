// The steps a hash object (HashCTX) goes through between creation and release: its MAC key
// taken from a session key, data fed into a running state started on first use, the value
// fixed once, or set from outside. Hashing, signing, key derivation and encryption with a hash
// handle all go through these, so an object behaves the same whichever entry point drives it.
//
// States: open (no running state, not finished) -> hashing (running state) -> finished (value
// fixed). Setting the value leads from any state to finished; nothing leads back.
//
// Functions that can fail return 0 or the error code for the caller's last error.
#pragma once

#include "core/contexts.h"

namespace kelm::core {

// For a CALG_MAC object: copies the key's length, key bytes, ALG_ID and IV as they are now, so
// later changes to the key (or its release) do not reach the MAC. A key without key bytes (an
// RSA key): NTE_BAD_KEY. Out of memory: ERROR_NOT_ENOUGH_MEMORY.
DWORD HashObject_TakeMacKey(HashCTX* hash, const KeyCTX* key);

// Feeds `length` bytes, starting the running state when there is none (out of memory:
// ERROR_NOT_ENOUGH_MEMORY, nothing fed). The caller has made sure the object is not finished.
DWORD HashObject_Feed(HashCTX* hash, const BYTE* data, DWORD length);

// Feeds a session key's bytes last byte first. A key without key bytes: NTE_BAD_KEY.
DWORD HashObject_FeedKey(HashCTX* hash, const KeyCTX* key);

// Fixes the value of a running object: the engine's digest goes into the value buffer, the
// running state is wiped and freed, and the object is finished. An open object stays open.
// True when the object is finished afterwards; false for one that never received data nor a
// value, which cannot be signed or derived from.
bool HashObject_Finish(HashCTX* hash);

// The value for a reader: finishes the object, and an object that never received data nor a
// value is finished with its zero value. HashLen bytes.
const BYTE* HashObject_ReadValue(HashCTX* hash);

// Replaces the value with HashLen bytes of `value`; data fed so far is discarded unread.
void HashObject_SetValue(HashCTX* hash, const BYTE* value);

}  // namespace kelm::core
