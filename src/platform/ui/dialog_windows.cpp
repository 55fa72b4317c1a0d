// The table of emulated dialog windows and the window functions that dialog procedures call:
// EndDialog, GetDlgItem, GetDlgItemTextA, SetDlgItemTextA, SetWindowTextA, SendMessageA,
// SetWindowPos, SetFocus, ShowWindow and GetForegroundWindow.
#include "platform/ui/dialog_windows.h"

#include <algorithm>
#include <cstring>

#include "kelm/winapi.h"
#include "platform/ui/ui_responders.h"

namespace kelm::platform {
namespace {

// A dialog's handle is a multiple of kHandleStride; its controls follow it (handle + 1 + index).
constexpr uintptr_t kHandleStride = 0x100;
constexpr uintptr_t kFirstHandle = 0x10000;

uintptr_t g_next_handle = kFirstHandle;
std::vector<EmulatedDialog*>& Dialogs() {  // in the order they were shown; the last is in front
    static std::vector<EmulatedDialog*> dialogs;
    return dialogs;
}

HWND HandleFromValue(uintptr_t value) { return reinterpret_cast<HWND>(value); }

// Copies `text` into `buffer` of `size` bytes with a terminator, cut at a character boundary.
size_t CopyTextForCaller(const std::string& text, char* buffer, size_t size) {
    size_t length = std::min(text.size(), size - 1);
    if (length < text.size()) {
        while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) --length;
    }
    std::memcpy(buffer, text.data(), length);
    buffer[length] = '\0';
    return length;
}

void ReplaceTextOf(std::string& text, const char* value) {
    WipeString(text);
    text = value != nullptr ? value : "";
}

}  // namespace

std::mutex& DialogWindowsMutex() {
    static std::mutex mutex;
    return mutex;
}

void RegisterDialog(EmulatedDialog* dialog) {
    std::lock_guard<std::mutex> lock(DialogWindowsMutex());
    uintptr_t base = g_next_handle;
    g_next_handle += kHandleStride;
    dialog->handle = HandleFromValue(base);
    for (size_t i = 0; i < dialog->controls.size(); ++i) dialog->controls[i].handle = HandleFromValue(base + 1 + i);
    Dialogs().push_back(dialog);
}

void UnregisterDialog(EmulatedDialog* dialog) {
    std::lock_guard<std::mutex> lock(DialogWindowsMutex());
    auto& dialogs = Dialogs();
    dialogs.erase(std::remove(dialogs.begin(), dialogs.end(), dialog), dialogs.end());
    for (EmulatedControl& control : dialog->controls) WipeString(control.text);
}

bool ResolveWindow(HWND window, EmulatedDialog** dialog, EmulatedControl** control) {
    auto value = reinterpret_cast<uintptr_t>(window);
    uintptr_t base = value - value % kHandleStride;
    for (EmulatedDialog* candidate : Dialogs()) {
        if (reinterpret_cast<uintptr_t>(candidate->handle) != base) continue;
        if (value == base) {
            *dialog = candidate;
            *control = nullptr;
            return true;
        }
        size_t index = value - base - 1;
        if (index >= candidate->controls.size()) return false;
        *dialog = candidate;
        *control = &candidate->controls[index];
        return true;
    }
    return false;
}

bool IsEmulatedWindow(HWND window) {
    std::lock_guard<std::mutex> lock(DialogWindowsMutex());
    EmulatedDialog* dialog;
    EmulatedControl* control;
    return ResolveWindow(window, &dialog, &control);
}

INT_PTR SendToDialog(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    DLGPROC procedure = nullptr;
    {
        std::lock_guard<std::mutex> lock(DialogWindowsMutex());
        EmulatedDialog* dialog;
        EmulatedControl* control;
        if (!ResolveWindow(window, &dialog, &control) || control != nullptr) return 0;
        procedure = dialog->procedure;
    }
    return procedure(window, message, wparam, lparam);
}

