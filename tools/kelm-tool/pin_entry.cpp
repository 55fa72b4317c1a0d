// Reading the PIN from its source, answering the provider's PIN dialog, and explaining a
// refused PIN.
#include "pin_entry.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <optional>

#include "card/apdu_transport.h"
#include "card_access.h"
#include "card/pin_verify.h"
#include "card/reader_session.h"
#include "kelm/winapi.h"
#include "output.h"
#include "platform/ui/ui_responder.h"
#include "platform/ui/ui_responders.h"
#include "resources/resources.h"

namespace kelm::tool {
namespace {

constexpr size_t kPinMinLength = 6;  // the PIN dialog's own rule, "Password(6-16)"
constexpr size_t kPinMaxLength = card::kPinMaxLength;
constexpr size_t kMaxSourceLine = 1024;
constexpr int kTypingAttempts = 3;
constexpr const char* kLengthRule = "the PIN has 6 to 16 characters";

struct Secret {
    std::string text;
    Secret() = default;
    Secret(const Secret&) = delete;
    Secret& operator=(const Secret&) = delete;
    ~Secret() { platform::WipeString(text); }
};

// The first line of `fd`, a byte at a time so that nothing after it is consumed.
void ReadFirstLine(int fd, const std::string& where, std::string* line) {
    line->reserve(kMaxSourceLine + 1);  // no reallocation leaves a copy of the PIN behind
    char c = 0;
    while (line->size() < kMaxSourceLine) {
        const ssize_t n = read(fd, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) Fail(kExitUsage, "cannot read the PIN from " + where + ": " + std::strerror(errno));
        if (n == 0 || c == '\n') break;
        line->push_back(c);
    }
    c = 0;
    if (!line->empty() && line->back() == '\r') line->pop_back();
}

void ReadPin(const Options& options, std::string* pin) {
    if (options.has_pin && !options.pin_source.empty()) {
        Fail(kExitUsage, "--pin and --pin-source exclude each other");
    }
    const std::string& source = options.pin_source;
    if (options.has_pin) {
        pin->assign(options.pin);
    } else if (source.rfind("pass:", 0) == 0) {
        pin->assign(source, 5);
    } else if (source.rfind("env:", 0) == 0) {
        const char* value = std::getenv(source.c_str() + 4);
        if (value == nullptr) Fail(kExitUsage, "the environment variable " + source.substr(4) + " is not set");
        pin->assign(value);
    } else if (source.rfind("file:", 0) == 0) {
        const int fd = open(source.c_str() + 5, O_RDONLY | O_CLOEXEC);
        if (fd < 0) Fail(kExitUsage, "cannot read the PIN from " + source.substr(5) + ": " + std::strerror(errno));
        try {
            ReadFirstLine(fd, source.substr(5), pin);
        } catch (...) {
            close(fd);
            throw;
        }
        close(fd);
    } else if (source.rfind("fd:", 0) == 0) {
        ReadFirstLine(std::atoi(source.c_str() + 3), "file descriptor " + source.substr(3), pin);
    } else {
        ReadFirstLine(STDIN_FILENO, "standard input", pin);
    }
    if (pin->size() < kPinMinLength || pin->size() > kPinMaxLength) {
        Fail(kExitUsage, std::string(kLengthRule) + "; it was not sent to the card");
    }
}

bool HasEditBox(const platform::DialogShown& dialog) {
    for (const platform::DialogControlShown& control : dialog.controls) {
        if (control.kind == platform::ControlKind::Edit) return true;
    }
    return false;
}

// Whether `program` names an executable, as a path or found on PATH.
bool Executable(const std::string& program) {
    if (program.find('/') != std::string::npos) return access(program.c_str(), X_OK) == 0;
    const char* path = std::getenv("PATH");
    std::string directories = path != nullptr ? path : "/usr/bin:/bin";
    for (size_t start = 0; start <= directories.size();) {
        const size_t end = std::min(directories.find(':', start), directories.size());
        const std::string directory = end > start ? directories.substr(start, end - start) : ".";
        if (access((directory + "/" + program).c_str(), X_OK) == 0) return true;
        start = end + 1;
    }
    return false;
}

// The person at this machine, as the platform would ask them: pinentry, else the terminal.
// `missing` receives a pinentry program that cannot be run.
std::unique_ptr<platform::UiResponder> Person(std::string* missing) {
    if (const char* pinentry = std::getenv("KELM_PINENTRY"); pinentry != nullptr && *pinentry != '\0') {
        if (!Executable(pinentry)) {
            *missing = pinentry;
            return nullptr;
        }
        return std::make_unique<platform::PinentryResponder>(pinentry);
    }
    const int terminal = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (terminal < 0) return nullptr;
    close(terminal);
    return std::make_unique<platform::TerminalResponder>();
}

// The card's count of PIN tries left, asked with a VERIFY that carries no PIN (no try is
// spent); -1 when the card does not say.
int TriesLeft() {
    if (card::Init_PCSC_Object(CRYPT_SILENT) != 1) return -1;
    BYTE le = 0;
    BYTE response[card::kApduResponseCapacity];
    const DWORD status = card::Card_SendAPDU(0x00, 0x20, 0x01, 0x28, 0, &le, nullptr, response, 0);
    card::Card_Disconnect();
    if (status == card::STATUS_PIN_LOCKED) return 0;
    if ((status & 0xFFF0) == 0x63C0) return static_cast<int>(status & 0x0F);
    return -1;
}

}  // namespace

std::string PinSourceProblem(const std::string& source) {
    if (source == "stdin" || source.rfind("pass:", 0) == 0) return "";
    if ((source.rfind("env:", 0) == 0 && source.size() > 4) || (source.rfind("file:", 0) == 0 && source.size() > 5)) {
        return "";
    }
    if (source.rfind("fd:", 0) == 0 && source.size() > 3 && source.size() < 12 &&
        source.find_first_not_of("0123456789", 3) == std::string::npos) {
        return "";
    }
    return "takes pass:TEXT, env:VAR, file:PATH, fd:N or stdin";
}

// Answers the PIN dialog with the given PIN (once), or has the person type it; keeps what
// happened for ExplainFailure.
struct PinEntry::Responder : platform::UiResponder {
    Secret pin;
    bool given = false;
    bool handed = false;
    std::unique_ptr<platform::UiResponder> person;  // none when a PIN was given
    bool nobody_to_ask = false;
    bool cancelled = false;
    std::string missing_pinentry;  // KELM_PINENTRY names no program

