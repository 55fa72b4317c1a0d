// kelm-tool encrypt: a file encrypted with a DES or triple-DES session key (CPEncrypt), the key
// either new and written wrapped with the container's exchange key, or unwrapped from such a file.
// The output starts with a small header naming the mode and IV, so decrypt needs only the key.
#include <cstdio>
#include <memory>
#include <optional>

#include "card_access.h"
#include "card_keys.h"
#include "commands.h"
#include "files.h"
#include "kelm/csp.h"
#include "kelm/winapi.h"
#include "output.h"
#include "pin_entry.h"
#include "provider_call.h"
#include "session_keys.h"

namespace kelm::tool {
namespace {

constexpr size_t kLongestKeyBlob = 4096;

struct EncryptArgs {
    std::string container;
    std::string algorithm = "3des";
    std::string mode = "cbc";
    std::string iv;
    std::string new_key;
    std::string session_key;
    std::string out;
    std::string input;
    bool raw = false;
    bool force = false;
};

// A fresh IV from the card's randomness, for a key whose own IV is zero (an unwrapped one).
Bytes FreshIv(HCRYPTPROV provider) {
    Bytes iv(8);
    if (!CPGenRandom(provider, static_cast<DWORD>(iv.size()), iv.data())) FailCall("an IV from the card");
    return iv;
}

int RunEncrypt(const Options& options, const EncryptArgs& args) {
    CheckContainerName(args.container);
    if (args.new_key.empty() == args.session_key.empty()) {
        Fail(kExitUsage, "give either --new-key FILE (a new session key, written wrapped) or --session-key FILE");
    }
    if (options.json && (args.out.empty() || args.out == "-")) {
        Fail(kExitUsage, "with --json give -o FILE: the JSON document takes standard output");
    }
    if (!args.new_key.empty() && args.new_key == args.out) Fail(kExitUsage, "--new-key and --out name the same file");
    const DWORD mode = SessionMode(args.mode);
    const Bytes given_iv = args.iv.empty() ? Bytes() : IvFromHex(args.iv);
    // Said before the card is asked anything: no key or data of an earlier run is replaced.
    RefuseExisting(args.new_key, args.force, "--new-key");
    RefuseExisting(args.out, args.force, "--out");
    const Bytes blob = args.session_key.empty() ? Bytes() : ReadWhole(args.session_key, kLongestKeyBlob);
    InputFile input(args.input);
    PinEntry pin(options);
    CardAccess access(options, CardUse::Provider);
    ProviderContext provider(args.container.c_str(), KeysetFlags(options), ContainerWhat(args.container), &pin);
    const KeyChoice exchange{args.container, "exchange"};
    const UserKey wrapper(provider.handle(), exchange);
    const SessionKey key = args.new_key.empty()
                               ? SessionKey(provider.handle(), blob, args.session_key, wrapper, pin)
                               : SessionKey(provider.handle(), SessionAlgorithm(args.algorithm));
    const Bytes wrapped = args.new_key.empty() ? Bytes()
                                               : ExportKeyBlob(provider.handle(), key.handle(), wrapper.handle(),
                                                               SIMPLEBLOB, pin, "wrapping the session key with " +
                                                                                    exchange.Describe());
    const bool fresh_iv = given_iv.empty() && !args.session_key.empty() && mode != CRYPT_MODE_ECB;
    key.SetMode(mode, fresh_iv ? FreshIv(provider.handle()) : given_iv);
    const Bytes iv = key.Iv();
    const ALG_ID algid = key.algid();

    std::optional<OutputFile> key_file;
    if (!args.new_key.empty()) key_file.emplace(args.new_key, true, args.force, "--new-key");
    OutputFile out(args.out, true, args.force, "--out");
    if (!args.raw) out.Write(HeaderBytes({algid, mode, iv}));
    key.Run(true, input, out, options.quiet);
    // The key first: data that reached its name always has its key beside it.
    if (key_file) {
        key_file->Write(wrapped);
        key_file->Commit();
    }
    try {
        out.Commit();
    } catch (const ToolError&) {
        if (key_file) key_file->Remove();
        throw;
    }
    const std::string algorithm = SessionAlgorithmName(algid);
    const std::string iv_text = HexBytes(iv.data(), iv.size(), "");
    const std::string key_path = args.new_key.empty() ? args.session_key : args.new_key;
    if (options.json) {
        PrintJson({{"container", args.container},
                   {"alg", algorithm},
                   {"mode", args.mode},
                   {"iv", iv.empty() ? Json() : Json(iv_text)},
                   {"header", !args.raw},
                   {"session_key", key_path},
                   {"new_key", !args.new_key.empty()},
                   {"bytes_in", input.size()},
                   {"bytes_out", out.written()},
                   {"out", args.out}});
    }
    if (!options.quiet) {
        std::fprintf(stderr, "kelm-tool: encrypt: wrote %s (%llu bytes, %s %s%s%s)%s%s%s\n",
                     out.to_stdout() ? "standard output" : Printable(args.out).c_str(), out.written(), algorithm.c_str(),
                     args.mode.c_str(), iv.empty() ? "" : args.raw ? ", IV " : ", the IV in its header",
                     args.raw ? iv_text.c_str() : "", args.new_key.empty() ? "" : " and the session key ",
                     args.new_key.empty() ? "" : Printable(args.new_key).c_str(),
                     args.raw && !iv.empty() ? "; decrypt --raw needs that IV" : "");
    }
    return kExitOk;
}

Action Setup(CLI::App& command) {
    auto args = std::make_shared<EncryptArgs>();
    command.add_option("--container", args->container, "the container whose exchange key wraps the session key")
        ->type_name("NAME")
        ->required();
    AddAlgorithmOption(command, &args->algorithm);
    AddModeOptions(command, &args->mode, &args->iv);
    auto* made = command.add_option("--new-key", args->new_key, "make a session key and write it here as a SIMPLEBLOB")
                     ->type_name("FILE");
    command.add_option("--session-key", args->session_key, "use the session key of this SIMPLEBLOB file")
        ->type_name("FILE")
        ->excludes(made)
        ->excludes("--alg");
    AddOutOption(command, &args->out, "where the encrypted data goes (default: standard output)");
    command.add_flag("--raw", args->raw, "bare ciphertext, without the header (the IV is then printed)");
    command.add_flag("--force", args->force, "replace an existing --out or --new-key file");
    command.add_option("FILE", args->input, "the file encrypted; - for standard input")->type_name("")->required();
    return [args](const Options& options) { return RunEncrypt(options, *args); };
}

const Registrar kRegistered{{
    .name = "encrypt",
    .group = kGroupProvider,
    .summary = "encrypt a file with a session key wrapped by the container's exchange key",
    .help = "Encrypts FILE in software with a DES or triple-DES session key (CPEncrypt), streaming it\n"
            "in 64 KiB pieces. With --new-key the key comes from the card's randomness (CPGenKey) and is\n"
            "written to that file as a SIMPLEBLOB wrapped with the container's exchange key\n"
            "(CPExportKey); with --session-key the key is unwrapped from such a file by the card, after\n"
            "the PIN (CPImportKey), and a fresh IV comes from the card. CBC (the default) pads to whole\n"
            "8-byte blocks as PKCS #5 does; ECB needs whole blocks; CFB (64-bit feedback) and OFB keep\n"
            "the length. The output starts with a 16-byte header (\"KELMENC\", version 1, the key's\n"
            "ALG_ID, the mode, the IV's length) and the IV, so decrypt needs only the session key;\n"
            "--raw writes the bare ciphertext, as openssl enc -K KEY -iv IV does. Existing files are\n"
            "not replaced without --force; a failure leaves neither file. What was written is said on\n"
            "stderr. Encrypted bytes are not written to a terminal.\n"
            "Examples:\n"
            "  kelm-tool encrypt --container alice --new-key report.key -o report.enc report.txt\n"
            "  kelm-tool encrypt --container alice --session-key report.key -o more.enc more.txt\n"
            "JSON (needs -o): {\"container\": \"NAME\", \"alg\": \"3des\", \"mode\": \"cbc\", \"iv\": \"HEX\" or null,\n"
            "       \"header\": true, \"session_key\": \"FILE\", \"new_key\": true, \"bytes_in\": 37,\n"
            "       \"bytes_out\": 64, \"out\": \"FILE\"}\n",
    .shared = kCardChoice | kPinInput | kMachineKeyset | kJsonOutput,
    .setup = Setup,
}};

}  // namespace
}  // namespace kelm::tool
