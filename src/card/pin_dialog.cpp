// Obtaining the PIN: the PIN-pad reader, the calling thread's recent PIN, or the PIN dialog;
// and the procedures of the PIN dialog and the retry dialog.
#include <cstring>

#include "card/apdu_transport.h"
#include "card/pin_verify.h"
#include "card/reader_session.h"
#include "crypto/secure_zero.h"
#include "kelm/csp.h"
#include "kelm/winapi.h"
#include "platform/process/trace.h"
#include "resources/resources.h"

namespace kelm::card {
namespace {

void MakeTopmost(HWND dialog) {
    SetWindowPos(dialog, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOMOVE | SWP_SHOWWINDOW);
}

}  // namespace

int CheckPin(DWORD kind) {
    platform::Trace("begin DoCheckDialog()");
    ClearVerifyStatus();
    LoadLocalizedStrings();

    // Each VERIFY below holds the card conversation; the boxes and the dialog do not, so that
    // other threads' card work goes on while the user reads or types.
    while (PinPadInUse()) {
        MessageBoxA(nullptr, LocalizedText(resources::IDS_PINPAD_PROMPT), LocalizedText(resources::IDS_PIN_TITLE),
                    MB_OK);
        const DWORD status = VerifyWithPinPad();
        if (status == STATUS_CLASS_NOT_SUPPORTED) {
            platform::Trace("DoCheckDialog() PIN pad not supported");
            break;
        }
        return Card_StatusSucceeded(status) ? PIN_CHECK_OK : static_cast<int>(status);
    }

    DWORD status = 0;
    if (VerifyWithRecentPin(&status)) {
        platform::Trace("DoCheckDialog() recent PIN");
        return Card_StatusSucceeded(status) ? PIN_CHECK_OK : static_cast<int>(status);
    }

    HWND owner = GetForegroundWindow();
    HINSTANCE module = resources::ModuleHandle();
    INT_PTR result = kind == 0
                         ? DialogBoxParamA(module, MAKEINTRESOURCEA(resources::IDD_PIN), owner, PinDialogProc, 0)
                         : DialogBoxParamA(module, MAKEINTRESOURCEA(resources::IDD_RETRY), owner, ReaderPinDialogProc, 0);
    return static_cast<int>(result);
}

INT_PTR CALLBACK PinDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM /*lParam*/) {
    switch (message) {
    case WM_INITDIALOG:
        SetWindowTextA(dialog, LocalizedText(resources::IDS_PIN_TITLE));
        SetDlgItemTextA(dialog, resources::IDC_PIN_LABEL, LocalizedText(resources::IDS_PIN_LABEL));
        SetDlgItemTextA(dialog, IDOK, LocalizedText(resources::IDS_OK));
        SetDlgItemTextA(dialog, IDCANCEL, LocalizedText(resources::IDS_CANCEL));
        SendMessageA(GetDlgItem(dialog, resources::IDC_PIN_EDIT), EM_LIMITTEXT, kPinMaxLength, 0);
        ShowWindow(dialog, SW_SHOW);
        MakeTopmost(dialog);
        return TRUE;
    case WM_PAINT:
    case WM_SHOWWINDOW:
    case WM_MOVING:
        MakeTopmost(dialog);
        SetFocus(dialog);
        return FALSE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK) {
            char typed[kPinBufferSize] = {};
            GetDlgItemTextA(dialog, resources::IDC_PIN_EDIT, typed, static_cast<int>(sizeof typed));
            typed[kPinMaxLength] = '\0';
            EndDialog(dialog, IDOK);
            VerifyTypedPin(typed);
            crypto::SecureZero(typed, sizeof typed);
            return TRUE;
        }
        if (LOWORD(wParam) == IDCANCEL) {
            SetLastError(static_cast<DWORD>(SCARD_W_CANCELLED_BY_USER));
            EndDialog(dialog, IDCANCEL);
            return TRUE;
        }
        return FALSE;
    default:
        return FALSE;
    }
}

INT_PTR CALLBACK ReaderPinDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM /*lParam*/) {
    switch (message) {
    case WM_INITDIALOG:
        SetDlgItemTextA(dialog, resources::IDC_RETRY_NOTE, "");
        return TRUE;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDOK:
            EndDialog(dialog, PIN_CHECK_OK);
            break;
        case IDCANCEL:
            EndDialog(dialog, PIN_CHECK_CANCELLED);
            break;
        default:
            EndDialog(dialog, PIN_CHECK_RETYPE);
            break;
        }
        return TRUE;
    default:
        return FALSE;
    }
}

}  // namespace kelm::card

int WINAPI DoCheckDialog(DWORD kind) { return kelm::card::CheckPin(kind); }
