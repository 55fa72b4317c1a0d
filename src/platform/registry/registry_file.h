// The on-disk store of the emulated registry: one text file per root (HKEY_CURRENT_USER.reg,
// HKEY_LOCAL_MACHINE.reg) in one directory. Reading takes no lock: a file is only ever
// replaced whole, by rename. A change takes an exclusive flock on "<file>.lock", re-reads the
// file, applies the edit and writes the result to "<file>.tmp" (fsync), renames it over the
// file and syncs the directory; so concurrent processes never lose each other's changes and a
// crash leaves either the old file or the new one. A malformed file is refused and never
// replaced.
#pragma once

#include <string>

#include "platform/export.h"
#include "platform/registry/registry_tree.h"

namespace kelm::platform {

// The directory used when none was chosen: $KELM_REGISTRY_DIR, else $XDG_CONFIG_HOME/kelm,
// else ~/.config/kelm. "" when no home directory can be found.
KELM_PLATFORM_API std::string DefaultRegistryDirectory();

// "<directory>/HKEY_CURRENT_USER.reg" or "<directory>/HKEY_LOCAL_MACHINE.reg".
KELM_PLATFORM_API std::string RegistryFilePath(const std::string& directory, RegistryRoot root);

// Reads the root's file into `tree`; a missing file (or directory) is an empty tree.
// ERROR_BADDB for a malformed file ("<file>:<line>: <what>" in `problem`),
// ERROR_REGISTRY_IO_FAILED when the file cannot be read.
KELM_PLATFORM_API LONG ReadRegistryFile(const std::string& directory, RegistryRoot root, RegistryKey& tree,
                                        std::string& problem);

// Applies `change` to the root's file under its lock, creating the directory when missing, and
// writes the file back when the change reports one. Returns the change's own error, or the
// errors of ReadRegistryFile, or ERROR_REGISTRY_IO_FAILED when the file cannot be written (the
// old file then stays as it was).
KELM_PLATFORM_API LONG ChangeRegistryFile(const std::string& directory, RegistryRoot root,
                                          const RegistryChange& change, std::string& problem);

// A failure injected into the next writes, so tests can see what an interrupted write leaves.
enum class RegistryWriteFault {
    None,
    // Half of the new text reaches the temporary file, then the write stops as a crash would:
    // no rename, the temporary file is left behind.
    StopBeforeRename,
};
KELM_PLATFORM_API void SetRegistryWriteFault(RegistryWriteFault fault);

}  // namespace kelm::platform
