// Registered module resources and LoadStringA over them.
#include "platform/process/module_resources.h"

#include <dlfcn.h>

#include <cstring>
#include <map>
#include <mutex>

#include "kelm/winapi.h"

namespace kelm::platform {
namespace {

std::mutex g_mutex;
std::map<HMODULE, const ModuleResources*>& Modules() {
    static std::map<HMODULE, const ModuleResources*> modules;
    return modules;
}

}  // namespace

HMODULE ModuleHandleFromAddress(const void* address) {
    Dl_info info{};
    if (dladdr(address, &info) == 0) return nullptr;
    return static_cast<HMODULE>(info.dli_fbase);
}

void RegisterModuleResources(HMODULE module, const ModuleResources* resources) {
    std::lock_guard<std::mutex> lock(g_mutex);
    Modules()[module] = resources;
}

const ModuleResources* FindModuleResources(HMODULE module) {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = Modules().find(module);
    return it == Modules().end() ? nullptr : it->second;
}

const DialogTemplate* FindDialogTemplate(HMODULE module, int id) {
    const ModuleResources* resources = FindModuleResources(module);
    if (resources == nullptr) return nullptr;
    for (size_t i = 0; i < resources->dialog_count; ++i) {
        if (resources->dialogs[i].id == id) return &resources->dialogs[i];
    }
    return nullptr;
}

}  // namespace kelm::platform

// Copies the string (UTF-8, the code page of this platform) and terminates it; the result is
// the number of bytes copied without the terminator, 0 when the string does not exist.
// A string longer than the buffer is cut at a character boundary.
KELM_WINAPI_EXPORT int WINAPI LoadStringA(HINSTANCE hInstance, UINT uID, LPSTR lpBuffer, int cchBufferMax) {
    if (lpBuffer == nullptr || cchBufferMax <= 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    lpBuffer[0] = '\0';
    const kelm::platform::ModuleResources* resources = kelm::platform::FindModuleResources(hInstance);
    if (resources == nullptr) {
        SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
        return 0;
    }
    for (size_t i = 0; i < resources->string_count; ++i) {
        if (resources->strings[i].id != uID) continue;
        const char* text = resources->strings[i].text;
        size_t length = std::strlen(text);
        size_t room = static_cast<size_t>(cchBufferMax) - 1;
        if (length > room) {
            length = room;
            // Do not leave half a UTF-8 sequence at the end.
            while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) --length;
        }
        std::memcpy(lpBuffer, text, length);
        lpBuffer[length] = '\0';
        return static_cast<int>(length);
    }
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return 0;
}
