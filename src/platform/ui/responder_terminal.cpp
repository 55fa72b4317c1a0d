// The terminal responder: boxes and dialogs as prompts on the controlling terminal. A message
// box lists its buttons and takes a number or a button's name (Enter: the default button); a
// dialog with an edit box asks for its text (read with echo off for a password box, Ctrl-D
// cancels; a SIGINT or SIGTERM from outside restores the terminal before the process dies) and
// then, if it has other buttons than OK and Cancel, for the button.
#include <fcntl.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <iterator>
#include <string>

#include "platform/ui/ui_responders.h"

namespace kelm::platform {
namespace {

constexpr size_t kMaxLine = 256;   // longer input is read and dropped
constexpr int kMaxAttempts = 5;    // answers that name no button before the box is given up

// While echo is off, a signal that ends the process (sent from outside: the terminal's own
// Ctrl-C is off then) first puts the terminal's settings back, then the process dies by that
// same signal as it would have. Only the async-signal-safe calls tcsetattr, sigaction and raise
// run in the handler.
constexpr int kFatalSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
int g_restore_fd = -1;
termios g_restore_settings{};
struct sigaction g_previous[std::size(kFatalSignals)];

extern "C" void RestoreTerminalAndDie(int signal) {
    if (g_restore_fd >= 0) tcsetattr(g_restore_fd, TCSANOW, &g_restore_settings);
    for (size_t i = 0; i < std::size(kFatalSignals); ++i) {
        if (kFatalSignals[i] == signal) sigaction(signal, &g_previous[i], nullptr);
    }
    raise(signal);  // delivered, with the earlier disposition, when the handler returns
}

void GuardTerminal(int fd, const termios& settings) {
    g_restore_settings = settings;
    g_restore_fd = fd;
    struct sigaction guard {};
    guard.sa_handler = RestoreTerminalAndDie;
    sigfillset(&guard.sa_mask);
    for (size_t i = 0; i < std::size(kFatalSignals); ++i) {
        sigaction(kFatalSignals[i], nullptr, &g_previous[i]);
        // A signal the program ignores stays ignored.
        if (g_previous[i].sa_handler != SIG_IGN) sigaction(kFatalSignals[i], &guard, nullptr);
    }
}

void UnguardTerminal() {
    for (size_t i = 0; i < std::size(kFatalSignals); ++i) {
        if (g_previous[i].sa_handler != SIG_IGN) sigaction(kFatalSignals[i], &g_previous[i], nullptr);
    }
    g_restore_fd = -1;
}

struct Terminal {
    int fd = -1;
    termios saved{};
    bool echo_off = false;

    ~Terminal() {
        EchoOn();
        if (fd >= 0) close(fd);
    }
    void EchoOn() {
        if (echo_off) {
            tcsetattr(fd, TCSANOW, &saved);
            UnguardTerminal();
        }
        echo_off = false;
    }
    // Echo off, and the line is edited here rather than by the terminal: with the terminal's
    // signals off too, Ctrl-C cancels the prompt instead of killing the process with echo
    // still off.
    bool EchoOff() {
        if (tcgetattr(fd, &saved) != 0) return false;
        termios quiet = saved;
        quiet.c_lflag &= static_cast<tcflag_t>(~(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG));
        quiet.c_cc[VMIN] = 1;
        quiet.c_cc[VTIME] = 0;
        GuardTerminal(fd, saved);
        if (tcsetattr(fd, TCSAFLUSH, &quiet) != 0) {
            UnguardTerminal();
            return false;
        }
        echo_off = true;
        return true;
    }
};

// Opens the device; refuses a terminal on which this process is in the background, where
// reading would stop the process until someone brings it forward.
bool Open(const std::string& device, Terminal* terminal) {
    terminal->fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (terminal->fd < 0) return false;
    pid_t foreground = tcgetpgrp(terminal->fd);
    return foreground == -1 || foreground == getpgrp();
}

void Write(const Terminal& terminal, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(terminal.fd, text.data() + done, text.size() - done);
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

// Texts come from the card and the registry too: control characters other than newline and
// tab are shown as '?', so that no text can steer the terminal.
std::string Printable(const std::string& text) {
    std::string shown = text;
    for (char& c : shown) {
        auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && c != '\n' && c != '\t') || byte == 0x7F) c = '?';
    }
    return shown;
}

// Reads one line without its newline, keeping at most kMaxLine bytes. False at end of input.
// The buffer never grows past its first allocation, so a wipe reaches every byte.
bool ReadLine(const Terminal& terminal, std::string* line) {
    WipeString(*line);
    line->reserve(kMaxLine);
    char c;
    for (;;) {
        ssize_t n = read(terminal.fd, &c, 1);
        if (n <= 0) return false;
        if (c == '\n' || c == '\r') return true;
        if (line->size() < kMaxLine) line->push_back(c);
    }
}

// Reads a secret typed with echo off (see Terminal::EchoOff): Enter ends it; Backspace and
// Ctrl-U edit it; Ctrl-C, Ctrl-D or the end of input cancel (false). Other control bytes are
// ignored. At most kMaxLine bytes are kept, in a buffer that never reallocates.
bool ReadSecretLine(const Terminal& terminal, std::string* line) {
    constexpr char kInterrupt = 0x03, kEndOfInput = 0x04, kBackspace = 0x08, kKill = 0x15, kDelete = 0x7F;
    WipeString(*line);
    line->reserve(kMaxLine);
    char c;
    for (;;) {
        ssize_t n = read(terminal.fd, &c, 1);
        if (n <= 0 || c == kInterrupt || c == kEndOfInput) return false;
        if (c == '\n' || c == '\r') return true;
        if (c == kBackspace || c == kDelete) {
            // Remove one whole character, continuation bytes first.
            while (!line->empty() && (static_cast<unsigned char>(line->back()) & 0xC0) == 0x80) line->pop_back();
            if (!line->empty()) line->pop_back();
        } else if (c == kKill) {
            std::fill(line->begin(), line->end(), '\0');
            line->clear();
        } else if (static_cast<unsigned char>(c) >= 0x20 && line->size() < kMaxLine) {
            line->push_back(c);
        }
    }
}

std::string Lowered(const std::string& text) {
    std::string lowered = text;
    for (char& c : lowered) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lowered;
}

// Strips the '&' accelerator markers of button texts.
std::string ButtonText(const std::string& text) {
    std::string plain;
    for (char c : text) {
        if (c != '&') plain.push_back(c);
    }
    return plain;
}

struct Choice {
    int id;
    std::string name;
};

// Asks for one of `choices`: a number, a name or the start of one; Enter picks `preset`.
// Returns `on_end` at end of input or after too many answers that name nothing.
int Choose(const Terminal& terminal, const std::vector<Choice>& choices, int preset, int on_end) {
    std::string menu;
    std::string preset_name;
    for (size_t i = 0; i < choices.size(); ++i) {
        menu += "  " + std::to_string(i + 1) + ") " + Printable(choices[i].name);
        if (choices[i].id == preset) preset_name = choices[i].name;
    }
    menu += "\n";
    std::string line;
    for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
        Write(terminal, menu + "Choice" + (preset_name.empty() ? "" : " [" + Printable(preset_name) + "]") + ": ");
        if (!ReadLine(terminal, &line)) {
            Write(terminal, "\n");
            return on_end;
        }
        std::string answer = Lowered(line);
        while (!answer.empty() && answer.back() == ' ') answer.pop_back();
        while (!answer.empty() && answer.front() == ' ') answer.erase(0, 1);
        if (answer.empty() && !preset_name.empty()) return preset;
        for (size_t i = 0; i < choices.size(); ++i) {
            if (answer == std::to_string(i + 1)) return choices[i].id;
        }
        int match = 0;
        int matches = 0;
        for (const Choice& choice : choices) {
            if (!answer.empty() && Lowered(choice.name).rfind(answer, 0) == 0) {
                match = choice.id;
                ++matches;
            }
        }
        if (matches == 1) return match;
        Write(terminal, "Please answer with one of the numbers.\n");
    }
    return on_end;
}

}  // namespace

