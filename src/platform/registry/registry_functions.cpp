// RegOpenKeyExA … RegCloseKey over the emulated registry, with the Windows results callers
// rely on: ERROR_FILE_NOT_FOUND for a missing key or value, size queries and ERROR_MORE_DATA,
// ERROR_KEY_DELETED for a handle whose key has gone, ERROR_ACCESS_DENIED for a handle opened
// without the right needed or for deleting a key that still has subkeys. Failures of the store
// itself: ERROR_BADDB when a registry file is malformed (the file is left as it is and
// RegistryLastProblem() names its line), ERROR_REGISTRY_IO_FAILED when a file cannot be read
// or written. The Reg… functions return their result and leave the thread's last error alone.
#include <algorithm>
#include <cstring>

#include "kelm/winapi.h"
#include "platform/registry/registry_backend.h"
#include "platform/registry/registry_handles.h"

using kelm::platform::OpenRegistryKey;
using kelm::platform::RegistryKey;
using kelm::platform::RegistryValue;

namespace {

// The key that `handle` plus `subkey` names. ERROR_INVALID_PARAMETER for a malformed subkey
// path or one nested too deep.
LONG ResolveKey(HKEY handle, LPCSTR subkey, OpenRegistryKey& key) {
    if (const LONG found = kelm::platform::LookUpRegistryHandle(handle, key); found != ERROR_SUCCESS) return found;
    std::vector<std::string> components;
    if (const LONG split = kelm::platform::SplitRegistryPath(subkey, components); split != ERROR_SUCCESS)
        return split;
    if (key.path.size() + components.size() > kelm::platform::kMaxKeyDepth) return ERROR_INVALID_PARAMETER;
    key.path.insert(key.path.end(), components.begin(), components.end());
    return ERROR_SUCCESS;
}

bool HasAccess(const OpenRegistryKey& key, REGSAM needed) { return (key.access & needed) == needed; }

// The value name as stored: null and "" both name the key's default value.
std::string_view ValueName(LPCSTR name) { return name == nullptr ? std::string_view() : std::string_view(name); }

bool IsSupportedType(DWORD type, DWORD size) {
    switch (type) {
        case REG_NONE:
        case REG_SZ:
        case REG_EXPAND_SZ:
        case REG_BINARY:
        case REG_MULTI_SZ:
            return true;
        case REG_DWORD:
            return size == 4;
        case REG_QWORD:
            return size == 8;
        default:
            return false;
    }
}

}  // namespace

KELM_WINAPI_EXPORT LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                                             PHKEY phkResult) {
    (void)ulOptions;
    if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    OpenRegistryKey base;
    if (const LONG found = kelm::platform::LookUpRegistryHandle(hKey, base); found != ERROR_SUCCESS) return found;
    if (kelm::platform::IsPredefinedRegistryKey(hKey) && (lpSubKey == nullptr || *lpSubKey == '\0')) {
        *phkResult = hKey;
        return ERROR_SUCCESS;
    }
    OpenRegistryKey key;
    if (const LONG resolved = ResolveKey(hKey, lpSubKey, key); resolved != ERROR_SUCCESS) return resolved;
    const LONG result = kelm::platform::ReadRegistryRoot(key.root, [&](const RegistryKey& root) -> LONG {
        if (kelm::platform::FindKeyPath(root, base.path) == nullptr) return ERROR_KEY_DELETED;
        return kelm::platform::FindKeyPath(root, key.path) == nullptr ? ERROR_FILE_NOT_FOUND : ERROR_SUCCESS;
    });
    if (result != ERROR_SUCCESS) return result;
    key.access = samDesired;
    *phkResult = kelm::platform::AddRegistryHandle(std::move(key));
    return ERROR_SUCCESS;
}

KELM_WINAPI_EXPORT LONG WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass,
                                               DWORD dwOptions, REGSAM samDesired, void* lpSecurityAttributes,
                                               PHKEY phkResult, LPDWORD lpdwDisposition) {
    // Classes, security attributes and volatility have no meaning here: every key is kept.
    (void)Reserved;
    (void)lpClass;
    (void)dwOptions;
    (void)lpSecurityAttributes;
    if (phkResult == nullptr || lpSubKey == nullptr) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    OpenRegistryKey base;
    if (const LONG found = kelm::platform::LookUpRegistryHandle(hKey, base); found != ERROR_SUCCESS) return found;
    OpenRegistryKey key;
    if (const LONG resolved = ResolveKey(hKey, lpSubKey, key); resolved != ERROR_SUCCESS) return resolved;
    bool created_last = false;
    const LONG result =
        kelm::platform::ChangeRegistryRoot(key.root, [&](RegistryKey& root, bool& changed) -> LONG {
            RegistryKey* parent = kelm::platform::FindKeyPath(root, base.path);
            if (parent == nullptr) return ERROR_KEY_DELETED;
            if (kelm::platform::FindKeyPath(root, key.path) != nullptr) return ERROR_SUCCESS;
            if (!HasAccess(base, KEY_CREATE_SUB_KEY)) return ERROR_ACCESS_DENIED;
            for (size_t i = base.path.size(); i < key.path.size(); ++i)
                parent = &kelm::platform::EnsureSubkey(*parent, key.path[i], &created_last);
            changed = true;
            return ERROR_SUCCESS;
        });
    if (result != ERROR_SUCCESS) return result;
    if (lpdwDisposition != nullptr) *lpdwDisposition = created_last ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    key.access = samDesired;
    *phkResult = kelm::platform::AddRegistryHandle(std::move(key));
    return ERROR_SUCCESS;
}

