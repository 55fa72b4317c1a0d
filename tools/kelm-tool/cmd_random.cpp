// kelm-tool random: bytes from the card's random generator, through CPGenRandom.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <memory>

#include "card_access.h"
#include "card_keys.h"
#include "commands.h"
#include "kelm/csp.h"
#include "kelm/winapi.h"
#include "output.h"
#include "progress.h"
#include "provider_call.h"

namespace kelm::tool {
namespace {

constexpr unsigned kMostBytes = 1 << 20;
constexpr unsigned kPiece = 4096;  // bytes a CPGenRandom call (the card gives 8 a command)

struct RandomArgs {
    unsigned count = 0;
    bool hex = false;
};

int RunRandom(const Options& options, const RandomArgs& args) {
    CardAccess access(options, CardUse::Provider);
    ProviderContext provider(nullptr, CRYPT_VERIFYCONTEXT | KeysetFlags(options), "cannot open the provider");
    Bytes bytes(args.count);
    {
        Progress progress("random", args.count, options.quiet);
        for (unsigned at = 0; at < args.count; at += kPiece) {
            const unsigned piece = std::min(kPiece, args.count - at);
            if (!CPGenRandom(provider.handle(), piece, bytes.data() + at)) FailCall("random bytes from the card");
            progress.Advance(piece);
        }
    }
    std::string hex = HexBytes(bytes.data(), bytes.size(), "");
    std::transform(hex.begin(), hex.end(), hex.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    if (options.json) PrintJson({{"bytes", bytes.size()}, {"hex", hex}});
    else if (args.hex) std::printf("%s\n", hex.c_str());
    else WriteWhole("", bytes, true);
    return kExitOk;
}

Action Setup(CLI::App& command) {
    auto args = std::make_shared<RandomArgs>();
    command.add_option("N", args->count, "how many bytes (at most 1048576)")
        ->type_name("")
        ->required()
        ->check(CLI::Range(0u, kMostBytes).description(""));
    command.add_flag("--hex", args->hex, "print them in hexadecimal");
    return [args](const Options& options) { return RunRandom(options, *args); };
}

const Registrar kRegistered{{
    .name = "random",
    .group = kGroupProvider,
    .summary = "random bytes from the card",
    .help = "Asks the card for N random bytes (CPGenRandom; the card gives 8 a command) and writes them\n"
            "raw to standard output (not to a terminal), or with --hex as one line of lowercase\n"
            "hexadecimal. Many bytes show a progress bar on a terminal.\n"
            "Examples:\n"
            "  kelm-tool random 16 --hex\n"
            "JSON: {\"bytes\": 16, \"hex\": \"...\"}\n",
    .shared = kCardChoice | kMachineKeyset | kJsonOutput,
    .setup = Setup,
}};

}  // namespace
}  // namespace kelm::tool
