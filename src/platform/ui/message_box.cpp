// MessageBoxA: the box is shown to the current responder, whose answer must be one of the
// box's buttons; any other answer is taken as the box being dismissed (its unattended answer),
// so that a caller never sees IDYES from an OK box.
#include <algorithm>
#include <memory>
#include <vector>

#include "kelm/winapi.h"
#include "platform/ui/ui_responders.h"

namespace kelm::platform {
namespace {

constexpr UINT kCancelTryContinue = 0x00000006;
constexpr UINT kDefaultButtonMask = 0x00000F00;
constexpr UINT kDefaultButton2 = 0x00000100;
constexpr UINT kDefaultButton3 = 0x00000200;
constexpr int kTryAgain = 10;
constexpr int kContinue = 11;

}  // namespace

std::vector<int> MessageBoxButtons(UINT type) {
    switch (type & MB_TYPEMASK) {
        case MB_OK: return {IDOK};
        case MB_OKCANCEL: return {IDOK, IDCANCEL};
        case MB_ABORTRETRYIGNORE: return {IDABORT, IDRETRY, IDIGNORE};
        case MB_YESNOCANCEL: return {IDYES, IDNO, IDCANCEL};
        case MB_YESNO: return {IDYES, IDNO};
        case MB_RETRYCANCEL: return {IDRETRY, IDCANCEL};
        case kCancelTryContinue: return {IDCANCEL, kTryAgain, kContinue};
        default: return {};
    }
}

int DefaultMessageBoxButton(UINT type) {
    std::vector<int> buttons = MessageBoxButtons(type);
    if (buttons.empty()) return IDOK;
    size_t index = 0;
    if ((type & kDefaultButtonMask) == kDefaultButton2) index = 1;
    if ((type & kDefaultButtonMask) == kDefaultButton3) index = 2;
    return buttons[std::min(index, buttons.size() - 1)];
}

const char* ButtonName(int id) {
    switch (id) {
        case IDOK: return "OK";
        case IDCANCEL: return "Cancel";
        case IDABORT: return "Abort";
        case IDRETRY: return "Retry";
        case IDIGNORE: return "Ignore";
        case IDYES: return "Yes";
        case IDNO: return "No";
        case kTryAgain: return "Try Again";
        case kContinue: return "Continue";
        default: return "?";
    }
}

int UnattendedAnswer(UINT type) {
    switch (type & MB_TYPEMASK) {
        case MB_OK: return IDOK;
        case MB_YESNO: return IDNO;
        case MB_ABORTRETRYIGNORE: return IDABORT;
        default: return IDCANCEL;  // MB_OKCANCEL, MB_YESNOCANCEL, MB_RETRYCANCEL, cancel/try/continue
    }
}

}  // namespace kelm::platform

// A null caption is shown as "Error", a null text as an empty one. An owner window that is
// neither null nor a live emulated window fails with ERROR_INVALID_WINDOW_HANDLE (result 0);
// so does an unknown box type, with ERROR_INVALID_PARAMETER.
KELM_WINAPI_EXPORT int WINAPI MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType) {
    if (hWnd != nullptr && !kelm::platform::IsEmulatedWindow(hWnd)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    std::vector<int> buttons = kelm::platform::MessageBoxButtons(uType);
    if (buttons.empty()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    kelm::platform::MessageBoxShown box{lpCaption != nullptr ? lpCaption : "Error", lpText != nullptr ? lpText : "",
                                        uType};
    std::unique_ptr<kelm::platform::UiResponder> owned;
    int answer = kelm::platform::ActiveResponder(owned).MessageBox(box);
    if (std::find(buttons.begin(), buttons.end(), answer) == buttons.end()) {
        answer = kelm::platform::UnattendedAnswer(uType);
    }
    return answer;
}
