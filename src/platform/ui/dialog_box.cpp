// DialogBoxParamA: runs a dialog procedure as the modal dialog loop would. The dialog's
// controls are created from its template; the procedure gets WM_INITDIALOG (lParam = the
// caller's parameter), the dialog is shown (WM_SHOWWINDOW, WM_PAINT), and then the responder
// plays the user: its text goes into the edit box, limited as EM_LIMITTEXT said, and its
// button into WM_COMMAND. This repeats until the procedure calls EndDialog, whose value is
// returned.
#include <algorithm>
#include <cstdlib>
#include <memory>
#include <optional>

#include "kelm/winapi.h"
#include "platform/ui/dialog_windows.h"
#include "platform/process/trace.h"
#include "platform/ui/ui_responders.h"

namespace kelm::platform {
namespace {

// How many times the user is asked before a dialog whose procedure never ends it is given up.
constexpr int kMaxRounds = 32;
constexpr WORD kButtonClicked = 0;  // BN_CLICKED

// The template number from MAKEINTRESOURCE(n) or the "#n" form; -1 for a name.
int TemplateNumber(LPCSTR name) {
    if (IS_INTRESOURCE(name)) return static_cast<int>(reinterpret_cast<ULONG_PTR>(name) & 0xFFFF);
    if (name[0] != '#' || name[1] == '\0') return -1;
    char* end = nullptr;
    long number = std::strtol(name + 1, &end, 10);
    return (*end == '\0' && number >= 0 && number <= 0xFFFF) ? static_cast<int>(number) : -1;
}

// Removes the dialog from the table (wiping its texts) however the loop ends.
struct DialogRegistration {
    EmulatedDialog* dialog;
    explicit DialogRegistration(EmulatedDialog* d) : dialog(d) { RegisterDialog(dialog); }
    ~DialogRegistration() { UnregisterDialog(dialog); }
    DialogRegistration(const DialogRegistration&) = delete;
    DialogRegistration& operator=(const DialogRegistration&) = delete;
};

void CreateFromTemplate(const DialogTemplate& tpl, DLGPROC procedure, EmulatedDialog* dialog) {
    dialog->template_id = tpl.id;
    dialog->procedure = procedure;
    dialog->title = tpl.title != nullptr ? tpl.title : "";
    dialog->controls.reserve(tpl.control_count);
    for (size_t i = 0; i < tpl.control_count; ++i) {
        const DialogControl& source = tpl.controls[i];
        dialog->controls.push_back(EmulatedControl{nullptr, source.id, source.kind, source.style,
                                                   source.text != nullptr ? source.text : "", kDefaultEditLimit});
    }
}

EmulatedControl* FirstEdit(EmulatedDialog& dialog) {
    for (EmulatedControl& control : dialog.controls) {
        if (control.kind == ControlKind::Edit) return &control;
    }
    return nullptr;
}

// The first control that takes the focus: the edit box, else the default button.
HWND FirstFocus(EmulatedDialog& dialog) {
    if (EmulatedControl* edit = FirstEdit(dialog)) return edit->handle;
    for (EmulatedControl& control : dialog.controls) {
        if (control.kind == ControlKind::DefPushButton || control.kind == ControlKind::PushButton) {
            return control.handle;
        }
    }
    return nullptr;
}

// What the user sees now. A password box shows one '*' per character, never its text.
DialogShown Snapshot(EmulatedDialog& dialog) {
    std::lock_guard<std::mutex> lock(DialogWindowsMutex());
    DialogShown shown{dialog.template_id, dialog.title, {}, 0, dialog.topmost, dialog.visible};
    for (const EmulatedControl& control : dialog.controls) {
        std::string text = control.text;
        bool hidden = control.kind == ControlKind::Edit && (control.style & kEditPassword) != 0;
        if (hidden) {
            size_t characters = 0;
            for (char c : control.text) characters += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
            WipeString(text);
            text.assign(characters, '*');
        }
        shown.controls.push_back(DialogControlShown{control.id, control.kind, std::move(text), hidden});
    }
    if (dialog.limit_set) {
        if (const EmulatedControl* edit = FirstEdit(dialog)) shown.edit_limit = static_cast<int>(edit->limit);
    }
    return shown;
}

// Puts the user's text into the edit box, cut to its limit at a character boundary.
void TypeIntoEdit(EmulatedDialog& dialog, const std::string& typed) {
    std::lock_guard<std::mutex> lock(DialogWindowsMutex());
    EmulatedControl* edit = FirstEdit(dialog);
    if (edit == nullptr) return;
    size_t length = std::min(typed.size(), edit->limit);
    if (length < typed.size()) {
        while (length > 0 && (static_cast<unsigned char>(typed[length]) & 0xC0) == 0x80) --length;
    }
    WipeString(edit->text);
    edit->text.assign(typed, 0, length);
}

HWND ControlHandle(EmulatedDialog& dialog, int id) {
    std::lock_guard<std::mutex> lock(DialogWindowsMutex());
    for (const EmulatedControl& control : dialog.controls) {
        if (control.id == id) return control.handle;
    }
    return nullptr;
}

bool Ended(EmulatedDialog& dialog) {
    std::lock_guard<std::mutex> lock(DialogWindowsMutex());
    return dialog.ended;
}

}  // namespace

}  // namespace kelm::platform

