// The provider driven as an application drives it: through its exported entry points after
// LoadLibrary, and through advapi32's CryptoAPI router once the provider is registered. The same
// checks run on both paths; a check whose entry points the DLL does not export yet is skipped
// (the export test makes sure that everything the code defines is exported).
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <cstring>
#include <functional>

#include "kelm/csp.h"
#include "wine_test.h"

namespace kelm::wine_test {
namespace {

constexpr char kUserKeys[] = "Software\\Microsoft\\Cryptography\\UserKeys\\MorvaCSP-";

// The 23 CryptoAPI entry points; advapi32 routes to a provider only when it exports them all.
const char* const kEntryPoints[] = {
    "CPAcquireContext", "CPReleaseContext", "CPGetProvParam",    "CPSetProvParam", "CPGetUserKey",
    "CPGetKeyParam",    "CPSetKeyParam",    "CPDestroyKey",      "CPGenKey",       "CPExportKey",
    "CPImportKey",      "CPCreateHash",     "CPHashData",        "CPHashSessionKey", "CPGetHashParam",
    "CPSetHashParam",   "CPDestroyHash",    "CPEncrypt",         "CPDecrypt",      "CPDeriveKey",
    "CPSignHash",       "CPVerifySignature", "CPGenRandom",
};

// How the checks reach the provider. Operations whose entry points are not exported stay empty.
struct Provider {
    const char* path_name = "";
    std::function<BOOL(HCRYPTPROV*, const char* container, DWORD flags)> acquire;
    std::function<BOOL(HCRYPTPROV)> release;
    std::function<BOOL(HCRYPTPROV, DWORD param, BYTE* data, DWORD* length, DWORD flags)> get_param;
};

template <typename Function>
Function Entry(HMODULE module, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

Provider DirectPath(HMODULE dll) {
    Provider p;
    p.path_name = "direct";
    if (auto acquire = Entry<PFN_CPAcquireContext>(dll, "CPAcquireContext")) {
        p.acquire = [acquire](HCRYPTPROV* prov, const char* container, DWORD flags) {
            VTableProvStruc table{};
            table.Version = 3;
            table.dwProvType = PROV_RSA_FULL;
            table.pszProvName = const_cast<char*>(kProviderName);
            return acquire(prov, container, flags, &table);
        };
    }
    if (auto release = Entry<PFN_CPReleaseContext>(dll, "CPReleaseContext")) {
        p.release = [release](HCRYPTPROV prov) { return release(prov, 0); };
    }
    if (auto get = Entry<PFN_CPGetProvParam>(dll, "CPGetProvParam")) p.get_param = get;
    return p;
}

Provider RouterPath() {
    Provider p;
    p.path_name = "router";
    p.acquire = [](HCRYPTPROV* prov, const char* container, DWORD flags) {
        return CryptAcquireContextA(prov, container, kProviderName, PROV_RSA_FULL, flags);
    };
    p.release = [](HCRYPTPROV prov) { return CryptReleaseContext(prov, 0); };
    p.get_param = CryptGetProvParam;
    return p;
}

std::string Label(const Provider& p, const std::string& what) { return std::string(p.path_name) + ": " + what; }

// Acquires on a thread of its own, which has no recent PIN, and reports the call's last error.
BOOL AcquireOnNewThread(const Provider& p, HCRYPTPROV* prov, const char* container, DWORD flags, DWORD* error) {
    BOOL ok = FALSE;
    std::thread([&] {
        ok = p.acquire(prov, container, flags);
        *error = GetLastError();
    }).join();
    return ok;
}

std::string Param(const Provider& p, HCRYPTPROV prov, DWORD param, DWORD flags = 0) {
    char text[64] = {};
    DWORD length = sizeof text - 1;
    return p.get_param(prov, param, reinterpret_cast<BYTE*>(text), &length, flags) ? text : "(failed " + Hex(GetLastError()) + ")";
}

bool ContainerRegistered(const char* name) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, (std::string(kUserKeys) + name).c_str(), 0, KEY_READ, &key) != 0) return false;
    BYTE seed[64];
    DWORD length = sizeof seed;
    const bool seeded = RegQueryValueExA(key, "RandSeed", nullptr, nullptr, seed, &length) == 0 && length == 20;
    RegCloseKey(key);
    return seeded;
}

