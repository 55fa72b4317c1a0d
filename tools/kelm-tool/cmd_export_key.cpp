// kelm-tool export-key: a container key's PUBLICKEYBLOB (or its PEM form), or a new session key
// as a SIMPLEBLOB wrapped with a container key, through CPExportKey.
#include <cstdio>
#include <memory>

#include "card_access.h"
#include "card_keys.h"
#include "commands.h"
#include "kelm/csp.h"
#include "kelm/winapi.h"
#include "output.h"
#include "pin_entry.h"
#include "provider_call.h"
#include "session_keys.h"

namespace kelm::tool {
namespace {

struct ExportArgs {
    KeyChoice key;
    std::string algorithm;  // --alg of a new session key (--blob simple)
    std::string blob = "publickey";
    std::string wrap_with = "exchange";
    std::string out;
    bool pem = false;
};

int RunExport(const Options& options, ExportArgs& args) {
    // The earlier spelling --key des|3des|3des-112 named the session key's algorithm.
    if (args.key.key == "des" || args.key.key == "3des" || args.key.key == "3des-112") {
        args.algorithm = args.key.key;
        args.key.key = "signature";
    }
    args.key.Resolve();
    const bool simple = args.blob == "simple";
    if (simple == args.algorithm.empty()) {
        Fail(kExitUsage, simple ? "--blob simple exports a new session key: give --alg des, 3des or 3des-112"
                                : "a session key leaves only wrapped: give --blob simple");
    }
    if (simple && args.pem) Fail(kExitUsage, "--pem is for --blob publickey");
    Bytes blob;
    Json described = {{"container", args.key.container}, {"key", args.key.key}, {"blob", args.blob}};
    CardAccess access(options, CardUse::Provider);
    if (simple) {
        PinEntry pin(options);
        ProviderContext provider(args.key.container.c_str(), KeysetFlags(options), ContainerWhat(args.key.container), &pin);
        const KeyChoice wrapping{args.key.container, args.wrap_with};
        const UserKey wrapper(provider.handle(), wrapping);
        const SessionKey key(provider.handle(), SessionAlgorithm(args.algorithm));
        blob = ExportKeyBlob(provider.handle(), key.handle(), wrapper.handle(), SIMPLEBLOB, pin,
                             "wrapping the session key with " + wrapping.Describe());
        described["alg"] = args.algorithm;
        described["wrap_with"] = args.wrap_with;
    } else {
        // Public-key work: a silent context and the key as the card gives it out, without the PIN
        // CPExportKey would ask for; the blob is the one CPExportKey makes.
        ProviderContext provider(args.key.container.c_str(), CRYPT_SILENT | KeysetFlags(options),
                                 ContainerWhat(args.key.container));
        const UserKey key(provider.handle(), args.key);
        const PublicKey public_key = CardPublicKey(args.key);
        blob = PublicKeyBlobOf(public_key, args.key.KeySpec());
        described["bits"] = public_key.modulus.size() * 8;
        described["exponent"] = HexBytes(public_key.exponent.data(), public_key.exponent.size(), "");
        if (args.pem) {
            const std::string pem = PublicKeyPem(public_key);
            blob.assign(pem.begin(), pem.end());
        }
    }
    described["bytes"] = blob.size();
    described["out"] = args.out.empty() ? Json() : Json(args.out);
    if (!args.out.empty() || !options.json) WriteWhole(args.out, blob, !args.pem);
    if (options.json) {
        if (args.out.empty()) described[args.pem ? "pem" : "base64"] = args.pem ? std::string(blob.begin(), blob.end()) : Base64(blob);
        PrintJson(described);
    } else if (!args.out.empty() && !options.quiet) {
        std::fprintf(stderr, "kelm-tool: export-key: wrote %s (%zu bytes)\n", Printable(args.out).c_str(), blob.size());
    }
    return kExitOk;
}

Action Setup(CLI::App& command) {
    auto args = std::make_shared<ExportArgs>();
    AddKeyOptions(command, &args->key);
    command.add_option("--blob", args->blob, "PUBLICKEYBLOB (the default) or SIMPLEBLOB")
        ->type_name("publickey|simple")
        ->transform(CLI::IsMember({"publickey", "simple"}).description(""));
    AddAlgorithmOption(command, &args->algorithm);
    command.add_option("--wrap-with", args->wrap_with, "the container key that wraps a SIMPLEBLOB (default exchange)")
        ->type_name("exchange|signature")
        ->transform(CLI::IsMember({"exchange", "signature"}).description(""));
    AddOutOption(command, &args->out, "where the blob goes (default: standard output)");
    command.add_flag("--pem", args->pem, "the public key as PEM SubjectPublicKeyInfo instead of the blob");
    return [args](const Options& options) { return RunExport(options, *args); };
}

const Registrar kRegistered{{
    .name = "export-key",
    .group = kGroupProvider,
    .summary = "export a public key blob, or a new session key wrapped as a SIMPLEBLOB",
    .help = "With --blob publickey (the default) exports the container key's public part as the\n"
            "provider's PUBLICKEYBLOB, read as the card gives it out to anyone (no PIN), which openssl\n"
            "rsa -pubin -inform MSBLOB reads, or with --pem as SubjectPublicKeyInfo. With --blob\n"
            "simple and --alg des|3des|3des-112 generates a session key from the card's\n"
            "randomness and exports it as a SIMPLEBLOB: PKCS #1 v1.5 encrypted with the container's\n"
            "exchange key (--wrap-with), least significant byte first; only that key's private half on\n"
            "the card unwraps it (kelm-tool decrypt --session-key). Private keys never leave the card.\n"
            "Blobs are not written to a terminal. With --json and no -o the blob is in the JSON.\n"
            "Examples:\n"
            "  kelm-tool export-key --container alice --key exchange -o alice-exchange.blob\n"
            "  kelm-tool export-key --container alice --blob simple --alg 3des -o session.key\n"
            "JSON: {\"container\": \"NAME\", \"key\": \"signature\", \"blob\": \"publickey\", \"bits\": 1024,\n"
            "       \"exponent\": \"010001\", \"bytes\": 148, \"out\": \"FILE\" or null, \"base64\": \"...\"}\n",
    .shared = kCardChoice | kPinInput | kMachineKeyset | kJsonOutput,
    .setup = Setup,
}};

}  // namespace
}  // namespace kelm::tool
