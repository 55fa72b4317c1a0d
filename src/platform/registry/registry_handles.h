// Open registry keys of this process. A handle names a key by root and path (the store may
// be re-read from disk between calls, so no pointer into a tree survives a call) together with
// the access it was opened with. The predefined roots HKEY_CURRENT_USER and
// HKEY_LOCAL_MACHINE are always open, with every access right.
#pragma once

#include <string>
#include <vector>

#include "kelm/windows_types.h"
#include "platform/registry/registry_tree.h"

namespace kelm::platform {

struct OpenRegistryKey {
    RegistryRoot root = RegistryRoot::CurrentUser;
    std::vector<std::string> path;  // components below the root; empty for the root itself
    REGSAM access = 0;
};

// Whether `key` is one of the two predefined roots.
bool IsPredefinedRegistryKey(HKEY key);

// Copies the key that `key` names into `open`. ERROR_INVALID_HANDLE for null, closed or
// unknown handles and for the predefined roots that are not emulated (HKEY_CLASSES_ROOT…).
LONG LookUpRegistryHandle(HKEY key, OpenRegistryKey& open);

// A new handle for `open`. Handle values are never reused within a process, so a stale handle
// is refused rather than taken for a newer key.
HKEY AddRegistryHandle(OpenRegistryKey open);

// Forgets a handle made by AddRegistryHandle; ERROR_INVALID_HANDLE when there is none.
LONG RemoveRegistryHandle(HKEY key);

}  // namespace kelm::platform
