// The registry record of a container: the keys root of the keyset and the four values of the
// container's "MorvaCSP-" subkey.
#include "core/container_registry.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "kelm/winapi.h"
#include "platform/process/trace.h"

namespace kelm::core {

namespace {

constexpr REGSAM kKeysRootAccess = KEY_ALL_ACCESS | ACCESS_SYSTEM_SECURITY;

HKEY KeysetRoot(bool machine) { return machine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER; }
const char* KeysPath(bool machine) { return machine ? kMachineKeysPath : kUserKeysPath; }

}  // namespace

void ContainerSubkeyName(const char* name, char* out) {
    const size_t prefix = sizeof(kContainerSubkeyPrefix) - 1;
    std::memcpy(out, kContainerSubkeyPrefix, prefix);
    const size_t length = name == nullptr ? 0 : strnlen(name, kContainerNameMax);
    if (length != 0) std::memcpy(out + prefix, name, length);
    out[prefix + length] = '\0';
}

HKEY Reg_OpenKeysRoot(bool machine, LONG* error) {
    HKEY root = nullptr;
    if (RegOpenKeyExA(KeysetRoot(machine), KeysPath(machine), 0, KEY_ALL_ACCESS, &root) != ERROR_SUCCESS) {
        if (error != nullptr) *error = NTE_BAD_KEYSET;
        return nullptr;
    }
    RegCloseKey(root);
    root = nullptr;
    if (RegOpenKeyExA(KeysetRoot(machine), KeysPath(machine), 0, kKeysRootAccess, &root) != ERROR_SUCCESS) {
        if (error != nullptr) *error = NTE_BAD_KEYSET;
        return nullptr;
    }
    if (error != nullptr) *error = ERROR_SUCCESS;
    return root;
}

LONG Reg_WriteContainerValues(ContainerCTX* container, bool machine) {
    platform::Trace("begin Reg_WriteContainerValues()");
    if (container == nullptr) return ERROR_INVALID_PARAMETER;
    char subkey[kContainerSubkeySize];
    ContainerSubkeyName(container->Name, subkey);
    // The subkey is made through its full path: the keys root is created with it when the
    // registry does not have it yet, as a fresh emulated registry does not.
    const std::string path = std::string(KeysPath(machine)) + "\\" + subkey;
    HKEY key = nullptr;
    DWORD disposition = 0;
    LONG result = RegCreateKeyExA(KeysetRoot(machine), path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_ALL_ACCESS, nullptr, &key, &disposition);
    if (result != ERROR_SUCCESS) return result;

    const DWORD seedLength = std::min<DWORD>(container->RandSeedLen, sizeof(container->RandSeed));
    const DWORD kind = GetPlatformKind() == 2 ? 2 : 1;
    const BYTE pskeys[4] = {static_cast<BYTE>(kind), 0, 0, 0};
    struct Value {
        const char* name;
        const BYTE* data;
        DWORD length;
    };
    const Value values[] = {
        {"RandSeed", container->RandSeed, seedLength},
        {"SigTypeSubtype", kKeyTypeSubtype, sizeof(kKeyTypeSubtype)},
        {"ExchTypeSubtype", kKeyTypeSubtype, sizeof(kKeyTypeSubtype)},
        {"PSKEYS", pskeys, sizeof(pskeys)},
    };
    for (const Value& value : values) {
        result = RegSetValueExA(key, value.name, 0, REG_BINARY, value.data, value.length);
        if (result != ERROR_SUCCESS) {
            RegCloseKey(key);
            return result;
        }
    }
    // Only a marker from here on: the key is closed at once and never used through this value.
    container->RegKey = key;
    RegCloseKey(key);
    return ERROR_SUCCESS;
}

LONG Reg_DeleteContainerValues(const char* name, bool machine) {
    LONG result = ERROR_SUCCESS;
    HKEY root = Reg_OpenKeysRoot(machine, &result);
    if (root == nullptr) return result;
    char subkey[kContainerSubkeySize];
    ContainerSubkeyName(name, subkey);
    result = RegDeleteKeyA(root, subkey);
    RegCloseKey(root);
    return result;
}

DWORD GetPlatformKind() {
    OSVERSIONINFOA version{};
    version.dwOSVersionInfoSize = sizeof(version);
    if (!GetVersionExA(&version)) return 0;
    switch (version.dwPlatformId) {
        case VER_PLATFORM_WIN32_WINDOWS:
            return 2;
        case VER_PLATFORM_WIN32_NT:
            return 1;
        default:
            return 0;
    }
}

}  // namespace kelm::core
