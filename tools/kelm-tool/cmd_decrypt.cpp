// kelm-tool decrypt: a file decrypted with the session key a SIMPLEBLOB file carries, unwrapped by
// the card with the container's exchange key (CPImportKey, CPDecrypt).
#include <cstdio>
#include <memory>

#include "card_access.h"
#include "card_keys.h"
#include "commands.h"
#include "kelm/windows_types.h"
#include "output.h"
#include "pin_entry.h"
#include "provider_call.h"
#include "session_keys.h"

namespace kelm::tool {
namespace {

constexpr size_t kLongestKeyBlob = 4096;

struct DecryptArgs {
    std::string container;
    std::string mode = "cbc";
    std::string iv;
    std::string session_key;
    std::string out;
    std::string input;
};

int RunDecrypt(const Options& options, const DecryptArgs& args) {
    CheckContainerName(args.container);
    if (args.iv.empty() && args.mode != "ecb") {
        Fail(kExitUsage, "--iv is needed in " + args.mode + " mode: the one encrypt printed");
    }
    const Bytes blob = ReadWhole(args.session_key, kLongestKeyBlob);
    const Bytes data = ReadWhole(args.input, kLongestCipherInput);
    PinEntry pin(options);
    CardAccess access(options, CardUse::Provider);
    ProviderContext provider(args.container.c_str(), KeysetFlags(options),
                             "container '" + Printable(args.container) + "'", &pin);
    const UserKey exchange(provider.handle(), KeyChoice{args.container, "exchange"});
    const SessionKey key(provider.handle(), blob, args.session_key, exchange, pin);
    key.SetMode(args.mode, args.iv);
    const Bytes decrypted = key.Decrypt(data);
    if (!args.out.empty() || !options.json) WriteWhole(args.out, decrypted, true);
    const std::string algorithm = SessionAlgorithmName(key.algid());
    if (options.json) {
        Json described = {{"container", args.container},
                          {"alg", algorithm},
                          {"mode", args.mode},
                          {"session_key", args.session_key},
                          {"bytes_in", data.size()},
                          {"bytes_out", decrypted.size()},
                          {"out", args.out.empty() ? Json() : Json(args.out)}};
        if (args.out.empty()) described["base64"] = Base64(decrypted);
        PrintJson(described);
    } else if (!args.out.empty()) {
        std::printf("%s: %zu bytes (%s %s)\n", Printable(args.out).c_str(), decrypted.size(), algorithm.c_str(),
                    args.mode.c_str());
    }
    return kExitOk;
}

Action Setup(CLI::App& command) {
    auto args = std::make_shared<DecryptArgs>();
    command.add_option("--container", args->container, "the container whose exchange key unwraps the session key")
        ->type_name("NAME")
        ->required();
    AddModeOptions(command, &args->mode, &args->iv);
    command.add_option("--session-key", args->session_key, "the SIMPLEBLOB file that carries the session key")
        ->type_name("FILE")
        ->required();
    command.add_option("--out", args->out, "where the decrypted data goes (default: standard output)")->type_name("FILE");
    command.add_option("FILE", args->input, "the file decrypted; - for standard input")->type_name("")->required();
    return [args](const Options& options) { return RunDecrypt(options, *args); };
}

const Registrar kRegistered{{
    .name = "decrypt",
    .group = kGroupProvider,
    .summary = "decrypt a file with a session key unwrapped by the card",
    .help = "Has the card unwrap the session key of a SIMPLEBLOB file with the container's exchange key,\n"
            "after the PIN (CPImportKey), and decrypts FILE with it in software (CPDecrypt). The\n"
            "algorithm comes from the blob; the mode and IV must be those of the encryption (--iv is\n"
            "needed except in ECB). CBC padding that does not check out is refused (NTE_BAD_DATA) and\n"
            "nothing is written. Files up to 256 MiB. Decrypted bytes are not written to a terminal;\n"
            "with --json and no --out they are in the JSON.\n"
            "JSON: {\"container\": \"NAME\", \"alg\": \"3des\", \"mode\": \"cbc\", \"session_key\": \"FILE\",\n"
            "       \"bytes_in\": 40, \"bytes_out\": 37, \"out\": \"FILE\" or null, \"base64\": \"...\"}\n",
    .shared = kCardChoice | kPinInput | kMachineKeyset | kJsonOutput,
    .setup = Setup,
}};

}  // namespace
}  // namespace kelm::tool
