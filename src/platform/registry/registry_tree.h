// The emulated registry's key tree: a key holds named values and subkeys. Names keep the case
// they were created with and are compared case-insensitively (ASCII), as on Windows.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "kelm/windows_types.h"
#include "platform/export.h"

namespace kelm::platform {

// Longest key name component and longest value name Windows accepts.
inline constexpr size_t kMaxKeyNameLength = 255;
inline constexpr size_t kMaxValueNameLength = 16383;
// Deepest key below a root, and largest value data accepted.
inline constexpr size_t kMaxKeyDepth = 512;
inline constexpr size_t kMaxValueDataSize = 1u << 20;

// The two roots that the emulated registry keeps.
enum class RegistryRoot { CurrentUser, LocalMachine };

struct RegistryValue {
    std::string name;  // "" is the key's default value
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

struct RegistryKey {
    std::string name;
    std::vector<RegistryValue> values;  // in the order they were first set
    std::vector<RegistryKey> subkeys;   // kept sorted by name, case-insensitively
};

// An edit of one root's tree: returns ERROR_SUCCESS or the error to report, and sets `changed`
// when it altered the tree. A failing edit leaves the tree as it found it.
using RegistryChange = std::function<LONG(RegistryKey& root, bool& changed)>;

// "HKEY_CURRENT_USER" or "HKEY_LOCAL_MACHINE".
KELM_PLATFORM_API const char* RegistryRootName(RegistryRoot root);

// ASCII case-insensitive equality, the comparison of key and value names.
KELM_PLATFORM_API bool RegistryNamesEqual(std::string_view a, std::string_view b);

// Splits a subkey path ("Software\Microsoft\Cryptography") into its components, appending
// them to `components`. Null or "" adds nothing; one trailing backslash is tolerated. An empty
// component (leading or doubled backslash), a component longer than kMaxKeyNameLength or a
// control character gives ERROR_INVALID_PARAMETER and leaves `components` unchanged.
KELM_PLATFORM_API LONG SplitRegistryPath(const char* path, std::vector<std::string>& components);

// Whether `name` is acceptable as a value name (length and no control characters).
KELM_PLATFORM_API bool IsValidValueName(std::string_view name);

// Lookups; null when absent. Pointers stay valid until the vector that holds them changes.
KELM_PLATFORM_API RegistryKey* FindSubkey(RegistryKey& key, std::string_view name);
KELM_PLATFORM_API const RegistryKey* FindSubkey(const RegistryKey& key, std::string_view name);
KELM_PLATFORM_API RegistryKey* FindKeyPath(RegistryKey& root, const std::vector<std::string>& path);
KELM_PLATFORM_API const RegistryKey* FindKeyPath(const RegistryKey& root, const std::vector<std::string>& path);
KELM_PLATFORM_API const RegistryValue* FindValue(const RegistryKey& key, std::string_view name);

// Returns the subkey `name`, adding it (in sorted place) when missing; `created` says which.
KELM_PLATFORM_API RegistryKey& EnsureSubkey(RegistryKey& key, std::string_view name, bool* created = nullptr);

// Sets a value, keeping the stored name's case when it already exists. Returns whether the
// stored type or data changed.
KELM_PLATFORM_API bool SetRegistryValue(RegistryKey& key, std::string_view name, DWORD type,
                                        std::vector<BYTE> data);

// Removal; each returns whether something was removed.
KELM_PLATFORM_API bool RemoveRegistryValue(RegistryKey& key, std::string_view name);
KELM_PLATFORM_API bool RemoveSubkey(RegistryKey& key, std::string_view name);

}  // namespace kelm::platform
