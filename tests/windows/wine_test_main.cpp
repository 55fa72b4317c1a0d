// kelm_wine_test PART DLL: one part of the Windows test against the DLL at DLL (a Windows path).
// Prints each failed check; the exit status is 0 only when every check of the part held.
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

int main(int argc, char** argv) {
    using namespace kelm::wine_test;
    const struct {
        const char* name;
        void (*run)(const char*);
    } parts[] = {
        {"resources", CheckResources},
        {"direct", CheckProviderDirect},
        {"router", CheckProviderRouter},
        {"no-card", CheckProviderWithoutCard},
        {"keys", CheckKeysRouter},
    };
    for (const auto& part : parts) {
        if (argc == 3 && std::strcmp(argv[1], part.name) == 0) {
            // Every run starts from a fresh simulated card: the double makes one where none is.
            if (const char* image = std::getenv("KELM_SIM_IMAGE"); image != nullptr && *image != '\0') DeleteFileA(image);
            part.run(argv[2]);
            std::printf("%s: %d failed check(s)\n", part.name, Failures());
            return Failures() == 0 ? 0 : 1;
        }
    }
    std::fprintf(stderr, "usage: kelm_wine_test resources|direct|router|no-card|keys DLL\n");
    return 2;
}