TerminalResponder::TerminalResponder(std::string device) : device_(std::move(device)) {}

int TerminalResponder::MessageBox(const MessageBoxShown& box) {
    Terminal terminal;
    if (!Open(device_, &terminal)) return UnattendedAnswer(box.type);
    Write(terminal, "\n[" + Printable(box.caption) + "]\n" + Printable(box.text) + "\n");
    std::vector<Choice> choices;
    for (int id : MessageBoxButtons(box.type)) choices.push_back(Choice{id, ButtonName(id)});
    if (choices.empty()) return UnattendedAnswer(box.type);
    return Choose(terminal, choices, DefaultMessageBoxButton(box.type), UnattendedAnswer(box.type));
}

std::optional<DialogAction> TerminalResponder::Dialog(const DialogShown& dialog) {
    Terminal terminal;
    if (!Open(device_, &terminal)) return std::nullopt;

    const DialogControlShown* edit = nullptr;
    bool password = false;
    std::string prompt;
    std::string labels;
    std::vector<Choice> buttons;
    int preset = 0;
    for (const DialogControlShown& control : dialog.controls) {
        switch (control.kind) {
            case ControlKind::Edit:
                if (edit == nullptr) {
                    edit = &control;
                    password = control.hidden;
                }
                break;
            case ControlKind::Label:
                if (!control.text.empty()) {
                    if (prompt.empty()) prompt = control.text;
                    labels += Printable(control.text) + "\n";
                }
                break;
            case ControlKind::DefPushButton:
                preset = control.id;
                buttons.push_back(Choice{control.id, ButtonText(control.text)});
                break;
            case ControlKind::PushButton:
                buttons.push_back(Choice{control.id, ButtonText(control.text)});
                break;
            case ControlKind::Icon:
                break;
        }
    }
    if (preset == 0) preset = IDOK;
    Write(terminal, "\n[" + Printable(dialog.title) + "]\n");

    DialogAction action{preset, {}};
    if (edit != nullptr) {
        // The edit box's prompt is its label; the other labels are shown above it.
        if (!labels.empty()) labels.erase(0, labels.find('\n') + 1);
        Write(terminal, labels);
        // Echo goes off (discarding typeahead) before the prompt appears, so that nothing typed
        // in answer to the prompt is thrown away.
        if (password && !terminal.EchoOff()) password = false;
        Write(terminal, (prompt.empty() ? std::string("Text") : Printable(prompt)) + " (Ctrl-D to cancel) ");
        bool typed = password ? ReadSecretLine(terminal, &action.edit_text) : ReadLine(terminal, &action.edit_text);
        terminal.EchoOn();
        Write(terminal, "\n");
        if (!typed) {
            WipeString(action.edit_text);
            return DialogAction{IDCANCEL, {}};
        }
        bool only_ok_cancel = true;
        for (const Choice& button : buttons) only_ok_cancel &= button.id == IDOK || button.id == IDCANCEL;
        if (only_ok_cancel) return action;
    } else {
        Write(terminal, labels);
    }
    if (buttons.empty()) return action;
    action.command_id = Choose(terminal, buttons, preset, IDCANCEL);
    return action;
}

}  // namespace kelm::platform
