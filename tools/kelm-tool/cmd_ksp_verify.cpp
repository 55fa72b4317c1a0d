// kelm-tool ksp verify: a signature checked with the public key of the key's certificate in the
// "My" store, through the key storage provider.
#include <cstdio>
#include <memory>

#include "card_access.h"
#include "commands.h"
#include "key_storage.h"
#include "output.h"

namespace kelm::tool {
namespace {

struct VerifyArgs {
    std::string key, kind = "signature", hash = "sha256", file, signature;
};

int RunVerify(const Options& options, const VerifyArgs& args) {
    std::vector<BYTE> hash = Digest(args.hash, ReadBytes(args.file));
    std::vector<BYTE> signature;
    if (!ParseHex(args.signature, &signature)) signature = ReadBytes(args.signature);
    CardAccess access(options, CardUse::Provider);
    KeyStorage storage;
    const NCRYPT_KEY_HANDLE key = storage.OpenKey(args.key, args.kind);
    const SECURITY_STATUS status = storage.table().VerifySignature(storage.provider(), key, nullptr, hash.data(),
                                                                   DWORD(hash.size()), signature.data(),
                                                                   DWORD(signature.size()), BCRYPT_PAD_PKCS1);
    if (status != NTE_BAD_SIGNATURE) storage.Check(status, "cannot verify");
    if (options.json) PrintJson({{"key", args.key}, {"valid", status == 0}});
    else std::printf("%s\n", status == 0 ? "signature valid" : "signature NOT valid");
    return status == 0 ? kExitOk : kExitFailure;
}

Action Setup(CLI::App& command) {
    auto args = std::make_shared<VerifyArgs>();
    AddKeyOptions(command, &args->key, &args->kind);
    command.add_option("--hash", args->hash, "md5, sha1, sha256 (default), sha384 or sha512")->type_name("HASH");
    command.add_option("FILE", args->file, "the signed data (- for standard input)")->required()->type_name("");
    command.add_option("SIGNATURE", args->signature, "the signature in hexadecimal, or a file holding its bytes")
        ->required()
        ->type_name("");
    return [args](const Options& options) { return RunVerify(options, *args); };
}

const Registrar kRegistered{{
    .name = "ksp verify",
    .group = kGroupKeyStorage,
    .summary = "check a signature with the key's certificate",
    .help = "Hashes FILE and checks SIGNATURE (PKCS #1 v1.5) through the key storage provider, which\n"
            "takes the public key from the certificate in the current user's \"My\" store whose key\n"
            "provider information names the key's container (see 'store add'). Exits 1 when the\n"
            "signature does not verify.\n"
            "JSON: {\"key\": \"NAME\", \"valid\": true}\n",
    .shared = kCardChoice | kJsonOutput,
    .setup = Setup,
}};

}  // namespace
}  // namespace kelm::tool
