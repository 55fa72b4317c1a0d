// kelm-tool sign: files' hashes signed with a container's key, through CPHashData and CPSignHash,
// all in one provider context: one PIN and one connection for any number of files.
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
    std::string hash = "sha256";
    SignatureFiles files;
};

Bytes Sign(HCRYPTPROV provider, const SignArgs& args, const std::string& file, const PinEntry& pin) {
    const FileHash hash(provider, args.hash, file);
    DWORD length = 0;
    Bytes signature;
    if (CPSignHash(provider, hash.handle(), args.key.KeySpec(), nullptr, 0, nullptr, &length)) {
        signature.resize(length);
        if (!CPSignHash(provider, hash.handle(), args.key.KeySpec(), nullptr, 0, signature.data(), &length)) {
            signature.clear();
        }
    }
    if (signature.empty()) FailCall("signing " + Printable(file) + " with " + args.key.Describe(), &pin);
    signature.resize(length);
    // The provider hands signatures out least significant byte first; files hold them as every
    // PKCS #1 verifier reads them, most significant byte first.
    std::reverse(signature.begin(), signature.end());
    return signature;
}

int RunSign(const Options& options, SignArgs& args) {
    args.key.Resolve();
    const std::vector<std::string> outputs = args.files.SignaturePaths(true);
    PinEntry pin(options);
    CardAccess access(options, CardUse::Provider);
    ProviderContext provider(args.key.container.c_str(), KeysetFlags(options), ContainerWhat(args.key.container), &pin);
    const UserKey key(provider.handle(), args.key);  // names a missing key before any file is read
    Json signatures = Json::array();
    for (size_t i = 0; i < args.files.files.size(); ++i) {
        const Bytes signature = Sign(provider.handle(), args, args.files.files[i], pin);
        const std::string& out = outputs[i];
        if (!out.empty() || !options.json) {
            WriteWhole(out, FormatSignature(signature, args.files.format), args.files.format == "raw");
        }
        signatures.push_back({{"file", args.files.files[i]},
                              {"out", out.empty() ? Json() : Json(out)},
                              {"bytes", signature.size()},
                              {"signature", Base64(signature)}});
    }
    if (options.json) {
        PrintJson({{"container", args.key.container},
                   {"key", args.key.key},
                   {"hash", args.hash},
                   {"format", args.files.format},
                   {"signatures", signatures}});
    } else if (outputs.size() > 1 && !options.quiet) {
        std::fprintf(stderr, "kelm-tool: sign: %zu signatures written (%s)\n", outputs.size(),
                     args.files.dir.empty() ? "FILE.sig beside each file" : ("in " + Printable(args.files.dir)).c_str());
    }
    return kExitOk;
}

Action Setup(CLI::App& command) {
    auto args = std::make_shared<SignArgs>();
    AddKeyOptions(command, &args->key);
    AddHashOption(command, &args->hash, HashPath::Provider);
    AddSignatureFileOptions(command, &args->files, true);
    return [args](const Options& options) { return RunSign(options, *args); };
}

const Registrar kRegistered{{
    .name = "sign",
    .group = kGroupProvider,
    .summary = "sign files' hashes with a container's key on the card",
    .help = "Hashes each FILE with the provider's hash object (CPHashData) and has the card sign the\n"
            "hash with the container's key (CPSignHash, PKCS #1 v1.5), all in one provider context, so\n"
            "the PIN is asked once however many files there are. Signatures are big-endian (most\n"
            "significant byte first), as OpenSSL and every PKCS #1 verifier read them: openssl dgst\n"
            "-sha256 -verify pub.pem -signature SIG FILE checks one with the key of kelm-tool pubkey.\n"
            "The provider signs md5, sha1, sha256 and ssl3-shamd5 (the MD5 and SHA-1 values without\n"
            "DigestInfo). One FILE's signature goes to -o FILE or standard output (raw bytes not to a\n"
            "terminal); with several files each goes to FILE.sig beside it, or DIR/BASENAME.sig with\n"
            "--sig-dir DIR. With --json and no -o the signature is only in the JSON.\n"
            "Examples:\n"
            "  kelm-tool sign --container alice -o report.sig report.txt\n"
            "  kelm-tool sign --container alice --format base64 *.pdf      # each to FILE.sig\n"
            "JSON: {\"container\": \"NAME\", \"key\": \"signature\", \"hash\": \"sha256\", \"format\": \"raw\",\n"
            "       \"signatures\": [{\"file\": \"FILE\", \"out\": \"FILE.sig\" or null, \"bytes\": 128,\n"
            "                      \"signature\": \"base64\"}]}\n",
    .shared = kCardChoice | kPinInput | kMachineKeyset | kJsonOutput,
    .setup = Setup,
}};

}  // namespace
}  // namespace kelm::tool
