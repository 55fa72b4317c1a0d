// kelm_install_test PART [ARG...]: the Windows side of the installer's test (install_test.sh),
// run in a prefix where only KelmKSPv5.msi registered the provider.
//   installed                the provider reached through advapi32 alone, loaded from the system folder
//   enrol CONTAINER FILE     a container and a signature key pair made on the card, the user typing
//                            the PIN; the key's PUBLICKEYBLOB written to FILE for the CA
//   certify CONTAINER FILE   the CA's certificate (DER, in FILE) written to the card for that key
//   refusing-store COMMAND   COMMAND run while the current user's "My" store refuses to keep certificates;
//                            the exit status is COMMAND's
// The exit status is 0 only when every check held (refusing-store: COMMAND's).
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "wine_test.h"

namespace kelm::wine_test {
namespace {

using Bytes = std::vector<BYTE>;

std::string Error() { return ", error " + Hex(GetLastError()); }

bool Acquire(HCRYPTPROV* prov, const char* container, DWORD flags) {
    return CryptAcquireContextA(prov, container, kProviderName, PROV_RSA_FULL, flags) != FALSE;
}

void CheckInstalled() {
    HCRYPTPROV prov = 0;
    const bool acquired = Acquire(&prov, nullptr, CRYPT_VERIFYCONTEXT | CRYPT_SILENT);
    if (!Check(acquired, "CryptAcquireContextA reaches the installed provider" + Error())) return;
    char name[64] = {};
    DWORD length = sizeof name - 1;
    Check(CryptGetProvParam(prov, PP_NAME, reinterpret_cast<BYTE*>(name), &length, 0) && std::strcmp(name, kProviderName) == 0,
          std::string("PP_NAME ") + name);
    char loaded[MAX_PATH] = {};
    char expected[MAX_PATH] = {};
    GetModuleFileNameA(GetModuleHandleA("KelmKSPv5.dll"), loaded, sizeof loaded);
    GetSystemDirectoryA(expected, sizeof expected);
    Check(lstrcmpiA(loaded, (std::string(expected) + "\\KelmKSPv5.dll").c_str()) == 0,
          std::string("the DLL comes from the system folder: ") + loaded);
    CryptReleaseContext(prov, 0);
}

void Enrol(const char* container, const char* file) {
    HCRYPTPROV prov = 0;
    {
        User user({kPin});
        const bool created = Acquire(&prov, container, CRYPT_NEWKEYSET);
        if (!Check(created, "create the container" + Error())) return;
    }
    HCRYPTKEY key = 0;
    {
        User user({kPin, IDOK, false});
        const bool generated = CryptGenKey(prov, AT_SIGNATURE, 0, &key);
        Check(generated, "generate the signature key pair" + Error());
    }
    DWORD length = 0;
    CryptExportKey(key, 0, PUBLICKEYBLOB, 0, nullptr, &length);
    Bytes blob(length);
    const bool exported = length != 0 && CryptExportKey(key, 0, PUBLICKEYBLOB, 0, blob.data(), &length);
    Check(exported, "export the public key" + Error());
    FILE* out = std::fopen(file, "wb");
    Check(out != nullptr && std::fwrite(blob.data(), 1, length, out) == length, std::string("write ") + file);
    if (out != nullptr) std::fclose(out);
    CryptDestroyKey(key);
    CryptReleaseContext(prov, 0);
}

void Certify(const char* container, const char* file) {
    Bytes der(8192);
    FILE* in = std::fopen(file, "rb");
    der.resize(in != nullptr ? std::fread(der.data(), 1, der.size(), in) : 0);
    if (in != nullptr) std::fclose(in);
    HCRYPTPROV prov = 0;
    HCRYPTKEY key = 0;
    const bool opened = !der.empty() && Acquire(&prov, container, 0) && CryptGetUserKey(prov, AT_SIGNATURE, &key);
    if (!Check(opened, std::string("open the key to certify with ") + file + Error())) return;
    {
        User user({kPin, IDOK, false});
        const bool written = CryptSetKeyParam(key, KP_CERTIFICATE, der.data(), 0);
        Check(written, "write the certificate to the card" + Error());
    }
    CryptDestroyKey(key);
    CryptReleaseContext(prov, 0);
}

// Runs `command` while the current user's "My" store refuses to keep certificates: the key
// that holds them is made volatile, under which no lasting key may be created. The store's
// certificates are dropped first (this prefix is the test's own) and the key made ordinary
// again afterwards. Answers the command's exit status.
int WithStoreRefusing(const char* command) {
    const char* const kCertificates = "Software\\Microsoft\\SystemCertificates\\My\\Certificates";
    HKEY key = nullptr;
    RegDeleteTreeA(HKEY_CURRENT_USER, kCertificates);
    const bool refusing = RegCreateKeyExA(HKEY_CURRENT_USER, kCertificates, 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS,
                                          nullptr, &key, nullptr) == ERROR_SUCCESS;
    if (key != nullptr) RegCloseKey(key);
    DWORD status = 255;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    std::string line = command;
    if (Check(refusing, "make the store refuse") &&
        Check(CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process),
              std::string("run ") + command)) {
        WaitForSingleObject(process.hProcess, INFINITE);
        GetExitCodeProcess(process.hProcess, &status);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    Check(RegDeleteTreeA(HKEY_CURRENT_USER, kCertificates) == ERROR_SUCCESS, "let the store keep certificates again");
    return static_cast<int>(status);
}

}  // namespace
}  // namespace kelm::wine_test

int main(int argc, char** argv) {
    using namespace kelm::wine_test;
    const std::string part = argc > 1 ? argv[1] : "";
    if (part == "installed" && argc == 2) {
        CheckInstalled();
    } else if (part == "enrol" && argc == 4) {
        Enrol(argv[2], argv[3]);
    } else if (part == "certify" && argc == 4) {
        Certify(argv[2], argv[3]);
    } else if (part == "refusing-store" && argc == 3) {
        const int status = WithStoreRefusing(argv[2]);
        return Failures() == 0 ? status : 255;
    } else {
        std::fprintf(stderr, "usage: kelm_install_test installed | enrol|certify CONTAINER FILE | refusing-store COMMAND\n");
        return 2;
    }
    std::printf("%s: %d failed check(s)\n", part.c_str(), Failures());
    return Failures() == 0 ? 0 : 1;
}
