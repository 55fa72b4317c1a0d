// Where the emulated registry keeps its data. On disk: one file per root in the registry
// editor's text format, under KELM_REGISTRY_DIR (default $XDG_CONFIG_HOME/kelm, else
// ~/.config/kelm). Unit tests use the in-memory store.
#pragma once

#include <memory>
#include <string>

#include "platform/export.h"

namespace kelm::platform {

// Keeps every root in memory from now on (empty), discarding nothing on disk.
KELM_PLATFORM_API void UseInMemoryRegistry();
// Keeps the registry files in `directory` (created when missing, at the first change).
// "" goes back to the default directory, looked up again at each operation.
KELM_PLATFORM_API void UseRegistryDirectory(const std::string& directory);
// The directory in use, or "" for the in-memory store.
KELM_PLATFORM_API std::string RegistryDirectory();
// The problem met by the last registry operation that failed in the store (a malformed file
// names its line: "<file>:<line>: <what>"); "" when the last operation met none.
KELM_PLATFORM_API std::string RegistryLastProblem();

// The store in use, with the in-memory contents, saved so that a test fixture can put it back.
struct RegistrySelection;
KELM_PLATFORM_API std::shared_ptr<const RegistrySelection> SaveRegistrySelection();
KELM_PLATFORM_API void RestoreRegistrySelection(const RegistrySelection& selection);

}  // namespace kelm::platform
