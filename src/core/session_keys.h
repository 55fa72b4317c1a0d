// Where a generated DES or triple-DES session key's bytes come from: 128 bytes of card
// randomness, digested. No parity bits are adjusted and no salt is applied.
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

}  // namespace kelm::core
