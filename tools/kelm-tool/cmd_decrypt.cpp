// kelm-tool decrypt: a file decrypted with the session key a SIMPLEBLOB file carries, unwrapped by
// the card with the container's exchange key (CPImportKey, CPDecrypt); the mode and IV come from
// the header encrypt wrote.
#include <cstdio>
#include <memory>

#include "card_access.h"
#include "card_keys.h"
#include "commands.h"
#include "files.h"
#include "kelm/csp.h"
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
    std::string mode;
    std::string iv;
    std::string session_key;
    std::string out;
    std::string input;
    bool raw = false;
    bool force = false;
};

int RunDecrypt(const Options& options, const DecryptArgs& args) {
    CheckContainerName(args.container);
    if (options.json && (args.out.empty() || args.out == "-")) {
        Fail(kExitUsage, "with --json give -o FILE: the JSON document takes standard output");
    }
    if (!args.raw && (!args.mode.empty() || !args.iv.empty())) {
        Fail(kExitUsage, "the header of " + Printable(args.input) + " names the mode and IV; --mode and --iv go with --raw");
    }
    RefuseExisting(args.out, args.force, "--out");
    const Bytes blob = ReadWhole(args.session_key, kLongestKeyBlob);
    InputFile input(args.input);
    CipherHeader header;
    if (args.raw) {
        header.mode = SessionMode(args.mode.empty() ? "cbc" : args.mode);
        if (args.iv.empty() && header.mode != CRYPT_MODE_ECB) {
            Fail(kExitUsage, "--iv is needed with --raw in " + SessionModeName(header.mode) + " mode: the IV of its encryption");
        }
        if (!args.iv.empty()) header.iv = IvFromHex(args.iv);
    } else {
        header = ReadHeader(input);
    }
    PinEntry pin(options);
    CardAccess access(options, CardUse::Provider);
    ProviderContext provider(args.container.c_str(), KeysetFlags(options), ContainerWhat(args.container), &pin);
    const UserKey exchange(provider.handle(), KeyChoice{args.container, "exchange"});
    const SessionKey key(provider.handle(), blob, args.session_key, exchange, pin);
    const ALG_ID algid = key.algid();
    if (!args.raw && header.algid != algid) {
        Fail(Printable(args.input) + " was encrypted with " + SessionAlgorithmName(header.algid) + ", the key in " +
             Printable(args.session_key) + " is " + SessionAlgorithmName(algid) + ": not the key of its encryption");
    }
    key.SetMode(header.mode, header.iv);
    OutputFile out(args.out, true, args.force, "--out");
    key.Run(false, input, out, options.quiet);
    out.Commit();
    const std::string algorithm = SessionAlgorithmName(algid);
    const std::string mode = SessionModeName(header.mode);
    if (options.json) {
        PrintJson({{"container", args.container},
                   {"alg", algorithm},
                   {"mode", mode},
                   {"session_key", args.session_key},
                   {"bytes_in", input.size()},
                   {"bytes_out", out.written()},
                   {"out", args.out}});
    }
    if (!options.quiet) {
        std::fprintf(stderr, "kelm-tool: decrypt: wrote %s (%llu bytes, %s %s)\n",
                     out.to_stdout() ? "standard output" : Printable(args.out).c_str(), out.written(), algorithm.c_str(),
                     mode.c_str());
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
    AddOutOption(command, &args->out, "where the decrypted data goes (default: standard output)");
    command.add_flag("--raw", args->raw, "FILE is bare ciphertext without encrypt's header: give --mode and --iv");
    command.add_flag("--force", args->force, "replace an existing --out file");
    command.add_option("FILE", args->input, "the file decrypted; - for standard input")->type_name("")->required();
    return [args](const Options& options) { return RunDecrypt(options, *args); };
}

const Registrar kRegistered{{
    .name = "decrypt",
    .group = kGroupProvider,
    .summary = "decrypt a file with a session key unwrapped by the card",
    .help = "Has the card unwrap the session key of a SIMPLEBLOB file with the container's exchange key,\n"
            "after the PIN (CPImportKey), and decrypts FILE with it in software (CPDecrypt), streaming it.\n"
            "The mode and IV come from the header encrypt wrote; for bare ciphertext (encrypt --raw,\n"
            "openssl enc) give --raw with the --mode and --iv of its encryption. CBC padding that does\n"
            "not check out fails (status 1) and leaves no output file; an existing file is not replaced\n"
            "without --force. To standard output, what came before a failure has been written.\n"
            "Examples:\n"
            "  kelm-tool decrypt --container alice --session-key report.key -o report.txt report.enc\n"
            "  kelm-tool decrypt --container alice --session-key k --raw --iv 0011223344556677 data.bin\n"
            "JSON (needs -o): {\"container\": \"NAME\", \"alg\": \"3des\", \"mode\": \"cbc\", \"session_key\": \"FILE\",\n"
            "       \"bytes_in\": 64, \"bytes_out\": 37, \"out\": \"FILE\"}\n",
    .shared = kCardChoice | kPinInput | kMachineKeyset | kJsonOutput,
    .setup = Setup,
}};

}  // namespace
}  // namespace kelm::tool
