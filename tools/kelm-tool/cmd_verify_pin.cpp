// kelm-tool verify-pin: the provider's own PIN check, with its dialog, PIN pad and messages.
#include <cstdio>

#include "card/pin_verify.h"
#include "card/reader_session.h"
#include "card_access.h"
#include "commands.h"
#include "output.h"
#include "pin_entry.h"
#include "provider_call.h"

namespace kelm::tool {
namespace {

int RunVerifyPin(const Options& options) {
    PinEntry pin(options);
    CardAccess access(options, CardUse::Provider);
    const int verified = card::VerifyPIN(0);
    if (verified != 1) FailCall("the PIN was not accepted", &pin);
    card::End_CardSession();
    if (options.json) PrintJson({{"verified", true}});
    else std::printf("PIN verified\n");
    return kExitOk;
}

Action Setup(CLI::App&) { return RunVerifyPin; }

const Registrar kRegistered{{
    .name = "verify-pin",
    .group = kGroupProvider,
    .summary = "check the card's PIN",
    .help = "Has the card verify the PIN of --pin or --pin-source, or asks for it (pinentry, the terminal,\n"
            "or the reader's keypad on a PIN-pad reader). A wrong PIN says how many tries are left.\n"
            "Examples:\n"
            "  kelm-tool verify-pin --pin-source env:CARD_PIN\n"
            "JSON: {\"verified\": true}\n",
    .shared = kCardChoice | kPinInput | kJsonOutput,
    .setup = Setup,
}};

}  // namespace
}  // namespace kelm::tool
