// Allocation, initial values and wiping release of the context records.
#pragma once

#include <cstddef>

#include "core/contexts.h"

namespace kelm::core {

KeyCTX* Alloc_Init_KeyCTX(ALG_ID algid);
void Free_KeyCTX(KeyCTX* key);
HashCTX* Alloc_Init_HashCTX(ALG_ID algid);
void Free_HashCTX(HashCTX* hash);
ContainerCTX* Alloc_Init_ContainerCTX(const char* name, DWORD reserved, DWORD dwFlags);
void Free_ContainerCTX(ContainerCTX* container);
ProvCTX* Alloc_ProvCTX();
void Free_ProvCTX(ProvCTX* prov);

// Reverses `length` bytes in place (big-endian card numbers <-> little-endian CryptoAPI).
void SwitchHiLo(BYTE* buffer, size_t length);

}  // namespace kelm::core
