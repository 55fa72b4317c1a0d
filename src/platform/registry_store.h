// Where the emulated registry keeps its data. On disk: one file per root in the registry
// editor's text format, under KELM_REGISTRY_DIR (default $XDG_CONFIG_HOME/kelm, else
// ~/.config/kelm). Unit tests use the in-memory store.
#pragma once

#include <string>

#include "platform/export.h"

namespace kelm::platform {

// Keeps every root in memory from now on (empty), discarding nothing on disk.
KELM_PLATFORM_API void UseInMemoryRegistry();
// Keeps the registry files in `directory` (created when missing).
KELM_PLATFORM_API void UseRegistryDirectory(const std::string& directory);
// The directory in use, or "" for the in-memory store.
KELM_PLATFORM_API std::string RegistryDirectory();
// The last error message of the store (a malformed file names its line), "" when none.
KELM_PLATFORM_API std::string RegistryLastProblem();

}  // namespace kelm::platform
