// Where a DES or triple-DES session key's bytes come from: 128 bytes of card randomness for a
// generated key, or the value of a finished hash object for a derived one. No parity bits are
// adjusted and no salt is applied.
#pragma once

#include <cstddef>

#include "core/contexts.h"

namespace kelm::core {

constexpr DWORD kSessionKeyRandomBytes = 128;

// Key bytes (8 for CALG_DES, 16 for CALG_3DES_112, 24 for CALG_3DES) and the 8-byte IV of a new
// session key, from R = 128 bytes of GET CHALLENGE:
//   CALG_DES       key = MD5(R[0..63])[0..7]                         IV = MD5(R[0..63])[8..15]
//   CALG_3DES_112  key = MD5(R[0..63])                               IV = MD5(R[64..127])[8..15]
//   CALG_3DES      key = MD5(R[0..63]) || SHA-1(R[64..127])[0..7]     IV = SHA-1(R[64..127])[8..15]
// iv[8..15] is zeroed. Returns 0, or the error, which is also left as the last error:
// NTE_BAD_ALGID for any other id (the card is not asked), NTE_BAD_LEN when key_capacity is
// smaller than the key, ERROR_INVALID_PARAMETER for a null buffer, NTE_FAIL when the card gives
// no randomness. Nothing is written on failure; the random bytes and digests are wiped.
DWORD CreateSessionKey(ALG_ID algid, BYTE* key_data, size_t key_capacity, BYTE iv[16]);

// A new key of `algid` (CALG_DES, CALG_3DES_112 or CALG_3DES; else NTE_BAD_ALGID) from the value
// V of `hash`, which is finished first (one that never received data nor a value:
// NTE_BAD_HASH_STATE; the hash stays finished). DES and two-key triple DES take the first 8 or
// 16 bytes of V; three-key triple DES takes the first 24 bytes of H1 || H2, H1 and H2 being the
// hash's own algorithm (with its MAC key and IV) over 64 bytes of 0x36, resp. 0x5C, each XORed
// with V. From an 8-byte CALG_MAC value H1 || H2 is 16 bytes, and the last 8 key bytes are 0x36
// (the rest of the XORed pad block). NTE_FAIL when V is shorter than the key (CALG_3DES_112
// from a CALG_MAC value: half a key of zeros would be no key at all) or when the hash's
// algorithm computes nothing (CALG_3DES from a CALG_SSL3_SHAMD5 value).
// The key is in CBC mode with a zero IV and belongs to the context's container; CRYPT_EXPORTABLE
// in `flags` makes it exportable, no other flag counts. Returns 0 with *out set, or the error
// (nothing made; ERROR_NOT_ENOUGH_MEMORY when out of memory).
DWORD DeriveSessionKey(const ProvCTX* prov, HashCTX* hash, ALG_ID algid, DWORD flags, KeyCTX** out);

}  // namespace kelm::core
