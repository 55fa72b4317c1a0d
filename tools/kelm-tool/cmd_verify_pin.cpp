// kelm-tool verify-pin: the provider's own PIN check, with its dialog, PIN pad and messages.
#include <cstdio>
#include <string>
#include <vector>

#include "card/pin_verify.h"
#include "card/reader_session.h"
#include "commands.h"
#include "provider_card.h"
#include "kelm/winapi.h"
#include "pin_answer.h"

namespace kelm::tool {
namespace {

int RunVerifyPin(const Options& global, const std::vector<std::string>& args) {
    ProviderOptions options;
    if (!ParseProviderOptions("verify-pin", args, &options)) return kExitUsage;
    if (!options.positional.empty()) {
        PrintError("verify-pin: unexpected argument '" + options.positional[0] + "'");
        return kExitUsage;
    }
    ProviderCard card;
    if (const int status = PrepareProviderCard("verify-pin", global, &card); status != kExitOk) return status;
    PinAnswer answer(options);
    const int verified = card::VerifyPIN(0);
    const DWORD error = GetLastError();
    card::End_CardSession();
    if (verified != 1) {
        PrintError("verify-pin: the PIN was not accepted: " + ErrorText(error));
        return kExitFailure;
    }
    std::printf("PIN verified\n");
    return kExitOk;
}

}  // namespace

KELM_TOOL_COMMAND("verify-pin", "check the card's PIN",
                  "Usage: kelm-tool [--card sim:IMAGE | --reader NAME] verify-pin [--pin PIN]\n"
                  "Asks for the PIN (PIN dialog, or the reader's keypad on a PIN-pad reader) and\n"
                  "has the card verify it. --pin answers the dialog non-interactively.\n",
                  RunVerifyPin);

}  // namespace kelm::tool
