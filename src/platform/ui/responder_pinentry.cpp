// The pinentry responder. A message box becomes MESSAGE (one button) or CONFIRM (two or
// three, the third through SETNOTOK); a dialog with an edit box becomes GETPIN, one without
// becomes CONFIRM. Title, texts and button labels are set first. One program run per box.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/ui/assuan_client.h"
#include "platform/ui/ui_responders.h"

namespace kelm::platform {
namespace {

constexpr int kCancelTryContinue = 0x00000006;
constexpr int kTryAgain = 10;
constexpr int kContinue = 11;
constexpr unsigned long kNotConfirmed = 114;  // the "No" of a three-button CONFIRM
constexpr size_t kDataReserve = 1024;

// The buttons of a box as pinentry's OK, NOTOK and CANCEL (0: not used).
struct ButtonMap {
    int ok, not_ok, cancel;
};

ButtonMap MapButtons(UINT type) {
    switch (type & MB_TYPEMASK) {
        case MB_OK: return {IDOK, 0, 0};
        case MB_OKCANCEL: return {IDOK, 0, IDCANCEL};
        case MB_YESNO: return {IDYES, 0, IDNO};
        case MB_RETRYCANCEL: return {IDRETRY, 0, IDCANCEL};
        case MB_YESNOCANCEL: return {IDYES, IDNO, IDCANCEL};
        case MB_ABORTRETRYIGNORE: return {IDRETRY, IDIGNORE, IDABORT};
        case kCancelTryContinue: return {kContinue, kTryAgain, IDCANCEL};
        default: return {0, 0, 0};
    }
}

std::string WithoutAccelerators(const std::string& text) {
    std::string plain;
    for (char c : text) {
        if (c != '&') plain.push_back(c);
    }
    return plain;
}

// One pinentry run: started on construction, stopped (and reaped) on destruction.
struct Session {
    AssuanPeer peer;
    bool alive;
    int setup_ms;

    Session(const std::string& program, int setup_timeout) : alive(false), setup_ms(setup_timeout) {
        alive = StartAssuanPeer(program, setup_ms, &peer);
        if (!alive) return;
        // Tell a terminal pinentry where the user is; a program that knows no such option
        // answers ERR, which is fine.
        if (const char* term = std::getenv("TERM")) Set("OPTION", std::string("ttytype=") + term);
        int terminal = open("/dev/tty", O_RDONLY | O_NOCTTY | O_CLOEXEC);
        if (terminal >= 0) {
            char name[256];
            if (ttyname_r(terminal, name, sizeof name) == 0) Set("OPTION", std::string("ttyname=") + name);
            close(terminal);
        }
    }
    ~Session() { StopAssuanPeer(&peer); }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // A setting; its refusal does not matter, only the program's disappearance does.
    void Set(const char* command, const std::string& argument) {
        if (!alive) return;
        if (AssuanTransact(&peer, AssuanCommand(command, argument), setup_ms, nullptr, nullptr) ==
            AssuanReply::Gone) {
            alive = false;
        }
    }
};

}  // namespace

PinentryResponder::PinentryResponder(std::string program, Timeouts timeouts)
    : program_(std::move(program)), timeouts_(timeouts) {}

int PinentryResponder::MessageBox(const MessageBoxShown& box) {
    ButtonMap buttons = MapButtons(box.type);
    int unattended = UnattendedAnswer(box.type);
    if (buttons.ok == 0) return unattended;
    Session session(program_, timeouts_.setup_ms);
    session.Set("SETTITLE", box.caption);
    session.Set("SETDESC", box.text);
    session.Set("SETOK", ButtonName(buttons.ok));
    if (buttons.not_ok != 0) session.Set("SETNOTOK", ButtonName(buttons.not_ok));
    if (buttons.cancel != 0) session.Set("SETCANCEL", ButtonName(buttons.cancel));
    if (!session.alive) return unattended;
    unsigned long error = 0;
    const char* request = buttons.cancel == 0 ? "MESSAGE" : "CONFIRM";
    switch (AssuanTransact(&session.peer, request, timeouts_.answer_ms, nullptr, &error)) {
        case AssuanReply::Ok: return buttons.ok;
        case AssuanReply::Err:
            if (buttons.cancel == 0) return buttons.ok;
            if (buttons.not_ok != 0 && (error & 0xFFFF) == kNotConfirmed) return buttons.not_ok;
            return buttons.cancel;
        case AssuanReply::Gone: break;
    }
    return unattended;
}

std::optional<DialogAction> PinentryResponder::Dialog(const DialogShown& dialog) {
    bool has_edit = false;
    std::string prompt;
    std::string description;
    int other_button = 0;
    std::string ok_text, cancel_text, other_text;
    for (const DialogControlShown& control : dialog.controls) {
        switch (control.kind) {
            case ControlKind::Edit: has_edit = true; break;
            case ControlKind::Label:
                if (control.text.empty()) break;
                if (prompt.empty()) {
                    prompt = control.text;
                } else {
                    description += (description.empty() ? "" : "\n") + control.text;
                }
                break;
            case ControlKind::PushButton:
            case ControlKind::DefPushButton:
                if (control.id == IDOK) {
                    ok_text = WithoutAccelerators(control.text);
                } else if (control.id == IDCANCEL) {
                    cancel_text = WithoutAccelerators(control.text);
                } else if (other_button == 0) {
                    other_button = control.id;
                    other_text = WithoutAccelerators(control.text);
                }
                break;
            case ControlKind::Icon: break;
        }
    }
    if (!has_edit) {
        // Without an edit box every label is description; there is no prompt.
        description = prompt + (description.empty() ? "" : "\n" + description);
        prompt.clear();
    }

    Session session(program_, timeouts_.setup_ms);
    session.Set("SETTITLE", dialog.title);
    if (!description.empty()) session.Set("SETDESC", description);
    if (!prompt.empty()) session.Set("SETPROMPT", prompt);
    if (!ok_text.empty()) session.Set("SETOK", ok_text);
    if (!cancel_text.empty()) session.Set("SETCANCEL", cancel_text);
    if (!has_edit && other_button != 0) session.Set("SETNOTOK", other_text);
    if (!session.alive) return std::nullopt;

    unsigned long error = 0;
    if (has_edit) {
        std::string pin;
        pin.reserve(kDataReserve);
        AssuanReply reply = AssuanTransact(&session.peer, "GETPIN", timeouts_.answer_ms, &pin, &error);
        if (reply == AssuanReply::Gone) {
            WipeString(pin);
            return std::nullopt;
        }
        if (reply == AssuanReply::Err) {
            WipeString(pin);
            return DialogAction{IDCANCEL, {}};
        }
        DialogAction action{IDOK, {}};
        action.edit_text.reserve(pin.size());
        action.edit_text.assign(pin);
        WipeString(pin);
        return action;
    }
    switch (AssuanTransact(&session.peer, "CONFIRM", timeouts_.answer_ms, nullptr, &error)) {
        case AssuanReply::Ok: return DialogAction{IDOK, {}};
        case AssuanReply::Err:
            if (other_button != 0 && (error & 0xFFFF) == kNotConfirmed) return DialogAction{other_button, {}};
            return DialogAction{IDCANCEL, {}};
        case AssuanReply::Gone: break;
    }
    return std::nullopt;
}

}  // namespace kelm::platform
