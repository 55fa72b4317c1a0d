// kelm-tool sign: a file's hash signed with a container's key, through CPHashData and CPSignHash.
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

struct SignArgs {
    KeyChoice key;
    std::string hash;
    std::string out;
    std::string format = "raw";
    std::string input;
};

int RunSign(const Options& options, const SignArgs& args) {
    CheckContainerName(args.key.container);
    PinEntry pin(options);
    CardAccess access(options, CardUse::Provider);
    ProviderContext provider(args.key.container.c_str(), KeysetFlags(options),
                             "container '" + Printable(args.key.container) + "'", &pin);
    const UserKey key(provider.handle(), args.key);  // names a missing key before the file is read
    const FileHash hash(provider.handle(), args.hash, args.input);
    DWORD length = 0;
    Bytes signature;
    if (CPSignHash(provider.handle(), hash.handle(), args.key.KeySpec(), nullptr, 0, nullptr, &length)) {
        signature.resize(length);
        if (!CPSignHash(provider.handle(), hash.handle(), args.key.KeySpec(), nullptr, 0, signature.data(), &length)) {
            signature.clear();
        }
    }
    if (signature.empty()) FailCall("signing with " + args.key.Describe(), &pin);
    signature.resize(length);
    // The provider hands signatures out least significant byte first; files hold them as every
    // PKCS #1 verifier reads them, most significant byte first.
    std::reverse(signature.begin(), signature.end());
    const std::string text = Base64(signature) + "\n";
    if (!args.out.empty() || !options.json) {
        WriteWhole(args.out, args.format == "raw" ? signature : Bytes(text.begin(), text.end()), args.format == "raw");
    }
    if (options.json) {
        PrintJson({{"container", args.key.container},
                   {"key", args.key.key},
                   {"hash", args.hash},
                   {"bytes", signature.size()},
                   {"out", args.out.empty() ? Json() : Json(args.out)},
                   {"signature", Base64(signature)}});
    }
    return kExitOk;
}

Action Setup(CLI::App& command) {
    auto args = std::make_shared<SignArgs>();
    AddKeyOptions(command, &args->key);
    AddHashOption(command, &args->hash);
    command.add_option("--out", args->out, "where the signature goes (default: standard output)")->type_name("FILE");
    command.add_option("--format", args->format, "raw bytes (the default) or base64 text")
        ->type_name("raw|base64")
        ->check(CLI::IsMember({"raw", "base64"}).description(""));
    command.add_option("FILE", args->input, "the file signed; - for standard input")->type_name("")->required();
    return [args](const Options& options) { return RunSign(options, *args); };
}

const Registrar kRegistered{{
    .name = "sign",
    .group = kGroupProvider,
    .summary = "sign a file's hash with a container's key on the card",
    .help = "Hashes FILE with the provider's hash object (CPHashData) and has the card sign the hash\n"
            "with the container's key (CPSignHash, PKCS #1 v1.5), asking for the PIN. The signature is\n"
            "written big-endian (most significant byte first), as OpenSSL and every PKCS #1 verifier\n"
            "read it: openssl dgst -sha256 -verify pub.pem -signature SIG FILE checks it with the key\n"
            "of kelm-tool pubkey. The provider signs md5, sha1, sha256 and ssl3-shamd5 (the MD5 and\n"
            "SHA-1 values without DigestInfo); it refuses sha384 and sha512. Raw bytes are not written\n"
            "to a terminal. With --json and no --out the signature is only in the JSON.\n"
            "JSON: {\"container\": \"NAME\", \"key\": \"signature\", \"hash\": \"sha256\", \"bytes\": 128,\n"
            "       \"out\": \"FILE\" or null, \"signature\": \"base64\"}\n",
    .shared = kCardChoice | kPinInput | kMachineKeyset | kJsonOutput,
    .setup = Setup,
}};

}  // namespace
}  // namespace kelm::tool
