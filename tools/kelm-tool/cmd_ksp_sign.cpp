// kelm-tool ksp sign: files' hashes signed by a card key through the key storage provider, with
// one provider handle (one PIN) for all of them.
#include <cstdio>
#include <memory>

#include "card_access.h"
#include "card_keys.h"
#include "commands.h"
#include "key_storage.h"
#include "output.h"
#include "pin_entry.h"

namespace kelm::tool {
namespace {

struct SignArgs {
    KeyChoice key;
    std::string hash = "sha256", padding = "pkcs1";
    SignatureFiles files;
};

int RunSign(const Options& options, SignArgs& args) {
    args.key.Resolve();
    const std::vector<std::string> outputs = args.files.SignaturePaths(true);
    PinEntry pin(options);
    CardAccess access(options, CardUse::Provider);
    KeyStorage storage;
    const NCRYPT_KEY_HANDLE key = storage.OpenKey(args.key.container, args.key.key);
    std::u16string algorithm = Utf16(args.hash);  // the platform's algorithm names: "SHA256"
    for (char16_t& c : algorithm) c = c >= u'a' && c <= u'z' ? char16_t(c - u'a' + u'A') : c;
    BCRYPT_PKCS1_PADDING_INFO padding{reinterpret_cast<LPCWSTR>(algorithm.c_str())};
    Json signatures = Json::array();
    for (size_t i = 0; i < outputs.size(); ++i) {
        const std::string& file = args.files.files[i];
        std::vector<BYTE> hash = Digest(args.hash, file);
        DWORD size = 0;
        storage.Check(storage.table().SignHash(storage.provider(), key, &padding, hash.data(), DWORD(hash.size()), nullptr,
                                               0, &size, BCRYPT_PAD_PKCS1),
                      "cannot size the signature");
        std::vector<BYTE> signature(size);
        storage.Check(storage.table().SignHash(storage.provider(), key, &padding, hash.data(), DWORD(hash.size()),
                                               signature.data(), size, &size, BCRYPT_PAD_PKCS1),
                      "the card did not sign " + Printable(file), &pin);
        signature.resize(size);
        if (!outputs[i].empty() || !options.json) {
            WriteWhole(outputs[i], FormatSignature(signature, args.files.format), args.files.format == "raw");
        }
        signatures.push_back({{"file", file},
                              {"out", outputs[i].empty() ? Json() : Json(outputs[i])},
                              {"bytes", signature.size()},
                              {"signature", Base64(signature)}});
    }
    if (options.json) {
        PrintJson({{"container", args.key.container},
                   {"key", args.key.key},
                   {"hash", args.hash},
                   {"format", args.files.format},
                   {"signatures", signatures}});
    }
    return kExitOk;
}

Action Setup(CLI::App& command) {
    auto args = std::make_shared<SignArgs>();
    AddKeyOptions(command, &args->key);
    AddHashOption(command, &args->hash, HashPath::KeyStorage);
    command.add_option("--padding", args->padding, "the signature's padding (the card signs PKCS #1 v1.5)")
        ->transform(CLI::IsMember({"pkcs1"}).description(""))
        ->type_name("pkcs1");
    AddSignatureFileOptions(command, &args->files, true);
    return [args](const Options& options) { return RunSign(options, *args); };
}

const Registrar kRegistered{{
    .name = "ksp sign",
    .group = kGroupKeyStorage,
    .summary = "sign files with a card key through the key storage provider",
    .help = "Hashes each FILE and has the card sign the hash (PKCS #1 v1.5) through the key storage\n"
            "provider's function table (libKelmKSPv5.so, loaded as an application loads it), with one\n"
            "provider handle, so the PIN is asked once. The same signatures, files and formats as\n"
            "sign: big-endian; one FILE to -o FILE or standard output, several to FILE.sig (or\n"
            "--sig-dir DIR). The key storage provider signs md5, sha1, sha256, sha384 and sha512.\n"
            "Examples:\n"
            "  kelm-tool ksp sign --container alice -o report.sig report.txt\n"
            "  kelm-tool ksp sign --container alice --hash sha512 --format hex *.txt\n"
            "JSON: {\"container\": \"NAME\", \"key\": \"signature\", \"hash\": \"sha256\", \"format\": \"raw\",\n"
            "       \"signatures\": [{\"file\": \"FILE\", \"out\": \"FILE.sig\" or null, \"bytes\": 128,\n"
            "                      \"signature\": \"base64\"}]}\n",
    .shared = kCardChoice | kPinInput | kJsonOutput,
    .setup = Setup,
}};

}  // namespace
}  // namespace kelm::tool
