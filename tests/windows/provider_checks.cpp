// The provider's entry points called after LoadLibrary where no router call reaches them: the box
// asking for a card (no card in the reader) and DoCheckDialog; and its registration for
// advapi32's CryptoAPI router.
#include <windows.h>
#include <wincrypt.h>

#include <cstring>

#include "kelm/csp.h"
#include "wine_test.h"

namespace kelm::wine_test {
namespace {

template <typename Function>
Function Entry(HMODULE module, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

}  // namespace

// No card in the reader: the provider's error, with and without its message box; and the retry
// dialog on its own.
void CheckProviderDirect(const char* dll) {
    HMODULE module = LoadLibraryA(dll);
    const auto acquire = Entry<PFN_CPAcquireContext>(module, "CPAcquireContext");
    const auto check_dialog = Entry<PFN_DoCheckDialog>(module, "DoCheckDialog");
    if (!Check(acquire != nullptr && check_dialog != nullptr, std::string("LoadLibrary ") + dll + ", error " + Hex(GetLastError()))) {
        return;
    }
    VTableProvStruc table{};
    table.Version = 3;
    table.dwProvType = PROV_RSA_FULL;
    table.pszProvName = const_cast<char*>(kProviderName);
    HCRYPTPROV prov = 0;
    BOOL ok = acquire(&prov, nullptr, CRYPT_VERIFYCONTEXT | CRYPT_SILENT, &table);
    DWORD error = GetLastError();
    Check(!ok && error == ERROR_INVALID_FUNCTION, "silent: no card, no box, error " + Hex(error));
    {
        User user({"", IDCANCEL});
        ok = acquire(&prov, nullptr, CRYPT_VERIFYCONTEXT, &table);
        error = GetLastError();
        Check(!ok && error == ERROR_INVALID_FUNCTION, "no card, the user cancels the box, error " + Hex(error));
        Check(user.Seen().HasText("Be sure IC card has been properly set") && user.Seen().title == kProviderName,
              "the box asks for the card, caption '" + user.Seen().title + "'");
    }
    {
        // "type again" ends the retry dialog with that button's number.
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

}  // namespace kelm::wine_test
