// Masked handles: a handle is the address of its HANDLE_CTX, with the slot's generation in the
// top 16 bits, XOR HANDLE_MASK. Validation is a lookup in the process-wide table of live handle
// records, so a forged, stale or foreign handle is rejected without ever being dereferenced. The
// records live in slots the table owns; each reuse of a slot raises its generation, so the
// handle of a destroyed object never validates again, however often its slot is reused.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/contexts.h"

namespace kelm::core {

// Record addresses fit in the low 48 bits; the generation takes the 16 above them.
constexpr unsigned kHandleGenerationShift = 48;
constexpr uint64_t kHandleAddressMask = (uint64_t{1} << kHandleGenerationShift) - 1;

// The handle value for a record address and generation, and back. Pure arithmetic: decoding
// never touches the memory at the result, which is only trusted once the live table knows it.
inline uint64_t EncodeHandle(const HANDLE_CTX* record, uint16_t generation = 0) {
    const uint64_t address = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(record));
    return (address | uint64_t{generation} << kHandleGenerationShift) ^ HANDLE_MASK;
}
inline HANDLE_CTX* DecodeHandle(uint64_t handle) {
    return reinterpret_cast<HANDLE_CTX*>(static_cast<uintptr_t>((handle ^ HANDLE_MASK) & kHandleAddressMask));
}
inline uint16_t HandleGeneration(uint64_t handle) {
    return static_cast<uint16_t>((handle ^ HANDLE_MASK) >> kHandleGenerationShift);
}

// Makes a handle for `context`; its owner is `owner`, or the new handle itself when owner is 0.
// FALSE with ERROR_NOT_ENOUGH_MEMORY when out of memory, ERROR_INVALID_PARAMETER when `out` is
// null (*out untouched either way).
BOOL Alloc_Init_CryptoHandle(uint64_t* out, DWORD type, void* context, uint64_t owner);
// The context behind `handle`, or null, checked in this order: null handle, not a live record,
// other type, other owner. Sets no last error. Inside an ObjectsInUse (objects_in_use.h) the
// record and its context stay allocated until that closes, whoever releases them meanwhile.
void* Get_CryptoCTX(uint64_t handle, DWORD type, uint64_t hProv);
// The same without the owner check: the context behind a live handle of `type`, whichever
// provider handle it was made under. For objects that a later check binds to the caller's
// context (a key is usable with any context of its own container).
void* Get_CryptoCTXOfAnyOwner(uint64_t handle, DWORD type);
// Frees the handle record (never the context) and restores the last error seen on entry. A
// handle that is not live: last error NTE_BAD_UID, nothing freed. No lookup finds the handle
// afterwards; a record that calls still hold goes back to the table when the last lets go.
void Free_CryptoHandle(uint64_t handle);
// Releases a published object: the handle as Free_CryptoHandle does, and the context behind it
// (Free_ProvCTX, Free_ContainerCTX, Free_KeyCTX or Free_HashCTX, by the handle's type) once no
// call holds it any more. False, with nothing released, when the handle is not live (another
// thread released it first). The last error is kept.
bool Release_CryptoObject(uint64_t handle);

// Number of live handle records in the process (for leak checks).
size_t LiveHandleCount();

}  // namespace kelm::core
