// Allocation, initial values and wiping release of the context records. Every record comes
// zero-filled from LocalAlloc(LPTR) and goes back with LocalFree; the Free_ functions accept
// null and wipe the record (IVs, chaining values, status copies, seeds, names) before release.
#pragma once

#include <cstddef>

#include "core/contexts.h"

namespace kelm::core {

// Session keys (CALG_DES, CALG_3DES, CALG_3DES_112) get a zero IV and zero-filled KeyData of
// KeyLen/8 bytes; RSA keys (AT_KEYEXCHANGE, AT_SIGNATURE or their CALG_RSA_ ids) have no KeyData.
// Null with NTE_BAD_ALGID for any other id, ERROR_NOT_ENOUGH_MEMORY when out of memory.
KeyCTX* Alloc_Init_KeyCTX(ALG_ID algid);
// Wipes KeyData and Salt by their recorded sizes (KeyDataSize, SaltSize) and frees them, then
// wipes and frees the record.
void Free_KeyCTX(KeyCTX* key);

// HashLen by id (MD2 16, MD5 16, SHA-1 20, MAC 8, SSL3 SHA+MD5 36, SHA-256 32) with a zero-filled
// value buffer of that size. Null with NTE_BAD_ALGID or ERROR_NOT_ENOUGH_MEMORY.
HashCTX* Alloc_Init_HashCTX(ALG_ID algid);
// Wipes and frees the engine state (a HASH_STATE from LocalAlloc(LPTR)), the value and MacKey
// (MacKeyLen/8 + 1 bytes), each once, then the record.
void Free_HashCTX(HashCTX* hash);

// Name cut to 36 characters (read no further than that). Null name: ERROR_INVALID_PARAMETER.
ContainerCTX* Alloc_Init_ContainerCTX(const char* name, DWORD reserved, DWORD dwFlags);
void Free_ContainerCTX(ContainerCTX* container);

// ProvType 1, everything else zero. Null with ERROR_NOT_ENOUGH_MEMORY.
ProvCTX* Alloc_ProvCTX();
// Frees ContainerNames and the record; the container behind CHnd is not touched.
void Free_ProvCTX(ProvCTX* prov);

// Reverses `length` bytes in place (big-endian card numbers <-> little-endian CryptoAPI).
void SwitchHiLo(BYTE* buffer, size_t length);

}  // namespace kelm::core
