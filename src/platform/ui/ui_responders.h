// The responders behind the default choice (terminal, pinentry, nobody) and what message
// boxes and dialogs share with them: the buttons of a box type and their names.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/export.h"
#include "platform/ui/ui_responder.h"

namespace kelm::platform {

// Answers every box with its unattended answer and cancels every dialog.
class UnattendedResponder : public UiResponder {
public:
    int MessageBox(const MessageBoxShown& box) override;
    std::optional<DialogAction> Dialog(const DialogShown& dialog) override;
};

// Talks to the user on a terminal device, opened afresh for each box (so a session that has
// lost its terminal gets the unattended answers). Password edit boxes are read with echo off.
class KELM_PLATFORM_API TerminalResponder : public UiResponder {
public:
    explicit TerminalResponder(std::string device = "/dev/tty");
    int MessageBox(const MessageBoxShown& box) override;
    std::optional<DialogAction> Dialog(const DialogShown& dialog) override;

private:
    std::string device_;
};

// How long a pinentry program may take before it counts as gone.
struct PinentryTimeouts {
    int setup_ms = 10000;    // greeting and each setting command
    int answer_ms = 600000;  // the user's answer to GETPIN, CONFIRM or MESSAGE
};

// Runs a pinentry program for each box and speaks the Assuan protocol with it over its
// standard input and output. A program that cannot start, dies or stops answering within
// the timeouts counts as a user who went away: boxes get their unattended answer, dialogs
// are cancelled.
class KELM_PLATFORM_API PinentryResponder : public UiResponder {
public:
    using Timeouts = PinentryTimeouts;
    explicit PinentryResponder(std::string program, Timeouts timeouts = Timeouts());
    int MessageBox(const MessageBoxShown& box) override;
    std::optional<DialogAction> Dialog(const DialogShown& dialog) override;

private:
    std::string program_;
    Timeouts timeouts_;
};

// The responder for the next box: the one SetUiResponder installed, or else the default
// choice made now (pinentry when KELM_PINENTRY names a program, the terminal when /dev/tty
// opens, nobody otherwise). `owned` keeps a default responder alive for the box's duration.
UiResponder& ActiveResponder(std::unique_ptr<UiResponder>& owned);

// The buttons of a message box type, in display order (IDOK, IDCANCEL, IDYES, ...); empty
// for an unknown type.
KELM_PLATFORM_API std::vector<int> MessageBoxButtons(UINT type);
// The button a box type preselects (MB_DEFBUTTON2/3 choose the second or third).
KELM_PLATFORM_API int DefaultMessageBoxButton(UINT type);
// "OK", "Cancel", "Yes", "No", "Retry", "Abort", "Ignore", "Try Again", "Continue".
const char* ButtonName(int id);

// True for a live emulated dialog or control window.
bool IsEmulatedWindow(HWND window);

// Overwrites a string's bytes, the unused capacity included, and empties it (PINs typed into
// boxes, lines read from a terminal or a pinentry).
KELM_PLATFORM_API void WipeString(std::string& text);

}  // namespace kelm::platform
