// Key containers on the card and in the registry together, and the default container name.
#pragma once

#include <string>

#include "core/contexts.h"

namespace kelm::core {

HKEY Reg_OpenKeysRoot(bool machine, LONG* error);
LONG Reg_WriteContainerValues(ContainerCTX* container, bool machine);
DWORD GetPlatformKind();

// Each returns 0 or a nonzero code and sets the last error on failure.
DWORD Morva_Default_CreateContainer(const char* name, DWORD dwFlags, uint64_t* CHnd);
DWORD Morva_Default_OpenContainer(const char* name, DWORD dwFlags, uint64_t* CHnd);
DWORD Morva_Default_DeleteContainer(uint64_t CHnd);
DWORD Morva_Default_CloseContainer(uint64_t CHnd);
DWORD Prov_ReadContainerNames(ProvCTX* prov);

// The name used when a caller names no container: the card's first container (machine
// keyset), the user's name (user keyset), else "DefaultKey"; at most 36 characters.
std::string DefaultContainerName(DWORD dwFlags);

}  // namespace kelm::core
