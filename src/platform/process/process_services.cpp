// Process and system facts: the user's name, the system version, the default language and
// the file names of loaded modules.
#include <dlfcn.h>
#include <link.h>
#include <pwd.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "kelm/winapi.h"

namespace {

// Copies `text` into a caller's buffer of `size` bytes with a terminator, never cutting a UTF-8
// sequence in half; returns the bytes copied without the terminator.
size_t CopyTruncated(const std::string& text, char* buffer, size_t size) {
    size_t length = text.size();
    if (length > size - 1) {
        length = size - 1;
        while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) --length;
    }
    std::memcpy(buffer, text.data(), length);
    buffer[length] = '\0';
    return length;
}

std::string CurrentUserName() {
    long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::string scratch(suggested > 0 ? static_cast<size_t>(suggested) : 4096u, '\0');
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(geteuid(), &entry, scratch.data(), scratch.size(), &found) == 0 && found != nullptr &&
        found->pw_name != nullptr && found->pw_name[0] != '\0') {
        return found->pw_name;
    }
    for (const char* variable : {"USER", "LOGNAME"}) {
        const char* value = std::getenv(variable);
        if (value != nullptr && value[0] != '\0') return value;
    }
    // An account without a passwd entry (a container's arbitrary uid): name it by its number.
    return std::to_string(geteuid());
}

// The first locale variable that is set decides, as for the C library's messages.
std::string_view MessagesLocale() {
    for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(variable);
        if (value != nullptr && value[0] != '\0') return value;
    }
    return {};
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

struct ObjectSearch {
    uintptr_t base;
    bool found;
    bool is_main_program;
    std::string path;
};

// The load address of an object's first byte: what dladdr reports as dli_fbase.
uintptr_t ObjectBase(const dl_phdr_info* info) {
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& header = info->dlpi_phdr[i];
        if (header.p_type == PT_LOAD && header.p_offset == 0) return info->dlpi_addr + header.p_vaddr;
    }
    return info->dlpi_addr;
}

int MatchObject(dl_phdr_info* info, size_t, void* data) {
    auto* search = static_cast<ObjectSearch*>(data);
    if (ObjectBase(info) != search->base) return 0;
    search->found = true;
    search->is_main_program = info->dlpi_name == nullptr || info->dlpi_name[0] == '\0';
    if (!search->is_main_program) search->path = info->dlpi_name;
    return 1;
}

std::string ProgramPath() {
    char buffer[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", buffer, sizeof(buffer));
    if (length <= 0) return {};
    return std::string(buffer, static_cast<size_t>(length));
}

// The path of the module whose handle is `module` (nullptr: the program); empty when unknown.
std::string ModulePath(HMODULE module) {
    if (module == nullptr) return ProgramPath();
    ObjectSearch search{reinterpret_cast<uintptr_t>(module), false, false, {}};
    dl_iterate_phdr(MatchObject, &search);
    if (!search.found) return {};
    if (search.is_main_program) return ProgramPath();
    if (!search.path.empty() && search.path[0] != '/') {
        // Loaded through a relative path: report where it really is.
        if (char* absolute = realpath(search.path.c_str(), nullptr)) {
            search.path = absolute;
            std::free(absolute);
        }
    }
    return search.path;
}

}  // namespace

// *pcbBuffer: the buffer's size in, the characters written with the terminator out; when the
// buffer is too small, the size needed (terminator included).
KELM_WINAPI_EXPORT BOOL WINAPI GetUserNameA(LPSTR lpBuffer, LPDWORD pcbBuffer) {
    if (pcbBuffer == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::string name = CurrentUserName();
    DWORD needed = static_cast<DWORD>(name.size() + 1);
    if (lpBuffer == nullptr || *pcbBuffer < needed) {
        *pcbBuffer = needed;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(lpBuffer, name.c_str(), needed);
    *pcbBuffer = needed;
    return TRUE;
}

// Reports Windows 7 SP1 (6.1.7601), the NT platform the provider was built for. The extended
// record (156 bytes) is accepted and its extra fields zeroed.
KELM_WINAPI_EXPORT BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA lpVersionInformation) {
    constexpr DWORD kExtendedSize = sizeof(OSVERSIONINFOA) + 8;
    if (lpVersionInformation == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD size = lpVersionInformation->dwOSVersionInfoSize;
    if (size != sizeof(OSVERSIONINFOA) && size != kExtendedSize) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    lpVersionInformation->dwMajorVersion = 6;
    lpVersionInformation->dwMinorVersion = 1;
    lpVersionInformation->dwBuildNumber = 7601;
    lpVersionInformation->dwPlatformId = VER_PLATFORM_WIN32_NT;
    std::memset(lpVersionInformation->szCSDVersion, 0, sizeof(lpVersionInformation->szCSDVersion));
    std::strcpy(lpVersionInformation->szCSDVersion, "Service Pack 1");
    if (size == kExtendedSize) std::memset(lpVersionInformation + 1, 0, 8);
    return TRUE;
}

// zh_TW, zh_CN and zh_HK (any encoding or modifier, "zh-TW" too) give the Chinese language ids;
// every other locale, and none, gives US English.
KELM_WINAPI_EXPORT LANGID WINAPI GetSystemDefaultLangID(void) {
    std::string_view locale = MessagesLocale();
    locale = locale.substr(0, locale.find_first_of(".@"));
    if (locale.size() != 5 || !EqualsIgnoreCase(locale.substr(0, 2), "zh") || (locale[2] != '_' && locale[2] != '-')) {
        return LANG_ID_ENGLISH_US;
    }
    std::string_view territory = locale.substr(3);
    if (EqualsIgnoreCase(territory, "TW")) return LANG_ID_CHINESE_TRADITIONAL;
    if (EqualsIgnoreCase(territory, "CN")) return LANG_ID_CHINESE_SIMPLIFIED;
    if (EqualsIgnoreCase(territory, "HK")) return LANG_ID_CHINESE_HONGKONG;
    return LANG_ID_ENGLISH_US;
}

// Returns the length copied without the terminator. A path that does not fit is cut and
// terminated, and the result is nSize with ERROR_INSUFFICIENT_BUFFER.
KELM_WINAPI_EXPORT DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
    if (lpFilename == nullptr && nSize != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::string path = ModulePath(hModule);
    if (path.empty()) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    if (nSize == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    size_t copied = CopyTruncated(path, lpFilename, nSize);
    if (copied < path.size()) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return nSize;
    }
    return static_cast<DWORD>(copied);
}
