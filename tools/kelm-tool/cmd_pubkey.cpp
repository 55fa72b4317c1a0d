// kelm-tool pubkey: a container key's public part, exported as a PUBLICKEYBLOB (CPExportKey) and
// written as PEM, for OpenSSL and anyone else who checks the card's signatures.
#include <cstdio>
#include <memory>

#include "card_access.h"
#include "card_keys.h"
#include "commands.h"
#include "output.h"
#include "pin_entry.h"
#include "provider_call.h"

namespace kelm::tool {
namespace {

struct PubkeyArgs {
    KeyChoice key;
    std::string out;
};

int RunPubkey(const Options& options, const PubkeyArgs& args) {
    CheckContainerName(args.key.container);
    PinEntry pin(options);
    CardAccess access(options, CardUse::Provider);
    ProviderContext provider(args.key.container.c_str(), KeysetFlags(options),
                             "container '" + Printable(args.key.container) + "'", &pin);
    const UserKey key(provider.handle(), args.key);
    const PublicKey public_key = ExportPublicKey(provider.handle(), key, pin);
    const std::string pem = PublicKeyPem(public_key);
    if (!args.out.empty() || !options.json) WriteWhole(args.out, Bytes(pem.begin(), pem.end()), false);
    if (options.json) {
        PrintJson({{"container", args.key.container},
                   {"key", args.key.key},
                   {"bits", public_key.modulus.size() * 8},
                   {"exponent", HexBytes(public_key.exponent.data(), public_key.exponent.size(), "")},
                   {"pem", pem}});
    }
    return kExitOk;
}

Action Setup(CLI::App& command) {
    auto args = std::make_shared<PubkeyArgs>();
    AddKeyOptions(command, &args->key);
    command.add_option("--out", args->out, "where the PEM goes (default: standard output)")->type_name("FILE");
    return [args](const Options& options) { return RunPubkey(options, *args); };
}

const Registrar kRegistered{{
    .name = "pubkey",
    .group = kGroupProvider,
    .summary = "write a container key's public key as PEM",
    .help = "Exports the key's public part from the card (CPExportKey, PUBLICKEYBLOB; the card gives it\n"
            "out after the PIN) and writes it as PEM SubjectPublicKeyInfo (\"BEGIN PUBLIC KEY\"), which\n"
            "openssl dgst -verify and openssl x509 -force_pubkey read. With --json and no --out the PEM\n"
            "is only in the JSON.\n"
            "JSON: {\"container\": \"NAME\", \"key\": \"signature\", \"bits\": 1024, \"exponent\": \"010001\",\n"
            "       \"pem\": \"-----BEGIN PUBLIC KEY-----...\"}\n",
    .shared = kCardChoice | kPinInput | kMachineKeyset | kJsonOutput,
    .setup = Setup,
}};

}  // namespace
}  // namespace kelm::tool