// Provider identity and the algorithm table, in the records and sizes a Windows caller reads.
void CheckVerifyContext(const Provider& p) {
    HCRYPTPROV prov = 0;
    if (!Check(p.acquire(&prov, nullptr, CRYPT_VERIFYCONTEXT | CRYPT_SILENT), Label(p, "verify context"))) return;
    Check(Param(p, prov, PP_NAME) == kProviderName, Label(p, "PP_NAME"));
    struct Row {
        ALG_ID id;
        const char* name;
    };
    const Row expected[] = {{CALG_DES, "DES"},       {CALG_3DES_112, "3DES TWO KEY"}, {CALG_3DES, "3DES"},
                            {CALG_SHA1, "SHA1"},     {CALG_SHA_256, "SHA256"},        {CALG_SHA_384, "SHA384"},
                            {CALG_SHA_512, "SHA512"}, {CALG_MD5, "MD5"},              {CALG_RSA_SIGN, "RSA_SIGN"},
                            {CALG_RSA_KEYX, "RSA_KEYX"}};
    size_t row = 0;
    for (DWORD flags = CRYPT_FIRST;; flags = 0, ++row) {
        PROV_ENUMALGS_EX alg{};
        DWORD length = sizeof alg;
        if (!p.get_param(prov, PP_ENUMALGS_EX, reinterpret_cast<BYTE*>(&alg), &length, flags)) {
            Check(GetLastError() == ERROR_NO_MORE_ITEMS, Label(p, "enumeration ends with ERROR_NO_MORE_ITEMS"));
            break;
        }
        if (!Check(row < std::size(expected) && length == sizeof alg, Label(p, "algorithm row " + std::to_string(row))))
            break;
        Check(alg.aiAlgid == expected[row].id && std::strcmp(alg.szName, expected[row].name) == 0,
              Label(p, std::string("algorithm row ") + expected[row].name + ", got " + alg.szName));
    }
    Check(row == std::size(expected), Label(p, "ten algorithm rows, got " + std::to_string(row)));
    Check(p.release(prov), Label(p, "release the verify context"));
}

// A container made, reopened, refused without the PIN and deleted, the user typing the PIN into
// the provider's own dialog.
void CheckContainerLife(const Provider& p) {
    const std::string name = std::string("wine-test-") + p.path_name;  // the two paths may run at once
    const char* kContainer = name.c_str();
    HCRYPTPROV prov = 0;
    {
        User user({kPin});
        const BOOL created = p.acquire(&prov, kContainer, CRYPT_NEWKEYSET);
        Check(created, Label(p, "create a container, error " + Hex(GetLastError())));
        const SeenDialog& dialog = user.Seen();
        Check(dialog.title == "Input the pin code" && dialog.HasText("Password(6-16)") && dialog.HasText("Confirm") &&
                  dialog.HasText("Cancel"),
              Label(p, "the PIN dialog speaks the system's language, title '" + dialog.title + "'"));
    }
    Check(Param(p, prov, PP_CONTAINER) == kContainer, Label(p, "PP_CONTAINER of the new container"));
    Check(ContainerRegistered(kContainer), Label(p, "the container is recorded in the user's registry"));
    Check(p.release(prov), Label(p, "release"));

    Check(p.acquire(&prov, kContainer, 0), Label(p, "open the container"));
    Check(Param(p, prov, PP_ENUMCONTAINERS, CRYPT_FIRST) == kContainer, Label(p, "the card lists the container"));
    Check(p.release(prov), Label(p, "release"));

    {
        User user({"", IDCANCEL});
        DWORD error = 0;
        Check(!AcquireOnNewThread(p, &prov, "wine-cancelled", CRYPT_NEWKEYSET, &error) &&
                  error == static_cast<DWORD>(SCARD_W_CANCELLED_BY_USER),
              Label(p, "a cancelled PIN dialog refuses the new container, error " + Hex(error)));
    }

    {
        User user({kPin, IDOK, false});  // within 30 seconds this thread's PIN is sent again unasked
        Check(p.acquire(&prov, kContainer, CRYPT_DELETEKEYSET) && prov == 0, Label(p, "delete the container"));
    }
    Check(!ContainerRegistered(kContainer), Label(p, "the deleted container leaves the registry"));
    const BOOL opened = p.acquire(&prov, kContainer, 0);
    Check(!opened && GetLastError() == static_cast<DWORD>(NTE_BAD_KEYSET), Label(p, "the deleted container cannot be opened"));
}

