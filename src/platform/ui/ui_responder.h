// Who answers the emulated message boxes and dialogs. DialogBoxParamA runs the system's own
// dialog procedure: it sends WM_INITDIALOG, shows the responder the dialog as the procedure
// left it, applies the responder's action (the edit box's text, limited as EM_LIMITTEXT says)
// and sends WM_COMMAND for the chosen control, until the procedure calls EndDialog.
//
// Responders: the terminal (/dev/tty), pinentry (when KELM_PINENTRY names a program), and a
// scripted one for tests. With none available, message boxes answer Cancel, No or OK and
// dialogs are cancelled: nothing waits for a user who is not there.
#pragma once

#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "kelm/windows_types.h"
#include "platform/export.h"
#include "platform/process/module_resources.h"

namespace kelm::platform {

struct MessageBoxShown {
    std::string caption;
    std::string text;
    UINT type;  // MB_OK, MB_YESNO, MB_RETRYCANCEL, ... with icon bits
};

struct DialogControlShown {
    int id;
    ControlKind kind;
    std::string text;     // a password box shows one '*' per character, never its text
    bool hidden = false;  // a password box: whatever is typed must not be echoed
};

struct DialogShown {
    int template_id;
    std::string title;
    std::vector<DialogControlShown> controls;
    int edit_limit;  // from EM_LIMITTEXT; 0 when the procedure set none
    bool topmost;
    bool visible;
};

struct DialogAction {
    int command_id;         // the control whose WM_COMMAND is sent (IDOK, IDCANCEL, 1019, ...)
    std::string edit_text;  // typed into the dialog's edit box before the command (if it has one)
};

class UiResponder {
public:
    virtual ~UiResponder() = default;
    // Returns IDOK, IDCANCEL, IDYES, IDNO, IDRETRY, ...
    virtual int MessageBox(const MessageBoxShown& box) = 0;
    // nullopt: the responder is gone; the dialog is cancelled.
    virtual std::optional<DialogAction> Dialog(const DialogShown& dialog) = 0;
};

// Selects the responder for the process; nullptr restores the default choice (pinentry,
// terminal or none, looked up again at the next box).
KELM_PLATFORM_API void SetUiResponder(UiResponder* responder);

// The answer a box gets when nobody is there: Cancel, No or OK, by its buttons.
KELM_PLATFORM_API int UnattendedAnswer(UINT type);

// A responder for tests: answers from queues and records everything shown.
class KELM_PLATFORM_API ScriptedResponder : public UiResponder {
public:
    struct Event {
        bool is_dialog;
        MessageBoxShown box;  // when !is_dialog
        DialogShown dialog;   // when is_dialog
    };

    ScriptedResponder() = default;
    ScriptedResponder(const ScriptedResponder&) = delete;
    ScriptedResponder& operator=(const ScriptedResponder&) = delete;
    ~ScriptedResponder() override;  // wipes the texts still queued

    void QueueBoxAnswer(int answer) { box_answers_.push_back(answer); }
    void QueueDialogAction(DialogAction action) { dialog_actions_.push_back(std::move(action)); }
    void QueueDialogGone() { dialog_actions_.push_back(std::nullopt); }

    const std::vector<Event>& events() const { return events_; }
    size_t BoxCount() const;
    size_t DialogCount() const;
    // Forgets the record and the queues, wiping the queued texts (PINs, in tests and tools).
    void Clear();

    // With an empty queue: boxes get the unattended answer, dialogs are cancelled.
    int MessageBox(const MessageBoxShown& box) override;
    std::optional<DialogAction> Dialog(const DialogShown& dialog) override;

private:
    std::deque<int> box_answers_;
    std::deque<std::optional<DialogAction>> dialog_actions_;
    std::vector<Event> events_;
};

}  // namespace kelm::platform
