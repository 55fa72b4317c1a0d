// kelm-tool encrypt: a file encrypted with a DES or triple-DES session key (CPEncrypt), the key
// either new and written wrapped with the container's exchange key, or unwrapped from such a file.
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

struct EncryptArgs {
    std::string container;
    std::string algorithm = "3des";
    std::string mode = "cbc";
    std::string iv;
    std::string new_key;
    std::string session_key;
    std::string out;
    std::string input;
};

int RunEncrypt(const Options& options, const EncryptArgs& args) {
    CheckContainerName(args.container);
    if (args.new_key.empty() == args.session_key.empty()) {
        Fail(kExitUsage, "give either --new-key FILE (a new session key, written wrapped) or --session-key FILE");
    }
    const Bytes blob = args.session_key.empty() ? Bytes() : ReadWhole(args.session_key, kLongestKeyBlob);
    const Bytes data = ReadWhole(args.input, kLongestCipherInput);
    PinEntry pin(options);
    CardAccess access(options, CardUse::Provider);
    ProviderContext provider(args.container.c_str(), KeysetFlags(options),
                             "container '" + Printable(args.container) + "'", &pin);
    const KeyChoice exchange{args.container, "exchange"};
    const UserKey wrapper(provider.handle(), exchange);
    const SessionKey key = args.new_key.empty()
                               ? SessionKey(provider.handle(), blob, args.session_key, wrapper, pin)
                               : SessionKey(provider.handle(), SessionAlgorithm(args.algorithm));
    const Bytes wrapped = args.new_key.empty() ? Bytes()
                                               : ExportKeyBlob(provider.handle(), key.handle(), wrapper.handle(),
                                                               SIMPLEBLOB, pin, "wrapping the session key with " +
                                                                                    exchange.Describe());
    key.SetMode(args.mode, args.iv);
    const Bytes iv = key.Iv();
    const Bytes encrypted = key.Encrypt(data);
    if (!wrapped.empty()) WriteWhole(args.new_key, wrapped, true);
    if (!args.out.empty() || !options.json) WriteWhole(args.out, encrypted, true);
    const std::string algorithm = SessionAlgorithmName(key.algid());
    const std::string iv_text = HexBytes(iv.data(), iv.size(), "");
    if (options.json) {
        Json described = {{"container", args.container},
                          {"alg", algorithm},
                          {"mode", args.mode},
                          {"iv", iv.empty() ? Json() : Json(iv_text)},
                          {"session_key", args.new_key.empty() ? args.session_key : args.new_key},
                          {"new_key", !args.new_key.empty()},
                          {"bytes_in", data.size()},
                          {"bytes_out", encrypted.size()},
                          {"out", args.out.empty() ? Json() : Json(args.out)}};
        if (args.out.empty()) described["base64"] = Base64(encrypted);
        PrintJson(described);
    } else if (!args.out.empty()) {
        std::printf("%s: %zu bytes (%s %s%s%s), session key %s %s\n", Printable(args.out).c_str(), encrypted.size(),
                    algorithm.c_str(), args.mode.c_str(), iv.empty() ? "" : ", IV ", iv_text.c_str(),
                    args.new_key.empty() ? "from" : "wrapped in",
                    Printable(args.new_key.empty() ? args.session_key : args.new_key).c_str());
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
    command.add_option("--out", args->out, "where the encrypted data goes (default: standard output)")->type_name("FILE");
    command.add_option("FILE", args->input, "the file encrypted; - for standard input")->type_name("")->required();
    return [args](const Options& options) { return RunEncrypt(options, *args); };
}

const Registrar kRegistered{{
    .name = "encrypt",
    .group = kGroupProvider,
    .summary = "encrypt a file with a session key wrapped by the container's exchange key",
    .help = "Encrypts FILE in software with a DES or triple-DES session key (CPEncrypt). With --new-key\n"
            "the key comes from the card's randomness (CPGenKey) and is written to that file as a\n"
            "SIMPLEBLOB wrapped with the container's exchange key (CPExportKey); with --session-key\n"
            "the key is unwrapped from such a file by the card, after the PIN (CPImportKey). CBC (the\n"
            "default) pads to whole 8-byte blocks as PKCS #5 does; ECB needs whole blocks; CFB (64-bit\n"
            "feedback) and OFB keep the length. Without --iv the key's own\n"
            "IV is used (from the card's randomness for a new key, zeros for an unwrapped one) and\n"
            "printed: decrypt needs it. Files up to 256 MiB. Encrypted bytes are not written to a\n"
            "terminal; with --json and no --out they are in the JSON.\n"
            "JSON: {\"container\": \"NAME\", \"alg\": \"3des\", \"mode\": \"cbc\", \"iv\": \"HEX\" or null,\n"
            "       \"session_key\": \"FILE\", \"new_key\": true, \"bytes_in\": 37, \"bytes_out\": 40,\n"
            "       \"out\": \"FILE\" or null, \"base64\": \"...\"}\n",
    .shared = kCardChoice | kPinInput | kMachineKeyset | kJsonOutput,
    .setup = Setup,
}};

}  // namespace
}  // namespace kelm::tool