int ShowDialogWindow(HWND window, bool show) {
    HWND notify = nullptr;
    bool was_visible;
    {
        std::lock_guard<std::mutex> lock(DialogWindowsMutex());
        EmulatedDialog* dialog;
        EmulatedControl* control;
        if (!ResolveWindow(window, &dialog, &control)) return -1;
        if (control != nullptr) return 1;  // controls are always visible with their dialog
        was_visible = dialog->visible;
        dialog->visible = show;
        if (was_visible != show) notify = dialog->handle;
    }
    if (notify != nullptr) SendToDialog(notify, WM_SHOWWINDOW, show ? TRUE : FALSE, 0);
    return was_visible ? 1 : 0;
}

}  // namespace kelm::platform

using kelm::platform::DialogWindowsMutex;
using kelm::platform::EmulatedControl;
using kelm::platform::EmulatedDialog;
using kelm::platform::ResolveWindow;

namespace {

// Resolves `window` or sets ERROR_INVALID_WINDOW_HANDLE. The caller holds the lock.
bool Resolve(HWND window, EmulatedDialog** dialog, EmulatedControl** control) {
    if (ResolveWindow(window, dialog, control)) return true;
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return false;
}

EmulatedControl* FindControl(EmulatedDialog* dialog, int id) {
    for (EmulatedControl& control : dialog->controls) {
        if (control.id == id) return &control;
    }
    return nullptr;
}

}  // namespace

// Only dialog windows end; the result is what DialogBoxParamA returns once the procedure has
// come back from the message it is handling.
KELM_WINAPI_EXPORT BOOL WINAPI EndDialog(HWND hDlg, INT_PTR nResult) {
    std::lock_guard<std::mutex> lock(DialogWindowsMutex());
    EmulatedDialog* dialog;
    EmulatedControl* control;
    if (!Resolve(hDlg, &dialog, &control)) return FALSE;
    if (control != nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    dialog->ended = true;
    dialog->result = nResult;
    dialog->visible = false;
    return TRUE;
}

KELM_WINAPI_EXPORT HWND WINAPI GetDlgItem(HWND hDlg, int nIDDlgItem) {
    std::lock_guard<std::mutex> lock(DialogWindowsMutex());
    EmulatedDialog* dialog;
    EmulatedControl* control;
    if (!Resolve(hDlg, &dialog, &control)) return nullptr;
    if (control == nullptr) control = FindControl(dialog, nIDDlgItem);
    else control = nullptr;  // controls have no children
    if (control == nullptr) {
        SetLastError(ERROR_CONTROL_ID_NOT_FOUND);
        return nullptr;
    }
    return control->handle;
}

// Copies at most cchMax - 1 bytes and a terminator; returns the bytes copied. A text longer
// than the buffer is cut at a character boundary.
KELM_WINAPI_EXPORT UINT WINAPI GetDlgItemTextA(HWND hDlg, int nIDDlgItem, LPSTR lpString, int cchMax) {
    if (lpString != nullptr && cchMax > 0) lpString[0] = '\0';
    std::lock_guard<std::mutex> lock(DialogWindowsMutex());
    EmulatedDialog* dialog;
    EmulatedControl* control;
    if (!Resolve(hDlg, &dialog, &control)) return 0;
    control = control == nullptr ? FindControl(dialog, nIDDlgItem) : nullptr;
    if (control == nullptr) {
        SetLastError(ERROR_CONTROL_ID_NOT_FOUND);
        return 0;
    }
    if (lpString == nullptr || cchMax <= 0) return 0;
    return static_cast<UINT>(kelm::platform::CopyTextForCaller(control->text, lpString, static_cast<size_t>(cchMax)));
}

KELM_WINAPI_EXPORT BOOL WINAPI SetDlgItemTextA(HWND hDlg, int nIDDlgItem, LPCSTR lpString) {
    std::lock_guard<std::mutex> lock(DialogWindowsMutex());
    EmulatedDialog* dialog;
    EmulatedControl* control;
    if (!Resolve(hDlg, &dialog, &control)) return FALSE;
    control = control == nullptr ? FindControl(dialog, nIDDlgItem) : nullptr;
    if (control == nullptr) {
        SetLastError(ERROR_CONTROL_ID_NOT_FOUND);
        return FALSE;
    }
    kelm::platform::ReplaceTextOf(control->text, lpString);
    return TRUE;
}

// A dialog's title, or a control's text.
KELM_WINAPI_EXPORT BOOL WINAPI SetWindowTextA(HWND hWnd, LPCSTR lpString) {
    std::lock_guard<std::mutex> lock(DialogWindowsMutex());
    EmulatedDialog* dialog;
    EmulatedControl* control;
    if (!Resolve(hWnd, &dialog, &control)) return FALSE;
    kelm::platform::ReplaceTextOf(control != nullptr ? control->text : dialog->title, lpString);
    return TRUE;
}

// EM_LIMITTEXT to an edit box sets how many bytes the user may type (0: the default limit).
// A message to a dialog goes to its procedure, whose result is returned. Anything else is
// accepted and answered 0.
KELM_WINAPI_EXPORT LRESULT WINAPI SendMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    {
        std::lock_guard<std::mutex> lock(DialogWindowsMutex());
        EmulatedDialog* dialog;
        EmulatedControl* control;
        if (!Resolve(hWnd, &dialog, &control)) return 0;
        if (control != nullptr) {
            if (Msg == EM_LIMITTEXT && control->kind == kelm::platform::ControlKind::Edit) {
                control->limit = wParam == 0 ? kelm::platform::kDefaultEditLimit
                                             : static_cast<size_t>(std::min<WPARAM>(wParam, 0x7FFFFFFE));
                dialog->limit_set = true;
            }
            return 0;
        }
    }
    return kelm::platform::SendToDialog(hWnd, Msg, wParam, lParam);
}

