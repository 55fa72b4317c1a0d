// The emulated windows of modal dialogs: one record per dialog shown by DialogBoxParamA, with
// its controls as the template created them. Handles name a dialog or one of its controls and
// are never reused, so a handle kept past its dialog's end is refused, not misdirected.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "kelm/windows_types.h"
#include "platform/process/module_resources.h"

namespace kelm::platform {

struct EmulatedControl {
    HWND handle;
    int id;
    ControlKind kind;
    DWORD style;
    std::string text;  // UTF-8; an edit box's text is wiped when the dialog ends
    size_t limit;      // edit boxes: the most bytes the user may type (EM_LIMITTEXT)
};

struct EmulatedDialog {
    HWND handle = nullptr;
    int template_id = 0;
    DLGPROC procedure = nullptr;
    std::string title;
    std::vector<EmulatedControl> controls;
    bool visible = false;
    bool topmost = false;
    bool ended = false;
    INT_PTR result = 0;
    HWND focus = nullptr;
    bool limit_set = false;  // EM_LIMITTEXT was sent to an edit box
};

// An edit box's limit before EM_LIMITTEXT, as on Windows.
constexpr size_t kDefaultEditLimit = 30000;

// Guards every EmulatedDialog while it is registered. Never held while a dialog procedure
// or a responder runs.
std::mutex& DialogWindowsMutex();

// Gives `dialog` and its controls their handles and makes them reachable; `dialog` must stay
// alive until UnregisterDialog.
void RegisterDialog(EmulatedDialog* dialog);
// Removes the dialog and wipes its controls' texts.
void UnregisterDialog(EmulatedDialog* dialog);

// Resolves a handle under DialogWindowsMutex (the caller holds it): the dialog, and the
// control when the handle names one (else *control is null). False for an unknown handle.
bool ResolveWindow(HWND window, EmulatedDialog** dialog, EmulatedControl** control);

// Calls the procedure of the dialog `window` (a dialog handle) without holding the lock.
// Returns 0 when the dialog is gone.
INT_PTR SendToDialog(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

// Makes the dialog visible or hidden; when its visibility changes it is sent WM_SHOWWINDOW.
// Returns whether it was visible before, or -1 for an unknown handle.
int ShowDialogWindow(HWND window, bool show);

}  // namespace kelm::platform
