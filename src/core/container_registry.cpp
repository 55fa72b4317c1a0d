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

namespace {

struct ContainerValue {
    const char* name;
    const BYTE* data;
    DWORD length;
};

// Whether the stored value is what would be written. The seed counts as current when one of
// its length is stored: it is drawn afresh for every context, so comparing its bytes would
// rewrite the record at every open.
bool StoredValueIsCurrent(HKEY key, const ContainerValue& value, bool seed) {
    BYTE stored[sizeof(kKeyTypeSubtype) + 4] = {};
    DWORD type = 0;
    DWORD length = sizeof stored;
    if (RegQueryValueExA(key, value.name, nullptr, &type, stored, &length) != ERROR_SUCCESS) return false;
    if (type != REG_BINARY || length != value.length) return false;
    return seed || std::memcmp(stored, value.data, length) == 0;
}

}  // namespace

LONG Reg_ContainerValuesState(const ContainerCTX* container, bool machine, HKEY* marker) {
    char subkey[kContainerSubkeySize];
    ContainerSubkeyName(container->Name, subkey);
    const std::string path = std::string(KeysPath(machine)) + "\\" + subkey;
    HKEY key = nullptr;
    const LONG opened = RegOpenKeyExA(KeysetRoot(machine), path.c_str(), 0, KEY_READ, &key);
    if (opened != ERROR_SUCCESS) return opened == ERROR_FILE_NOT_FOUND ? ERROR_MORE_DATA : opened;
    const DWORD kind = GetPlatformKind() == 2 ? 2 : 1;
    const BYTE pskeys[4] = {static_cast<BYTE>(kind), 0, 0, 0};
    const ContainerValue values[] = {
        {"RandSeed", container->RandSeed, kRandSeedLen},
        {"SigTypeSubtype", kKeyTypeSubtype, sizeof(kKeyTypeSubtype)},
        {"ExchTypeSubtype", kKeyTypeSubtype, sizeof(kKeyTypeSubtype)},
        {"PSKEYS", pskeys, sizeof(pskeys)},
    };
    bool current = true;
    for (const ContainerValue& value : values) {
        current = current && StoredValueIsCurrent(key, value, value.data == container->RandSeed);
    }
    RegCloseKey(key);
    if (current && marker != nullptr) *marker = key;
    return current ? ERROR_SUCCESS : ERROR_MORE_DATA;
}

LONG Reg_WriteContainerValues(ContainerCTX* container, bool machine) {
    platform::Trace("begin Reg_WriteContainerValues()");
    if (container == nullptr) return ERROR_INVALID_PARAMETER;
    HKEY marker = nullptr;
    if (Reg_ContainerValuesState(container, machine, &marker) == ERROR_SUCCESS) {
        // The record is as it would be written: leave the file alone, so that a registry that
        // cannot be written (read-only, full disk) does not stop an existing container. The
        // key read is the registration marker, as the written one would be.
        container->RegKey = marker;
        return ERROR_SUCCESS;
    }
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
    const ContainerValue values[] = {
        {"RandSeed", container->RandSeed, seedLength},
        {"SigTypeSubtype", kKeyTypeSubtype, sizeof(kKeyTypeSubtype)},
        {"ExchTypeSubtype", kKeyTypeSubtype, sizeof(kKeyTypeSubtype)},
        {"PSKEYS", pskeys, sizeof(pskeys)},
    };
    for (const ContainerValue& value : values) {
        result = RegSetValueExA(key, value.name, 0, REG_BINARY, value.data, value.length);
        if (result != ERROR_SUCCESS) {
            RegCloseKey(key);
            // A subkey made here with only some of its values would be a half record: drop it.
            if (disposition == REG_CREATED_NEW_KEY) Reg_DeleteContainerValues(container->Name, machine);
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
