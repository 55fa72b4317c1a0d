// The table of open registry keys.
#include "platform/registry/registry_handles.h"

#include <map>
#include <mutex>

namespace kelm::platform {

namespace {

// Handle values start well above null and step by 4 like real handles; they stay far below the
// predefined roots (0x80000000 and up).
constexpr ULONG_PTR kFirstHandle = 0x1000;
constexpr ULONG_PTR kHandleStep = 4;
constexpr ULONG_PTR kLastHandle = 0x7FFFFFF0;

std::mutex g_mutex;
std::map<ULONG_PTR, OpenRegistryKey> g_open_keys;
ULONG_PTR g_next_handle = kFirstHandle;

ULONG_PTR HandleValue(HKEY key) { return reinterpret_cast<ULONG_PTR>(key); }

}  // namespace

bool IsPredefinedRegistryKey(HKEY key) { return key == HKEY_CURRENT_USER || key == HKEY_LOCAL_MACHINE; }

LONG LookUpRegistryHandle(HKEY key, OpenRegistryKey& open) {
    if (key == HKEY_CURRENT_USER || key == HKEY_LOCAL_MACHINE) {
        open.root = key == HKEY_CURRENT_USER ? RegistryRoot::CurrentUser : RegistryRoot::LocalMachine;
        open.path.clear();
        open.access = KEY_ALL_ACCESS;
        return ERROR_SUCCESS;
    }
    std::lock_guard lock(g_mutex);
    const auto it = g_open_keys.find(HandleValue(key));
    if (it == g_open_keys.end()) return ERROR_INVALID_HANDLE;
    open = it->second;
    return ERROR_SUCCESS;
}

HKEY AddRegistryHandle(OpenRegistryKey open) {
    std::lock_guard lock(g_mutex);
    // After 500 million opens the values wrap; a value still in use is skipped.
    do {
        if (g_next_handle > kLastHandle) g_next_handle = kFirstHandle;
        g_next_handle += kHandleStep;
    } while (g_open_keys.count(g_next_handle) != 0);
    g_open_keys.emplace(g_next_handle, std::move(open));
    return reinterpret_cast<HKEY>(g_next_handle);
}

LONG RemoveRegistryHandle(HKEY key) {
    std::lock_guard lock(g_mutex);
    return g_open_keys.erase(HandleValue(key)) == 1 ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

}  // namespace kelm::platform
