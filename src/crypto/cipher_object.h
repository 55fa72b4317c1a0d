// The cipher object: a symmetric key's cipher fields in KeyCTX (KeyData, KeyLen, Mode, IV, Chain,
// CipherState, Pending and the per-direction Reset/Final flags) driven by three calls per message:
// CiphObject_CiphReset when the direction's Reset flag is set, CiphObject_CiphUpdate for each
// piece of data, CiphObject_CiphFinal after the last piece.
//
// Both directions share Chain, CipherState and Pending, so a key encrypting and decrypting two
// messages at once mixes their chaining; callers that need both at once use two keys.
#pragma once

#include "core/contexts.h"
#include "kelm/windows_types.h"

namespace kelm::crypto {

constexpr DWORD CIPH_ENCRYPT = 0;
constexpr DWORD CIPH_DECRYPT = 1;

// Chain bytes 0-7 from the IV, CipherState 0, Pending and PendingLen cleared, the direction's
// Reset flag set and its Final flag cleared.
void CiphObject_CiphReset(core::KeyCTX* key, DWORD direction);

// Clears the direction's Reset flag and runs the block engine; returns its status (des_modes.h).
int CiphObject_CiphUpdate(core::KeyCTX* key, DWORD direction, const BYTE* in, DWORD length, BYTE* out,
                          DWORD* outLength);

// Encryption: in CBC writes the last (padded) block to `buffer` and sets *length to 8, otherwise
// sets *length to 0. Decryption: in CBC, `buffer` is the last 8 plaintext bytes and *length the
// plaintext length; the padding is checked, zeroed and subtracted (a last byte of 0 removes
// nothing; above 8, or a pad byte that differs, fails with NTE_BAD_DATA). On success the
// direction's Final and Reset flags are set and Pending is cleared.
BOOL CiphObject_CiphFinal(core::KeyCTX* key, DWORD direction, BYTE* buffer, DWORD* length);

}  // namespace kelm::crypto
