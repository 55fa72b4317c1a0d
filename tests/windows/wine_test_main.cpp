// kelm_wine_test PART DLL: one part of the Windows test against the DLL at DLL (a Windows path).
// Prints each failed check; the exit status is 0 only when every check of the part held.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "wine_test.h"

int main(int argc, char** argv) {
    using namespace kelm::wine_test;
    const struct {
        const char* name;
        void (*run)(const char*);
    } parts[] = {
        {"resources", CheckResources},
        {"direct", CheckProviderDirect},
        {"keys", CheckKeysRouter},
        {"pkcs11", CheckPkcs11Module},
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
    std::fprintf(stderr, "usage: kelm_wine_test resources|direct|keys|pkcs11 DLL\n");
    return 2;
}