    int MessageBox(const platform::MessageBoxShown& box) override {
        if (person) return person->MessageBox(box);
        // A refused PIN is explained by the tool itself, with the tries left.
        const bool about_pin = box.text == card::LocalizedText(resources::IDS_PIN_WRONG) ||
                               box.text == card::LocalizedText(resources::IDS_PIN_LOCKED);
        if (!about_pin) {
            std::fprintf(stderr, "kelm-tool: [%s] %s\n", Printable(box.caption).c_str(), Printable(box.text).c_str());
        }
        return platform::UnattendedAnswer(box.type);
    }

    std::optional<platform::DialogAction> Dialog(const platform::DialogShown& dialog) override {
        if (!HasEditBox(dialog)) return person ? person->Dialog(dialog) : std::nullopt;
        if (given) {
            if (handed) return std::nullopt;  // a second request after a refused PIN: cancelled
            handed = true;
            return platform::DialogAction{IDOK, pin.text};
        }
        if (!person) {
            nobody_to_ask = true;
            return std::nullopt;
        }
        for (int attempt = 0; attempt < kTypingAttempts; ++attempt) {
            std::optional<platform::DialogAction> action = person->Dialog(dialog);
            if (!action || action->command_id != IDOK) {
                cancelled = true;
                return action;
            }
            const size_t length = action->edit_text.size();
            if (length >= kPinMinLength && length <= kPinMaxLength) return action;
            platform::WipeString(action->edit_text);
            person->MessageBox({dialog.title, std::string(kLengthRule) + "; it was not sent to the card.", MB_OK});
        }
        cancelled = true;
        return std::nullopt;
    }
};

PinEntry::PinEntry(const Options& options) : responder_(std::make_unique<Responder>()) {
    responder_->given = options.has_pin || !options.pin_source.empty();
    if (responder_->given) {
        ReadPin(options, &responder_->pin.text);
    } else {
        responder_->person = Person(&responder_->missing_pinentry);
    }
    platform::SetUiResponder(responder_.get());
}

PinEntry::~PinEntry() { platform::SetUiResponder(nullptr); }

void PinEntry::ExplainFailure() const {
    if (responder_->nobody_to_ask && !responder_->missing_pinentry.empty()) {
        Fail(kExitPinCancelled, "pinentry program '" + Printable(responder_->missing_pinentry) +
                                    "' not found (KELM_PINENTRY): install it, or give the PIN with --pin-source");
    }
    if (responder_->nobody_to_ask) {
        Fail(kExitPinCancelled, "no terminal and no pinentry: give the PIN with --pin-source");
    }
    // As the card answered, whichever provider asked (the linked one or the loaded library).
    const DWORD status = LastPinVerificationStatus();
    const bool refused = status != 0 && status <= 0xFFFF && !card::Card_StatusSucceeded(status);
    if (!refused) {
        if (responder_->cancelled) Fail(kExitPinCancelled, "the PIN entry was cancelled");
        return;
    }
    if (status == card::STATUS_PIN_LOCKED) Fail(kExitPinLocked, "the card's PIN is locked (" + ErrorText(status) + ")");
    const int tries = (status & 0xFFF0) == 0x63C0 ? static_cast<int>(status & 0x0F) : TriesLeft();
    if (tries == 0) Fail(kExitPinLocked, "wrong PIN, and that was the last try: the card's PIN is now locked");
    if (tries < 0) Fail(kExitWrongPin, "wrong PIN (" + ErrorText(status) + ")");
    Fail(kExitWrongPin, "wrong PIN: " + std::to_string(tries) + (tries == 1 ? " try" : " tries") + " left");
}

}  // namespace kelm::tool
