// kelm-certprop: puts the certificates of the card's keys in the current user's "My" store with
// the key provider information that lets crypt32 (and so Outlook, Word, a browser, signtool)
// find each key on the card. Run again, it adds nothing twice; --remove takes out what it added.
// One line a certificate on standard output; errors on standard error.
//
// Exit status: 0 every certificate of the card is in the store (or there is none), 1 something
// could not be done (no card, no provider, a certificate skipped, the store refused a change),
// 2 a wrong command line.
#include <windows.h>

#include <cstring>
#include <cwchar>
#include <string>

#include "card_certificates.h"
#include "user_store.h"

namespace kelm::certprop {
namespace {

constexpr int kDone = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

constexpr char kHelp[] =
    "usage: kelm-certprop [--remove] [--pause]\n"
    "\n"
    "Puts the certificates of the card's keys in your certificate store (\"My\"), each with the\n"
    "key provider information (container, \"KELM CSP V5\") from which Windows finds its key on\n"
    "the card. Certificates already there are left as they are.\n"
    "\n"
    "  --remove   take out the certificates kelm-certprop added (the card is not needed)\n"
    "  --pause    wait for Enter before ending (the Start menu entry uses it)\n";

// Text on a console is written as UTF-16, so that any name shows; into a file or a pipe as UTF-8.
void Write(DWORD which, const std::wstring& line) {
    HANDLE out = GetStdHandle(which);
    if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
    const std::wstring text = line + L"\r\n";
    DWORD mode = 0;
    DWORD written = 0;
    if (GetConsoleMode(out, &mode)) {
        WriteConsoleW(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
    const int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), length, nullptr, nullptr);
    WriteFile(out, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

void Print(const std::wstring& line) { Write(STD_OUTPUT_HANDLE, line); }
void PrintError(const std::wstring& line) { Write(STD_ERROR_HANDLE, L"kelm-certprop: " + line); }

// The system's text for the code where it has one, and always the code.
std::wstring ErrorText(DWORD code) {
    wchar_t hex[16] = {};
    std::swprintf(hex, std::size(hex), L"0x%08lX", static_cast<unsigned long>(code));
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring described;
    if (length > 0 && text != nullptr) {
        described.assign(text, length);
        while (!described.empty() && (described.back() == L'\n' || described.back() == L'\r' || described.back() == L' ' ||
                                      described.back() == L'.'))
            described.pop_back();
    }
    if (text != nullptr) LocalFree(text);
    return described.empty() ? L"error " + std::wstring(hex) : described + L", " + hex;
}

std::wstring KeyName(const std::wstring& container, DWORD key_spec) {
    const wchar_t* kind = key_spec == AT_SIGNATURE ? L" (signature key)" : key_spec == AT_KEYEXCHANGE ? L" (exchange key)" : L"";
    return L"container \"" + container + L"\"" + kind;
}

std::wstring CertificateLine(const wchar_t* what, const StoreResult& result, const std::wstring& container) {
    return std::wstring(what) + L": " + result.subject + L", expires " + result.expiry + L", " +
           KeyName(container, result.key_spec);
}

std::wstring CardFailure(DWORD error) {
    switch (error) {
    case static_cast<DWORD>(NTE_KEYSET_NOT_DEF):
    case static_cast<DWORD>(NTE_PROV_TYPE_NOT_DEF):
    case static_cast<DWORD>(NTE_PROV_DLL_NOT_FOUND):
    case static_cast<DWORD>(NTE_PROVIDER_DLL_FAIL):
        return L"the provider \"KELM CSP V5\" is not installed or cannot be loaded (" + ErrorText(error) +
               L"): install KelmKSPv5.msi again";
    case ERROR_INVALID_FUNCTION:  // the provider's answer when no reader holds its card
    case static_cast<DWORD>(SCARD_E_NO_SMARTCARD):
    case static_cast<DWORD>(SCARD_W_REMOVED_CARD):
    case static_cast<DWORD>(SCARD_E_NO_READERS_AVAILABLE):
    case static_cast<DWORD>(SCARD_E_READER_UNAVAILABLE):
    case static_cast<DWORD>(SCARD_E_NO_SERVICE):
        return L"no card found: insert the card into the reader and run kelm-certprop again (" + ErrorText(error) + L")";
    default:
        return L"the card could not be read through \"KELM CSP V5\" (" + ErrorText(error) + L")";
    }
}

int CopyToStore() {
    const CardReading card = ReadCardCertificates();
    if (card.error != 0) {
        PrintError(CardFailure(card.error));
        return kFailed;
    }
    if (card.certificates.empty()) {
        Print(L"No certificates on the card: nothing to add.");
        return kDone;
    }
    UserStore store;
    if (!store.IsOpen()) {
        PrintError(L"your certificate store \"My\" cannot be opened (" + ErrorText(store.OpenError()) + L")");
        return kFailed;
    }
    int status = kDone;
    for (const CardCertificate& certificate : card.certificates) {
        const std::wstring container = Widen(certificate.container);
        if (certificate.error != 0) {
            Print(L"skipped: " + KeyName(container, certificate.key_spec) + L": " +
                  (certificate.key_spec == 0 ? L"it cannot be opened (" : L"its certificate cannot be read (") +
                  ErrorText(certificate.error) + L")");
            status = kFailed;
            continue;
        }
        const StoreResult result = store.Put(certificate);
        switch (result.outcome) {
        case Outcome::Added: Print(CertificateLine(L"added", result, container)); break;
        case Outcome::AlreadyThere: Print(CertificateLine(L"already in the store", result, container)); break;
        case Outcome::Linked: Print(CertificateLine(L"key information set", result, container)); break;
        case Outcome::Unreadable:
            Print(L"skipped: " + KeyName(container, certificate.key_spec) + L": the certificate on the card does not parse (" +
                  ErrorText(result.error) + L")");
            status = kFailed;
            break;
        case Outcome::Refused:
        case Outcome::Removed:
            Print(CertificateLine(L"not added", result, container) + L": the store refused the change (" +
                  ErrorText(result.error) + L")");
            status = kFailed;
            break;
        }
    }
    return status;
}

int RemoveFromStore() {
    UserStore store;
    if (!store.IsOpen()) {
        PrintError(L"your certificate store \"My\" cannot be opened (" + ErrorText(store.OpenError()) + L")");
        return kFailed;
    }
    int failures = 0;
    const std::vector<StoreResult> results = store.RemoveAdded(&failures);
    if (results.empty()) Print(L"No certificates added by kelm-certprop in the store: nothing to remove.");
    for (const StoreResult& result : results) {
        if (result.outcome == Outcome::Removed) {
            Print(CertificateLine(L"removed", result, result.container));
        } else {
            Print(CertificateLine(L"not removed", result, result.container) + L": the store refused the change (" +
                  ErrorText(result.error) + L")");
        }
    }
    return failures == 0 ? kDone : kFailed;
}

// Only on a console: from a pipe or a file there is nobody to press Enter.
void WaitForEnter() {
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (in == nullptr || in == INVALID_HANDLE_VALUE || !GetConsoleMode(in, &mode)) return;
    Print(L"Press Enter to close this window.");
    wchar_t line[64];
    DWORD read = 0;
    ReadConsoleW(in, line, static_cast<DWORD>(std::size(line)), &read, nullptr);
}

}  // namespace
}  // namespace kelm::certprop

int main(int argc, char** argv) {
    using namespace kelm::certprop;
    bool remove = false;
    bool pause = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--remove") == 0) {
            remove = true;
        } else if (std::strcmp(argv[i], "--pause") == 0) {
            pause = true;
        } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "/?") == 0) {
            Print(Widen(std::string(kHelp, std::strlen(kHelp) - 1)));
            return kDone;
        } else {
            PrintError(L"unknown option '" + Widen(argv[i]) + L"' (see kelm-certprop --help)");
            return kUsage;
        }
    }
    const int status = remove ? RemoveFromStore() : CopyToStore();
    if (pause) WaitForEnter();
    return status;
}
