// Which responder answers the next box: the installed one, or the default choice.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>

#include "platform/ui/ui_responders.h"

namespace kelm::platform {
namespace {

std::mutex g_mutex;
UiResponder* g_installed = nullptr;

bool TerminalAvailable() {
    int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return false;
    close(fd);
    return true;
}

}  // namespace

void SetUiResponder(UiResponder* responder) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_installed = responder;
}

UiResponder& ActiveResponder(std::unique_ptr<UiResponder>& owned) {
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (g_installed != nullptr) return *g_installed;
    }
    const char* pinentry = std::getenv("KELM_PINENTRY");
    if (pinentry != nullptr && pinentry[0] != '\0') {
        owned = std::make_unique<PinentryResponder>(pinentry);
    } else if (TerminalAvailable()) {
        owned = std::make_unique<TerminalResponder>();
    } else {
        owned = std::make_unique<UnattendedResponder>();
    }
    return *owned;
}

int UnattendedResponder::MessageBox(const MessageBoxShown& box) { return UnattendedAnswer(box.type); }

std::optional<DialogAction> UnattendedResponder::Dialog(const DialogShown&) { return std::nullopt; }

}  // namespace kelm::platform