// Returns EndDialog's value; -1 when the dialog cannot be created (unknown template:
// ERROR_RESOURCE_NAME_NOT_FOUND; no procedure: ERROR_INVALID_PARAMETER; bad owner:
// ERROR_INVALID_WINDOW_HANDLE) or when its procedure never ends it although the user has gone
// or kept answering (ERROR_CANCELLED).
KELM_WINAPI_EXPORT INT_PTR WINAPI DialogBoxParamA(HINSTANCE hInstance, LPCSTR lpTemplateName, HWND hWndParent,
                                                  DLGPROC lpDialogFunc, LPARAM dwInitParam) {
    using namespace kelm::platform;
    if (lpDialogFunc == nullptr || lpTemplateName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    if (hWndParent != nullptr && !IsEmulatedWindow(hWndParent)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return -1;
    }
    int number = TemplateNumber(lpTemplateName);
    const DialogTemplate* tpl = number >= 0 ? FindDialogTemplate(hInstance, number) : nullptr;
    if (tpl == nullptr) {
        SetLastError(FindModuleResources(hInstance) == nullptr ? ERROR_RESOURCE_DATA_NOT_FOUND
                                                                : ERROR_RESOURCE_NAME_NOT_FOUND);
        return -1;
    }

    auto dialog = std::make_unique<EmulatedDialog>();
    CreateFromTemplate(*tpl, lpDialogFunc, dialog.get());
    DialogRegistration registration(dialog.get());
    HWND window = dialog->handle;
    HWND first_focus;
    {
        std::lock_guard<std::mutex> lock(DialogWindowsMutex());
        first_focus = dialog->focus = FirstFocus(*dialog);
    }
    Trace("DialogBoxParamA: WM_INITDIALOG");
    SendToDialog(window, WM_INITDIALOG, reinterpret_cast<WPARAM>(first_focus), dwInitParam);
    if (!Ended(*dialog)) {
        ShowDialogWindow(window, true);
        SendToDialog(window, WM_PAINT, 0, 0);
    }

    std::unique_ptr<UiResponder> owned;
    UiResponder* responder = nullptr;
    for (int round = 0; round < kMaxRounds && !Ended(*dialog); ++round) {
        if (responder == nullptr) responder = &ActiveResponder(owned);
        std::optional<DialogAction> action = responder->Dialog(Snapshot(*dialog));
        int command = IDCANCEL;  // a user who has gone away closes the dialog
        if (action) {
            TypeIntoEdit(*dialog, action->edit_text);
            WipeString(action->edit_text);
            command = action->command_id;
        }
        WPARAM wparam = (static_cast<WPARAM>(kButtonClicked) << 16) | static_cast<WORD>(command);
        SendToDialog(window, WM_COMMAND, wparam, reinterpret_cast<LPARAM>(ControlHandle(*dialog, command)));
        if (!action) break;
    }
    if (!Ended(*dialog)) {
        Trace("DialogBoxParamA: the procedure did not end the dialog");
        SetLastError(ERROR_CANCELLED);
        return -1;
    }
    std::lock_guard<std::mutex> lock(DialogWindowsMutex());
    return dialog->result;
}