// Position and size are not kept (nothing is drawn); the z-order and SWP_SHOWWINDOW are.
KELM_WINAPI_EXPORT BOOL WINAPI SetWindowPos(HWND hWnd, HWND hWndInsertAfter, int, int, int, int, UINT uFlags) {
    {
        std::lock_guard<std::mutex> lock(DialogWindowsMutex());
        EmulatedDialog* dialog;
        EmulatedControl* control;
        if (!Resolve(hWnd, &dialog, &control)) return FALSE;
        if (control == nullptr) {
            if (hWndInsertAfter == HWND_TOPMOST) dialog->topmost = true;
            if (hWndInsertAfter == HWND_NOTOPMOST) dialog->topmost = false;
            // As on Windows, SWP_SHOWWINDOW shows the window without sending WM_SHOWWINDOW.
            if ((uFlags & SWP_SHOWWINDOW) != 0) dialog->visible = true;
        }
    }
    return TRUE;
}

// Returns the window that had the focus (null when none of the emulated windows had it).
KELM_WINAPI_EXPORT HWND WINAPI SetFocus(HWND hWnd) {
    std::lock_guard<std::mutex> lock(DialogWindowsMutex());
    if (hWnd == nullptr) return nullptr;
    EmulatedDialog* dialog;
    EmulatedControl* control;
    if (!Resolve(hWnd, &dialog, &control)) return nullptr;
    HWND previous = dialog->focus;
    dialog->focus = hWnd;
    return previous;
}

// Nonzero when the window was visible before.
KELM_WINAPI_EXPORT BOOL WINAPI ShowWindow(HWND hWnd, int nCmdShow) {
    int was_visible = kelm::platform::ShowDialogWindow(hWnd, nCmdShow != SW_HIDE);
    if (was_visible < 0) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    return was_visible;
}

// The frontmost visible emulated dialog; null when none is shown (no desktop is emulated).
KELM_WINAPI_EXPORT HWND WINAPI GetForegroundWindow(void) {
    std::lock_guard<std::mutex> lock(DialogWindowsMutex());
    const auto& dialogs = kelm::platform::Dialogs();
    for (auto it = dialogs.rbegin(); it != dialogs.rend(); ++it) {
        if ((*it)->visible && !(*it)->ended) return (*it)->handle;
    }
    return nullptr;
}
