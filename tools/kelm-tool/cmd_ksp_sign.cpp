// kelm-tool ksp sign: a file's hash signed by a card key through the key storage provider.
#include <cstdio>
#include <memory>

#include "card_access.h"
#include "commands.h"
#include "key_storage.h"
#include "output.h"
#include "pin_entry.h"

namespace kelm::tool {
namespace {

struct SignArgs {
    std::string key, kind = "signature", hash = "sha256", padding = "pkcs1", file, output;
};

int RunSign(const Options& options, const SignArgs& args) {
    std::vector<BYTE> hash = Digest(args.hash, ReadBytes(args.file));
    PinEntry pin(options);
    CardAccess access(options, CardUse::Provider);
    KeyStorage storage;
    const NCRYPT_KEY_HANDLE key = storage.OpenKey(args.key, args.kind);
    const std::u16string algorithm = Utf16(args.hash);
    BCRYPT_PKCS1_PADDING_INFO padding{reinterpret_cast<LPCWSTR>(algorithm.c_str())};
    DWORD size = 0;
    storage.Check(storage.table().SignHash(storage.provider(), key, &padding, hash.data(), DWORD(hash.size()), nullptr, 0,
                                           &size, BCRYPT_PAD_PKCS1),
                  "cannot size the signature");
    std::vector<BYTE> signature(size);
    storage.Check(storage.table().SignHash(storage.provider(), key, &padding, hash.data(), DWORD(hash.size()),
                                           signature.data(), size, &size, BCRYPT_PAD_PKCS1),
                  "the card did not sign", &pin);
    signature.resize(size);
    if (!args.output.empty()) WriteBytes(args.output, signature);
    if (options.json) {
        PrintJson({{"key", args.key}, {"hash", args.hash}, {"digest", HexBytes(hash.data(), hash.size(), "")},
                   {"signature", HexBytes(signature.data(), signature.size(), "")}});
    } else {
        std::printf("%s\n", HexBytes(signature.data(), signature.size(), "").c_str());
    }
    return kExitOk;
}

Action Setup(CLI::App& command) {
    auto args = std::make_shared<SignArgs>();
    AddKeyOptions(command, &args->key, &args->kind);
    command.add_option("--hash", args->hash, "md5, sha1, sha256 (default), sha384 or sha512")->type_name("HASH");
    command.add_option("--padding", args->padding, "the signature's padding (the card signs PKCS #1 v1.5)")
        ->check(CLI::IsMember({"pkcs1"}))
        ->type_name("pkcs1");
    command.add_option("--output,-o", args->output, "also write the signature's bytes to FILE")->type_name("FILE");
    command.add_option("FILE", args->file, "the data to hash and sign (- for standard input)")->required()->type_name("");
    return [args](const Options& options) { return RunSign(options, *args); };
}

const Registrar kRegistered{{
    .name = "ksp sign",
    .group = kGroupKeyStorage,
    .summary = "sign a file with a card key through the key storage provider",
    .help = "Hashes FILE and has the card sign the hash (PKCS #1 v1.5) through the key storage\n"
            "provider's function table (libKelmKSPv5.so, loaded as an application loads it). Prints\n"
            "the signature in hexadecimal, most significant byte first.\n"
            "JSON: {\"key\": \"NAME\", \"hash\": \"sha256\", \"digest\": \"...\", \"signature\": \"...\"}\n",
    .shared = kCardChoice | kPinInput | kJsonOutput,
    .setup = Setup,
}};

}  // namespace
}  // namespace kelm::tool
