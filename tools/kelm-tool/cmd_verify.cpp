// kelm-tool verify: a signature of a file checked through CPVerifySignature, and, where the card
// cannot judge it, with the card's public key.
#include <algorithm>
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

namespace kelm::tool {
namespace {

constexpr size_t kLongestSignature = 4096;

struct VerifyArgs {
    KeyChoice key;
    std::string hash;
    std::string signature;
    std::string format = "raw";
    std::string input;
};

int RunVerify(const Options& options, const VerifyArgs& args) {
    CheckContainerName(args.key.container);
    Bytes signature = ReadWhole(args.signature, kLongestSignature);
    if (args.format == "base64" && !FromBase64(std::string(signature.begin(), signature.end()), &signature)) {
        Fail(kExitUsage, Printable(args.signature) + " is not base64 text");
    }
    if (signature.empty()) Fail(kExitUsage, Printable(args.signature) + " is empty");
    PinEntry pin(options);
    CardAccess access(options, CardUse::Provider);
    ProviderContext provider(args.key.container.c_str(), KeysetFlags(options),
                             "container '" + Printable(args.key.container) + "'", &pin);
    const UserKey key(provider.handle(), args.key);
    const FileHash hash(provider.handle(), args.hash, args.input);
    Bytes little_endian(signature.rbegin(), signature.rend());
    bool good = CPVerifySignature(provider.handle(), hash.handle(), little_endian.data(),
                                  static_cast<DWORD>(little_endian.size()), key.handle(), nullptr, 0);
    const DWORD refusal = good ? 0 : GetLastError();
    if (refusal != 0 && refusal != static_cast<DWORD>(NTE_BAD_SIGNATURE) && refusal != static_cast<DWORD>(NTE_BAD_ALGID)) {
        FailCall("verifying with " + args.key.Describe(), &pin);
    }
    // The card judges 128-byte signatures of MD5 and SHA-1 hashes only; any other is checked
    // with the public key the card gives out.
    const bool card_judges = signature.size() == 128 && (hash.algid() == CALG_MD5 || hash.algid() == CALG_SHA1);
    if (!good && !card_judges) {
        good = SignatureMatches(ExportPublicKey(provider.handle(), key, pin), hash.algid(), hash.Value(), signature);
    }
    const char* checker = card_judges ? "the card" : "the card's public key";
    if (options.json) {
        PrintJson({{"verified", good}, {"checked_by", card_judges ? "card" : "public key"}});
        return good ? kExitOk : kExitFailure;
    }
    if (!good) Fail("the signature does not match " + Printable(args.input) + " (checked by " + checker + ")");
    std::printf("signature good (checked by %s)\n", checker);
    return kExitOk;
}

Action Setup(CLI::App& command) {
    auto args = std::make_shared<VerifyArgs>();
    AddKeyOptions(command, &args->key);
    AddHashOption(command, &args->hash);
    command.add_option("--signature", args->signature, "the signature, big-endian as sign writes it")
        ->type_name("FILE")
        ->required();
    command.add_option("--format", args->format, "the signature file holds raw bytes (the default) or base64")
        ->type_name("raw|base64")
        ->check(CLI::IsMember({"raw", "base64"}).description(""));
    command.add_option("FILE", args->input, "the file signed; - for standard input")->type_name("")->required();
    return [args](const Options& options) { return RunVerify(options, *args); };
}

const Registrar kRegistered{{
    .name = "verify",
    .group = kGroupProvider,
    .summary = "check a file's signature with a container's key",
    .help = "Hashes FILE with the provider's hash object and checks the signature (big-endian, as sign\n"
            "writes it) through CPVerifySignature, the card doing the public-key operation. The card\n"
            "judges 128-byte signatures of md5 and sha1 hashes only; any other (sha256, ssl3-shamd5, a\n"
            "2048-bit key's) is checked with the public key the card gives out (CPExportKey), which may\n"
            "ask for the PIN. Exit status 0 for a good signature, 1 for a bad one.\n"
            "JSON: {\"verified\": true, \"checked_by\": \"card\" or \"public key\"}\n",
    .shared = kCardChoice | kPinInput | kMachineKeyset | kJsonOutput,
    .setup = Setup,
}};

}  // namespace
}  // namespace kelm::tool
