// kelm-tool verify: signatures of files checked through CPVerifySignature and, where the card
// cannot judge them, with the public key the card gives out; one provider context for all files,
// and no PIN.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>

#include "card_access.h"
#include "card_keys.h"
#include "commands.h"
#include "kelm/csp.h"
#include "kelm/winapi.h"
#include "output.h"
#include "provider_call.h"

namespace kelm::tool {
namespace {

constexpr size_t kLongestSignature = 4096;

struct VerifyArgs {
    KeyChoice key;
    std::string hash = "sha256";
    SignatureFiles files;
};

int RunVerify(const Options& options, VerifyArgs& args) {
    args.key.Resolve();
    const std::vector<std::string> signatures = args.files.SignaturePaths(false);
    CardAccess access(options, CardUse::Provider);
    // Silent: checking a signature is public-key work, and no PIN is asked for it.
    ProviderContext provider(args.key.container.c_str(), CRYPT_SILENT | KeysetFlags(options),
                             ContainerWhat(args.key.container));
    const UserKey key(provider.handle(), args.key);
    std::optional<PublicKey> public_key;  // read once, when the card cannot judge
    Json results = Json::array();
    bool all_good = true;
    for (size_t i = 0; i < args.files.files.size(); ++i) {
        const std::string& file = args.files.files[i];
        const Bytes signature =
            ParseSignature(ReadWhole(signatures[i], kLongestSignature), args.files.format, signatures[i]);
        if (signature.empty()) Fail(kExitUsage, Printable(signatures[i]) + " is empty");
        const FileHash hash(provider.handle(), args.hash, file);
        Bytes little_endian(signature.rbegin(), signature.rend());
        bool good = CPVerifySignature(provider.handle(), hash.handle(), little_endian.data(),
                                      static_cast<DWORD>(little_endian.size()), key.handle(), nullptr, 0);
        const DWORD refusal = good ? 0 : GetLastError();
        if (refusal != 0 && refusal != static_cast<DWORD>(NTE_BAD_SIGNATURE) && refusal != static_cast<DWORD>(NTE_BAD_ALGID)) {
            FailCall("verifying with " + args.key.Describe());
        }
        // The card judges 128-byte signatures of MD5 and SHA-1 hashes only; any other is checked
        // with the public key the card gives out.
        const bool card_judges = signature.size() == 128 && (hash.algid() == CALG_MD5 || hash.algid() == CALG_SHA1);
        if (!good && !card_judges) {
            if (!public_key) public_key = CardPublicKey(args.key);
            good = SignatureMatches(*public_key, hash.algid(), hash.Value(), signature);
        }
        all_good = all_good && good;
        const char* checker = card_judges ? "the card" : "the card's public key";
        results.push_back({{"file", file}, {"signature", signatures[i]}, {"verified", good},
                           {"checked_by", card_judges ? "card" : "public key"}});
        if (options.json) continue;
        const std::string prefix = args.files.files.size() > 1 ? Printable(file) + ": " : "";
        if (good) std::printf("%ssignature good (checked by %s)\n", prefix.c_str(), checker);
        else if (args.files.files.size() > 1) std::printf("%ssignature BAD (checked by %s)\n", prefix.c_str(), checker);
        else Fail("the signature does not match " + Printable(file) + " (checked by " + checker + ")");
    }
    if (options.json) {
        PrintJson({{"container", args.key.container}, {"key", args.key.key}, {"hash", args.hash},
                   {"verified", all_good}, {"files", results}});
    }
    return all_good ? kExitOk : kExitFailure;
}

Action Setup(CLI::App& command) {
    auto args = std::make_shared<VerifyArgs>();
    AddKeyOptions(command, &args->key);
    AddHashOption(command, &args->hash, HashPath::Provider);
    AddSignatureFileOptions(command, &args->files, false);
    return [args](const Options& options) { return RunVerify(options, *args); };
}

const Registrar kRegistered{{
    .name = "verify",
    .group = kGroupProvider,
    .summary = "check files' signatures with a container's key",
    .help = "Hashes each FILE with the provider's hash object and checks its signature (big-endian, as\n"
            "sign writes it) through CPVerifySignature, the card doing the public-key operation. The\n"
            "card judges 128-byte signatures of md5 and sha1 hashes only; any other (sha256,\n"
            "ssl3-shamd5, a 2048-bit key's) is checked with the public key the card gives out. No PIN\n"
            "is asked. One FILE's signature is --signature SIG (default FILE.sig); with several files\n"
            "each one's is FILE.sig, or DIR/BASENAME.sig with --sig-dir DIR. Exit status 0 when every\n"
            "signature is good, 1 when one is not.\n"
            "Examples:\n"
            "  kelm-tool verify --container alice --signature report.sig report.txt\n"
            "  kelm-tool verify --container alice --format base64 *.pdf      # each FILE.sig\n"
            "JSON: {\"container\": \"NAME\", \"key\": \"signature\", \"hash\": \"sha256\", \"verified\": true,\n"
            "       \"files\": [{\"file\": \"FILE\", \"signature\": \"SIG\", \"verified\": true,\n"
            "                  \"checked_by\": \"card\" or \"public key\"}]}\n",
    .shared = kCardChoice | kPinInput | kMachineKeyset | kJsonOutput,
    .setup = Setup,
}};

}  // namespace
}  // namespace kelm::tool