KELM_WINAPI_EXPORT LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                                                LPBYTE lpData, LPDWORD lpcbData) {
    if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr)) return ERROR_INVALID_PARAMETER;
    OpenRegistryKey key;
    if (const LONG found = kelm::platform::LookUpRegistryHandle(hKey, key); found != ERROR_SUCCESS) return found;
    if (!HasAccess(key, KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
    return kelm::platform::ReadRegistryRoot(key.root, [&](const RegistryKey& root) -> LONG {
        const RegistryKey* found = kelm::platform::FindKeyPath(root, key.path);
        if (found == nullptr) return ERROR_KEY_DELETED;
        const RegistryValue* value = kelm::platform::FindValue(*found, ValueName(lpValueName));
        if (value == nullptr) return ERROR_FILE_NOT_FOUND;
        const auto size = static_cast<DWORD>(value->data.size());
        if (lpType != nullptr) *lpType = value->type;
        if (lpcbData == nullptr) return ERROR_SUCCESS;
        if (lpData != nullptr && *lpcbData < size) {
            *lpcbData = size;
            return ERROR_MORE_DATA;
        }
        if (lpData != nullptr) std::copy(value->data.begin(), value->data.end(), lpData);
        *lpcbData = size;
        return ERROR_SUCCESS;
    });
}

KELM_WINAPI_EXPORT LONG WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                                              const BYTE* lpData, DWORD cbData) {
    (void)Reserved;
    const std::string_view name = ValueName(lpValueName);
    if (!kelm::platform::IsValidValueName(name) || !IsSupportedType(dwType, cbData) ||
        cbData > kelm::platform::kMaxValueDataSize || (lpData == nullptr && cbData != 0))
        return ERROR_INVALID_PARAMETER;
    OpenRegistryKey key;
    if (const LONG found = kelm::platform::LookUpRegistryHandle(hKey, key); found != ERROR_SUCCESS) return found;
    if (!HasAccess(key, KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
    std::vector<BYTE> data(lpData, lpData + cbData);
    return kelm::platform::ChangeRegistryRoot(key.root, [&](RegistryKey& root, bool& changed) -> LONG {
        RegistryKey* found = kelm::platform::FindKeyPath(root, key.path);
        if (found == nullptr) return ERROR_KEY_DELETED;
        changed = kelm::platform::SetRegistryValue(*found, name, dwType, data);
        return ERROR_SUCCESS;
    });
}

KELM_WINAPI_EXPORT LONG WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
    if (lpSubKey == nullptr) return ERROR_INVALID_PARAMETER;
    OpenRegistryKey base;
    if (const LONG found = kelm::platform::LookUpRegistryHandle(hKey, base); found != ERROR_SUCCESS) return found;
    OpenRegistryKey key;
    if (const LONG resolved = ResolveKey(hKey, lpSubKey, key); resolved != ERROR_SUCCESS) return resolved;
    // A root cannot be deleted.
    if (key.path.empty()) return ERROR_ACCESS_DENIED;
    return kelm::platform::ChangeRegistryRoot(key.root, [&](RegistryKey& root, bool& changed) -> LONG {
        if (kelm::platform::FindKeyPath(root, base.path) == nullptr) return ERROR_KEY_DELETED;
        const std::vector<std::string> parent_path(key.path.begin(), key.path.end() - 1);
        RegistryKey* parent = kelm::platform::FindKeyPath(root, parent_path);
        const RegistryKey* target = parent == nullptr ? nullptr : kelm::platform::FindSubkey(*parent, key.path.back());
        if (target == nullptr) return ERROR_FILE_NOT_FOUND;
        // As on Windows, only a key without subkeys is deleted.
        if (!target->subkeys.empty()) return ERROR_ACCESS_DENIED;
        changed = kelm::platform::RemoveSubkey(*parent, key.path.back());
        return ERROR_SUCCESS;
    });
}

KELM_WINAPI_EXPORT LONG WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
    OpenRegistryKey key;
    if (const LONG found = kelm::platform::LookUpRegistryHandle(hKey, key); found != ERROR_SUCCESS) return found;
    if (!HasAccess(key, KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
    return kelm::platform::ChangeRegistryRoot(key.root, [&](RegistryKey& root, bool& changed) -> LONG {
        RegistryKey* found = kelm::platform::FindKeyPath(root, key.path);
        if (found == nullptr) return ERROR_KEY_DELETED;
        changed = kelm::platform::RemoveRegistryValue(*found, ValueName(lpValueName));
        return changed ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    });
}

KELM_WINAPI_EXPORT LONG WINAPI RegCloseKey(HKEY hKey) {
    if (kelm::platform::IsPredefinedRegistryKey(hKey)) return ERROR_SUCCESS;
    return kelm::platform::RemoveRegistryHandle(hKey);
}
