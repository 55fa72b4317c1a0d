// kelm-tool ksp encrypt and ksp decrypt: a key's public half from its certificate in the "My"
// store encrypts, the card's private key decrypts, both through the key storage provider.
#include <cstdio>
#include <memory>

#include "card_access.h"
#include "commands.h"
#include "key_storage.h"
#include "output.h"
#include "pin_entry.h"

namespace kelm::tool {
namespace {

struct CipherArgs {
    std::string key, kind = "exchange", padding = "pkcs1", oaep_hash = "sha1", file, output;
};

void Print(const Options& options, const CipherArgs& args, const std::vector<BYTE>& bytes, const char* member) {
    if (!args.output.empty()) WriteBytes(args.output, bytes);
    if (options.json) PrintJson({{"key", args.key}, {member, HexBytes(bytes.data(), bytes.size(), "")}});
    else if (args.output.empty()) std::printf("%s\n", HexBytes(bytes.data(), bytes.size(), "").c_str());
}

int RunEncrypt(const Options& options, const CipherArgs& args) {
    std::vector<BYTE> input = ReadBytes(args.file);
    CardAccess access(options, CardUse::Provider);
    KeyStorage storage;
    const NCRYPT_KEY_HANDLE key = storage.OpenKey(args.key, args.kind);
    std::u16string hash = Utf16(args.oaep_hash);
    for (char16_t& c : hash) c = c >= u'a' && c <= u'z' ? char16_t(c - u'a' + u'A') : c;
    BCRYPT_OAEP_PADDING_INFO oaep{reinterpret_cast<LPCWSTR>(hash.c_str()), nullptr, 0};
    const bool use_oaep = args.padding == "oaep";
    const DWORD flags = use_oaep ? NCRYPT_PAD_OAEP_FLAG : NCRYPT_PAD_PKCS1_FLAG;
    void* padding = use_oaep ? &oaep : nullptr;
    DWORD size = 0;
    storage.Check(storage.table().Encrypt(storage.provider(), key, input.data(), DWORD(input.size()), padding, nullptr, 0,
                                          &size, flags),
                  "cannot encrypt");
    std::vector<BYTE> output(size);
    storage.Check(storage.table().Encrypt(storage.provider(), key, input.data(), DWORD(input.size()), padding,
                                          output.data(), size, &size, flags),
                  "cannot encrypt");
    output.resize(size);
    Print(options, args, output, "ciphertext");
    return kExitOk;
}

int RunDecrypt(const Options& options, const CipherArgs& args) {
    std::vector<BYTE> input = ReadBytes(args.file), hex;
    if (ParseHex(std::string(input.begin(), input.end()), &hex) && !hex.empty()) input = hex;
    PinEntry pin(options);
    CardAccess access(options, CardUse::Provider);
    KeyStorage storage;
    const NCRYPT_KEY_HANDLE key = storage.OpenKey(args.key, args.kind);
    std::vector<BYTE> output(input.size());
    DWORD size = 0;
    storage.Check(storage.table().Decrypt(storage.provider(), key, input.data(), DWORD(input.size()), nullptr,
                                          output.data(), DWORD(output.size()), &size, NCRYPT_PAD_PKCS1_FLAG),
                  "the card did not decrypt (a PKCS #1 v1.5 ciphertext of this key is needed)", &pin);
    output.resize(size);
    Print(options, args, output, "plaintext");
    return kExitOk;
}

std::shared_ptr<CipherArgs> AddOptions(CLI::App& command, const char* file_help) {
    auto args = std::make_shared<CipherArgs>();
    AddKeyOptions(command, &args->key, &args->kind);
    command.add_option("--output,-o", args->output, "write the result's bytes to FILE")->type_name("FILE");
    command.add_option("FILE", args->file, file_help)->required()->type_name("");
    return args;
}

Action SetupEncrypt(CLI::App& command) {
    auto args = AddOptions(command, "the message (- for standard input)");
    args->kind = "signature";
    command.add_option("--padding", args->padding, "PKCS #1 v1.5 (default) or OAEP")
        ->check(CLI::IsMember({"pkcs1", "oaep"}))
        ->type_name("pkcs1|oaep");
    command.add_option("--oaep-hash", args->oaep_hash, "OAEP's hash: sha1 (default), sha256, ...")->type_name("HASH");
    return [args](const Options& options) { return RunEncrypt(options, *args); };
}

Action SetupDecrypt(CLI::App& command) {
    auto args = AddOptions(command, "the ciphertext: its bytes, or hexadecimal text");
    args->kind = "signature";
    return [args](const Options& options) { return RunDecrypt(options, *args); };
}

const Registrar kEncrypt{{
    .name = "ksp encrypt",
    .group = kGroupKeyStorage,
    .summary = "encrypt with the public key of a key's certificate",
    .help = "Encrypts FILE (PKCS #1 v1.5 or OAEP) through the key storage provider, with the public\n"
            "key of the certificate in the \"My\" store that names the key's container. The card is\n"
            "not asked. Prints the ciphertext in hexadecimal unless --output is given.\n"
            "JSON: {\"key\": \"NAME\", \"ciphertext\": \"...\"}\n",
    .shared = kCardChoice | kJsonOutput,
    .setup = SetupEncrypt,
}};

const Registrar kDecrypt{{
    .name = "ksp decrypt",
    .group = kGroupKeyStorage,
    .summary = "decrypt with a card key",
    .help = "Has the card decrypt FILE through the key storage provider, after the PIN. The card\n"
            "removes PKCS #1 v1.5 padding only: an OAEP ciphertext is refused. Prints the message in\n"
            "hexadecimal unless --output is given.\n"
            "JSON: {\"key\": \"NAME\", \"plaintext\": \"...\"}\n",
    .shared = kCardChoice | kPinInput | kJsonOutput,
    .setup = SetupDecrypt,
}};

}  // namespace
}  // namespace kelm::tool
