// The Windows test program run under Wine: shared checks and the parts it is made of.
#pragma once

#include <windows.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace kelm::wine_test {

inline constexpr char kProviderName[] = "KELM CSP V5";
inline constexpr char kPin[] = "12345678";  // the simulated card's

// Records a failed expectation (printed at once); the program's exit status reports them all.
bool Check(bool ok, const std::string& what);
int Failures();

std::string Hex(DWORD value);
std::string Utf8(const std::wstring& text);

// Each part of the test takes the path of the DLL under test.
void CheckResources(const char* dll);          // resource section against the resource description
void CheckProviderDirect(const char* dll);     // entry points called directly, no card in the reader
void CheckKeysRouter(const char* dll);         // through advapi32's router: containers, every entry point,
                                               // and the key storage table on card keys
void CheckPkcs11Module(const char* dll);       // kelm-pkcs11.dll: a key pair made and used, Wine verifying

// Registers the DLL under the provider's name for advapi32's router.
bool RegisterProvider(const char* dll);

// The user at the provider's dialogs and message boxes, played from a second thread.
struct SeenDialog {
    std::string title;
    std::vector<std::string> texts;  // the child windows' texts, in order
    bool HasText(const std::string& text) const;
};

struct UserAction {
    std::string pin;      // typed into the PIN box, then OK; empty: press `button`
    int button = IDOK;
    bool required = true;  // false: the dialog may not come (a recent PIN of the thread)
};

class User {
public:
    // Starts waiting for the next dialog of this process (at most 30 seconds).
    explicit User(UserAction action);
    // Stops waiting; reports a required dialog that never came.
    ~User();
    User(const User&) = delete;
    User& operator=(const User&) = delete;
    // Waits until the user has acted or given up, and tells what the dialog showed.
    const SeenDialog& Seen();

private:
    void Watch();
    UserAction action_;
    SeenDialog seen_;
    bool acted_ = false;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace kelm::wine_test
