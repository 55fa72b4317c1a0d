// Encryption and decryption of a caller's data with a key, hashing the plaintext into a hash
// object on the way. Session keys (CALG_DES, CALG_3DES_112, CALG_3DES) run in software through
// the cipher object; RSA keys (CALG_RSA_SIGN, CALG_RSA_KEYX) use the card's key of their slot.
//
// A message is a run of calls on one key and direction ending with a final call; the final call
// leaves the key ready to start the next message from its IV. The hash given to these calls is
// fed the plaintext on every call and finished by the final call.
//
// Both functions return 0 or the error for the caller's last error. The caller has resolved the
// handles, made sure the key belongs to the context's container (Key_BelongsTo) and that the
// hash, when given, is not finished.
#pragma once

#include "core/contexts.h"

namespace kelm::core {

inline bool IsRsaKey(const KeyCTX* key) { return key->Algid == CALG_RSA_SIGN || key->Algid == CALG_RSA_KEYX; }

// A key may only be used with a context of its own container: the key's 36 name bytes equal
// the first 36 bytes of the context's name.
bool Key_BelongsTo(const KeyCTX* key, const ProvCTX* prov);

// Encrypts *length bytes of plaintext in `data` (a buffer of `capacity` bytes) in place;
// *length becomes the ciphertext's length N:
//   CBC      the final call pads: N = n - n mod 8 + 8; other calls need whole blocks, N = n;
//   ECB      whole blocks only, N = n;  OFB, CFB  N = n;
//   RSA      at most the key's length less 11 bytes, N = the key's length; the card encrypts
//            one 1024-bit block whatever the key's length (at most 117 bytes of message, 128
//            bytes out, least significant byte first). The final flag only governs the hash.
// A length the mode cannot take: NTE_BAD_DATA, nothing changed. Null data (a size query) or
// N > capacity: ERROR_MORE_DATA with *length = N, nothing changed.
// A card that refuses the encryption: NTE_BAD_DATA, after the hash was fed.
DWORD Key_Encrypt(KeyCTX* key, HashCTX* hash, BOOL final, BYTE* data, DWORD* length, DWORD capacity);

// Decrypts *length bytes of ciphertext in `data` in place; *length becomes the plaintext's
// length (a final CBC call removes the padding, zeroing its bytes in the buffer). Null data:
// ERROR_INVALID_PARAMETER. Lengths the mode cannot take, and bad padding: NTE_BAD_DATA. A failed
// final CBC step leaves the chaining where the failed message left it: the key is not reset.
// RSA: the block must be the key's length (NTE_BAD_DATA before the card is touched); the PIN
// is verified with the context's flags `prov_flags` unless this connection has it (a refused PIN
// disconnects the card and returns VerifyPIN's error); the card's failure is returned as it
// comes. The hash is fed the plaintext only once decryption succeeded.
DWORD Key_Decrypt(KeyCTX* key, HashCTX* hash, BOOL final, BYTE* data, DWORD* length, DWORD prov_flags);

}  // namespace kelm::core
