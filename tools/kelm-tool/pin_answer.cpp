// --pin and --machine for the provider commands, and the responder that answers the PIN dialog.
#include "pin_answer.h"

#include <cstdio>
#include <string.h>

#include "commands.h"
#include "platform/ui/ui_responder.h"

namespace kelm::tool {

struct PinAnswer::Responder : platform::ScriptedResponder {
    int MessageBox(const platform::MessageBoxShown& box) override {
        std::fprintf(stderr, "kelm-tool: [%s] %s\n", box.caption.c_str(), box.text.c_str());
        return ScriptedResponder::MessageBox(box);
    }
};

bool ParseProviderOptions(const std::string& command, const std::vector<std::string>& args,
                          ProviderOptions* options) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--pin") {
            if (i + 1 >= args.size()) {
                PrintError(command + ": --pin needs a value");
                return false;
            }
            options->has_pin = true;
            options->pin = args[++i];
        } else if (a.rfind("--pin=", 0) == 0) {
            options->has_pin = true;
            options->pin = a.substr(6);
        } else if (a == "--machine") {
            options->machine = true;
        } else if (!a.empty() && a[0] == '-') {
            PrintError(command + ": unknown option '" + a + "'");
            return false;
        } else {
            options->positional.push_back(a);
        }
    }
    return true;
}

PinAnswer::PinAnswer(ProviderOptions& options) : options_(options) {
    if (!options.has_pin) {
        return;
    }
    responder_ = std::make_unique<Responder>();
    responder_->QueueDialogAction(platform::DialogAction{IDOK, options.pin});
    platform::SetUiResponder(responder_.get());
}

PinAnswer::~PinAnswer() {
    if (responder_ != nullptr) {
        platform::SetUiResponder(nullptr);
        responder_->Clear();
    }
    if (!options_.pin.empty()) {
        explicit_bzero(options_.pin.data(), options_.pin.size());
        options_.pin.clear();
    }
}

DWORD KeysetFlags(const ProviderOptions& options) { return options.machine ? CRYPT_MACHINE_KEYSET : 0; }

}  // namespace kelm::tool
