#include "ksp/ksp_text.h"

#include <cstring>

#include "kelm/winapi.h"

namespace kelm::ksp {
namespace {

// The conversion buffer of a key name, and the longest name it takes.
constexpr size_t kKeyNameBytes = 260;

}  // namespace

size_t BoundedLength(LPCWSTR text, size_t bound) {
    size_t length = 0;
    while (length < bound && text[length] != 0) ++length;
    return length;
}

bool SameText(LPCWSTR text, LPCWSTR expected) {
    if (text == nullptr || expected == nullptr) return false;
    for (size_t i = 0;; ++i) {
        if (text[i] != expected[i]) return false;
        if (expected[i] == 0) return true;
    }
}

bool KeyNameToContainerName(LPCWSTR key_name, char (&container)[core::kContainerNameEntry]) {
    std::memset(container, 0, sizeof container);
    if (key_name == nullptr) return true;
    const size_t units = BoundedLength(key_name, kKeyNameBytes);
    if (units >= kKeyNameBytes) return false;
    char converted[kKeyNameBytes] = {};
    if (units > 0 && WideCharToMultiByte(CP_ACP, 0, key_name, static_cast<int>(units), converted,
                                         static_cast<int>(sizeof converted - 1), nullptr, nullptr) <= 0) {
        return false;
    }
    std::memcpy(container, converted, strnlen(converted, core::kContainerNameMax));
    return true;
}

bool ContainerNameToWide(const char* name, WCHAR* out, size_t units) {
    std::memset(out, 0, units * sizeof(WCHAR));
    const size_t bytes = strnlen(name, core::kContainerNameMax);
    if (bytes == 0) return true;
    const int converted = MultiByteToWideChar(CP_ACP, 0, name, static_cast<int>(bytes), out, static_cast<int>(units - 1));
    if (converted > 0) return true;
    std::memset(out, 0, units * sizeof(WCHAR));
    return false;
}

}  // namespace kelm::ksp
