// What the Windows test programs share: failed checks counted and printed, and two formatters.
#include <cstdio>

#include "wine_test.h"

namespace kelm::wine_test {
namespace {
int g_failures = 0;
}

bool Check(bool ok, const std::string& what) {
    if (!ok) {
        ++g_failures;
        std::printf("FAILED: %s\n", what.c_str());
        std::fflush(stdout);
    }
    return ok;
}

int Failures() { return g_failures; }

std::string Hex(DWORD value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(value));
    return text;
}

std::string Utf8(const std::wstring& text) {
    char bytes[1024] = {};
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, bytes, sizeof bytes - 1, nullptr, nullptr);
    return bytes;
}

}  // namespace kelm::wine_test