void CheckProvider(const Provider& p) {
    if (!Check(p.acquire && p.release && p.get_param, Label(p, "the provider-context entry points are reachable"))) return;
    CheckVerifyContext(p);
    CheckContainerLife(p);
}

HMODULE LoadProvider(const char* dll) {
    HMODULE module = LoadLibraryA(dll);
    Check(module != nullptr, std::string("LoadLibrary ") + dll + ", error " + Hex(GetLastError()));
    return module;
}

}  // namespace

void CheckProviderDirect(const char* dll) {
    HMODULE module = LoadProvider(dll);
    if (module == nullptr) return;
    CheckProvider(DirectPath(module));

    // The retry dialog on its own (on a thread without a recent PIN): "type again" ends it with
    // that button's number.
    if (auto check_dialog = Entry<PFN_DoCheckDialog>(module, "DoCheckDialog")) {
        User user({"", 1019});
        int answer = 0;
        std::thread([&] { answer = check_dialog(1); }).join();
        Check(answer == 1019, "DoCheckDialog(1) answers the retry dialog's 'type again', got " + std::to_string(answer));
        Check(user.Seen().title == "  KELM CSP V5", "the retry dialog's title");
    }
    FreeLibrary(module);
}

bool RegisterProvider(const char* dll) {
    HKEY key = nullptr;
    const DWORD type = PROV_RSA_FULL;
    const bool registered =
        Check(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\KELM CSP V5",
                              0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) == 0 &&
                  RegSetValueExA(key, "Image Path", 0, REG_SZ, reinterpret_cast<const BYTE*>(dll),
                                 static_cast<DWORD>(std::strlen(dll) + 1)) == 0 &&
                  RegSetValueExA(key, "Type", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&type), sizeof type) == 0,
              "register the provider");
    RegCloseKey(key);
    return registered;
}

void CheckProviderRouter(const char* dll) {
    RegisterProvider(dll);
    HMODULE module = LoadProvider(dll);
    if (module == nullptr) return;
    int exported = 0;
    for (const char* name : kEntryPoints) exported += GetProcAddress(module, name) != nullptr ? 1 : 0;
    FreeLibrary(module);

    if (exported < static_cast<int>(std::size(kEntryPoints))) {
        // advapi32 loads a provider only when it finds every entry point in it.
        HCRYPTPROV prov = 0;
        const BOOL routed = CryptAcquireContextA(&prov, nullptr, kProviderName, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT);
        const DWORD error = GetLastError();
        Check(!routed && error == static_cast<DWORD>(NTE_PROVIDER_DLL_FAIL),
              "the router refuses a provider that lacks entry points, error " + Hex(error));
        std::printf("router: %d of 23 entry points exported; the router path waits for the rest\n", exported);
        return;
    }
    CheckProvider(RouterPath());
}

void CheckProviderWithoutCard(const char* dll) {
    HMODULE module = LoadProvider(dll);
    if (module == nullptr) return;
    const Provider p = DirectPath(module);
    HCRYPTPROV prov = 0;
    BOOL ok = p.acquire(&prov, nullptr, CRYPT_VERIFYCONTEXT | CRYPT_SILENT);
    DWORD error = GetLastError();
    Check(!ok && error == ERROR_INVALID_FUNCTION, "silent: no card, no box, error " + Hex(error));
    {
        User user({"", IDCANCEL});
        ok = p.acquire(&prov, nullptr, CRYPT_VERIFYCONTEXT);
        error = GetLastError();
        Check(!ok && error == ERROR_INVALID_FUNCTION, "no card, the user cancels the box, error " + Hex(error));
        Check(user.Seen().HasText("Be sure IC card has been properly set") && user.Seen().title == kProviderName,
              "the box asks for the card, caption '" + user.Seen().title + "'");
    }
    FreeLibrary(module);
}

}  // namespace kelm::wine_test
