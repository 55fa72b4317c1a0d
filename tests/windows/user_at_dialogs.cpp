// The user at the provider's dialogs: a second thread finds the dialog the provider shows
// (modal, on the thread that called it), reads what it says, types the PIN into the PIN box
// key by key and presses a button, as a person would. Every wait is bounded.
#include <chrono>

#include "wine_test.h"

namespace kelm::wine_test {
namespace {

constexpr auto kDialogWait = std::chrono::seconds(30);
constexpr UINT kMessageWaitMs = 5000;
constexpr int kPinEditId = 1017;

std::wstring TextOf(HWND window) {
    wchar_t text[512] = {};
    DWORD_PTR length = 0;
    SendMessageTimeoutW(window, WM_GETTEXT, std::size(text), reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG,
                        kMessageWaitMs, &length);
    return text;
}

// A visible dialog box of this process (the class of dialogs and message boxes), or null.
HWND FindDialog() {
    struct Search {
        HWND found = nullptr;
    } search;
    EnumWindows(
        [](HWND window, LPARAM context) -> BOOL {
            DWORD process = 0;
            GetWindowThreadProcessId(window, &process);
            wchar_t window_class[16] = {};
            GetClassNameW(window, window_class, std::size(window_class));
            if (process != GetCurrentProcessId() || !IsWindowVisible(window) || wcscmp(window_class, L"#32770") != 0)
                return TRUE;
            reinterpret_cast<Search*>(context)->found = window;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

void Press(HWND dialog, int button) {
    SendMessageTimeoutW(GetDlgItem(dialog, button), BM_CLICK, 0, 0, SMTO_ABORTIFHUNG, kMessageWaitMs, nullptr);
}

// Types `pin` into the PIN box one key at a time, then waits until the box holds it all.
bool Type(HWND dialog, const std::string& pin) {
    HWND edit = GetDlgItem(dialog, kPinEditId);
    if (edit == nullptr) return false;
    for (char key : pin) PostMessageW(edit, WM_CHAR, static_cast<WPARAM>(key), 0);
    for (int tries = 0; tries < 250; ++tries) {
        DWORD_PTR length = 0;
        SendMessageTimeoutW(edit, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, kMessageWaitMs, &length);
        if (length == pin.size()) return true;
        Sleep(20);
    }
    return false;
}

}  // namespace

bool SeenDialog::HasText(const std::string& text) const {
    for (const std::string& seen : texts) {
        if (seen == text) return true;
    }
    return false;
}

User::User(UserAction action) : action_(std::move(action)), thread_([this] { Watch(); }) {}

User::~User() {
    Seen();
    if (action_.required) Check(acted_, "the provider showed the expected dialog");
}

const SeenDialog& User::Seen() {
    if (thread_.joinable()) {
        if (!action_.required) stop_ = true;  // the call that could have asked has returned
        thread_.join();
    }
    return seen_;
}

void User::Watch() {
    const auto deadline = std::chrono::steady_clock::now() + kDialogWait;
    HWND dialog = nullptr;
    while (dialog == nullptr && !stop_ && std::chrono::steady_clock::now() < deadline) {
        Sleep(20);
        dialog = FindDialog();
    }
    if (dialog == nullptr) return;
    seen_.title = Utf8(TextOf(dialog));
    EnumChildWindows(
        dialog,
        [](HWND child, LPARAM context) -> BOOL {
            reinterpret_cast<SeenDialog*>(context)->texts.push_back(Utf8(TextOf(child)));
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&seen_));
    if (!action_.pin.empty()) {
        Check(Type(dialog, action_.pin), "the PIN box takes the typed PIN");
        Press(dialog, IDOK);
    } else {
        Press(dialog, action_.button);
    }
    acted_ = true;
}

}  // namespace kelm::wine_test
