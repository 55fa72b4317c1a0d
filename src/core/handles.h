// Masked handles: a handle is the address of its HANDLE_CTX XOR HANDLE_MASK. Validation is a
// lookup in the table of live handle records, so a forged, stale or foreign handle is rejected
// without ever being dereferenced.
#pragma once

#include <cstdint>

#include "core/contexts.h"

namespace kelm::core {

// Makes a handle for `context`; its owner is `owner`, or the new handle itself when owner is 0.
// FALSE with ERROR_NOT_ENOUGH_MEMORY when out of memory (*out untouched).
BOOL Alloc_Init_CryptoHandle(uint64_t* out, DWORD type, void* context, uint64_t owner);
// The context behind `handle`, or null: null handle, not a live record, other type, other owner.
// Sets no last error.
void* Get_CryptoCTX(uint64_t handle, DWORD type, uint64_t hProv);
// Frees the handle record (never the context). A handle that is not live: NTE_BAD_UID.
void Free_CryptoHandle(uint64_t handle);

}  // namespace kelm::core
