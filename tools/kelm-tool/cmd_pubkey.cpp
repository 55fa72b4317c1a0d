// kelm-tool pubkey: a container key's public part, exported as a PUBLICKEYBLOB (CPExportKey) and
// written as PEM, for OpenSSL and anyone else who checks the card's signatures.
#include <cstdio>
#include <memory>

#include "card_access.h"
#include "card_keys.h"
#include "commands.h"
#include "output.h"
#include "provider_call.h"

namespace kelm::tool {
namespace {

struct PubkeyArgs {
    KeyChoice key;
    std::string out;
};

int RunPubkey(const Options& options, PubkeyArgs& args) {
    args.key.Resolve();
    CardAccess access(options, CardUse::Provider);
    // Silent, and the key read as the card gives it out: public-key work asks for no PIN.
    ProviderContext provider(args.key.container.c_str(), CRYPT_SILENT | KeysetFlags(options),
                             ContainerWhat(args.key.container));
    const UserKey key(provider.handle(), args.key);
    const PublicKey public_key = CardPublicKey(args.key);
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
    AddOutOption(command, &args->out, "where the PEM goes (default: standard output)");
    return [args](const Options& options) { return RunPubkey(options, *args); };
}

const Registrar kRegistered{{
    .name = "pubkey",
    .group = kGroupProvider,
    .summary = "write a container key's public key as PEM",
    .help = "Reads the key's public part as the card gives it out to anyone (no PIN is asked; the\n"
            "provider's CPExportKey would ask for one) and writes it as PEM SubjectPublicKeyInfo\n"
            "(\"BEGIN PUBLIC KEY\"), which openssl dgst -verify and openssl x509 -force_pubkey read. With\n"
            "--json and no -o the PEM is only in the JSON.\n"
            "Examples:\n"
            "  kelm-tool pubkey --container alice -o alice.pem\n"
            "JSON: {\"container\": \"NAME\", \"key\": \"signature\", \"bits\": 1024, \"exponent\": \"010001\",\n"
            "       \"pem\": \"-----BEGIN PUBLIC KEY-----...\"}\n",
    .shared = kCardChoice | kPinInput | kMachineKeyset | kJsonOutput,
    .setup = Setup,
}};

}  // namespace
}  // namespace kelm::tool
