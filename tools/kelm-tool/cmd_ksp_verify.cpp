// kelm-tool ksp verify: signatures checked with the public key of the key's certificate in the
// "My" store, through the key storage provider.
#include <cstdio>
#include <memory>

#include "card_access.h"
#include "card_keys.h"
#include "commands.h"
#include "key_storage.h"
#include "output.h"

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
    // The earlier spelling: ksp verify --key NAME FILE SIGNATURE, the signature in hexadecimal
    // or a file of its bytes.
    std::vector<Bytes> signatures;
    if (args.key.named_by_key && args.files.given.empty() && args.files.dir.empty() && args.files.files.size() == 2) {
        Bytes given;
        if (!ParseHex(args.files.files[1], &given)) given = ReadWhole(args.files.files[1], kLongestSignature);
        args.files.files.pop_back();
        signatures.push_back(given);
    }
    const std::vector<std::string> paths = args.files.SignaturePaths(false);
    for (size_t i = signatures.size(); i < paths.size(); ++i) {
        signatures.push_back(ParseSignature(ReadWhole(paths[i], kLongestSignature), args.files.format, paths[i]));
    }
    if (const std::string problem = StoreCertificateProblem(args.key); !problem.empty()) Fail(problem);
    CardAccess access(options, CardUse::Provider);
    KeyStorage storage;
    const NCRYPT_KEY_HANDLE key = storage.OpenKey(args.key.container, args.key.key);
    std::u16string algorithm = Utf16(args.hash);  // the platform's algorithm names: "SHA256"
    for (char16_t& c : algorithm) c = c >= u'a' && c <= u'z' ? char16_t(c - u'a' + u'A') : c;
    BCRYPT_PKCS1_PADDING_INFO padding{reinterpret_cast<LPCWSTR>(algorithm.c_str())};
    Json results = Json::array();
    bool all_good = true;
    for (size_t i = 0; i < paths.size(); ++i) {
        const std::string& file = args.files.files[i];
        std::vector<BYTE> hash = Digest(args.hash, file);
        Bytes& signature = signatures[i];
        const SECURITY_STATUS status = storage.table().VerifySignature(storage.provider(), key, &padding, hash.data(),
                                                                       DWORD(hash.size()), signature.data(),
                                                                       DWORD(signature.size()), BCRYPT_PAD_PKCS1);
        if (status != NTE_BAD_SIGNATURE) storage.Check(status, "cannot verify " + Printable(file));
        const bool good = status == 0;
        all_good = all_good && good;
        results.push_back({{"file", file}, {"signature", paths[i].empty() ? Json() : Json(paths[i])}, {"verified", good},
                           {"checked_by", "certificate"}});
        if (options.json) continue;
        const std::string prefix = paths.size() > 1 ? Printable(file) + ": " : "";
        std::printf("%ssignature %s (checked by the certificate's public key)\n", prefix.c_str(), good ? "good" : "BAD");
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
    AddHashOption(command, &args->hash, HashPath::KeyStorage);
    AddSignatureFileOptions(command, &args->files, false);
    return [args](const Options& options) { return RunVerify(options, *args); };
}

const Registrar kRegistered{{
    .name = "ksp verify",
    .group = kGroupKeyStorage,
    .summary = "check signatures with the key's certificate",
    .help = "Hashes each FILE and checks its signature (PKCS #1 v1.5, big-endian as sign writes it)\n"
            "through the key storage provider, which takes the public key from the first certificate\n"
            "in the current user's \"My\" store whose key provider information names the container\n"
            "(see 'store add'); a --key whose certificate the store cannot tell apart is refused. The\n"
            "same signature files and formats as verify. Exits 1 when a signature does not verify.\n"
            "Examples:\n"
            "  kelm-tool ksp verify --container alice --signature report.sig report.txt\n"
            "JSON: {\"container\": \"NAME\", \"key\": \"signature\", \"hash\": \"sha256\", \"verified\": true,\n"
            "       \"files\": [{\"file\": \"FILE\", \"signature\": \"SIG\", \"verified\": true,\n"
            "                  \"checked_by\": \"certificate\"}]}\n",
    .shared = kCardChoice | kJsonOutput,
    .setup = Setup,
}};

}  // namespace
}  // namespace kelm::tool
