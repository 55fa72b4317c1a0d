// kelm-tool ksp encrypt and ksp decrypt: a key's public half from its certificate in the "My"
// store encrypts, the card's private key decrypts, both through the key storage provider.
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

constexpr size_t kLongestMessage = 4096;

struct CipherArgs {
    KeyChoice key;
    std::string padding = "pkcs1", oaep_hash = "sha1", format = "raw", file, out;
};

void Print(const Options& options, const CipherArgs& args, const std::vector<BYTE>& bytes, const char* member) {
    if (!args.out.empty() || !options.json) WriteWhole(args.out, FormatSignature(bytes, args.format), args.format == "raw");
    if (options.json) PrintJson({{"container", args.key.container}, {"key", args.key.key}, {member, Base64(bytes)}});
}

int RunEncrypt(const Options& options, CipherArgs& args) {
    args.key.Resolve();
    std::vector<BYTE> input = ReadWhole(args.file, kLongestMessage);
    // Said before anything is encrypted to a key the user did not mean.
    if (const std::string problem = StoreCertificateProblem(args.key); !problem.empty()) Fail(problem);
    CardAccess access(options, CardUse::Provider);
    KeyStorage storage;
    const NCRYPT_KEY_HANDLE key = storage.OpenKey(args.key.container, args.key.key);
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

int RunDecrypt(const Options& options, CipherArgs& args) {
    args.key.Resolve();
    std::vector<BYTE> input = ReadWhole(args.file, kLongestMessage), hex;
    // Hexadecimal text is taken as the bytes it spells (as earlier releases printed ciphertexts).
    std::string text(input.begin(), input.end());
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    if (ParseHex(text, &hex) && !hex.empty()) input = hex;
    PinEntry pin(options);
    CardAccess access(options, CardUse::Provider);
    KeyStorage storage;
    const NCRYPT_KEY_HANDLE key = storage.OpenKey(args.key.container, args.key.key);
    std::vector<BYTE> output(input.size());
    DWORD size = 0;
    const SECURITY_STATUS status = storage.table().Decrypt(storage.provider(), key, input.data(), DWORD(input.size()),
                                                           nullptr, output.data(), DWORD(output.size()), &size,
                                                           NCRYPT_PAD_PKCS1_FLAG);
    if (status == static_cast<SECURITY_STATUS>(ERROR_MORE_DATA)) {
        // The provider reports every failed decryption with this one code.
        std::string text = "the card could not decrypt " + Printable(args.file) + " with " + args.key.Describe() +
                           " (" + ErrorText(ERROR_MORE_DATA) + "): not a PKCS #1 v1.5 ciphertext made for this key";
        const std::string problem = StoreCertificateProblem(args.key);
        if (problem.rfind("no certificate", 0) != 0 && !problem.empty()) text += "; note that " + problem;
        if (LastPinVerificationStatus() != 0) pin.ExplainFailure();
        Fail(text);
    }
    storage.Check(status, "the card did not decrypt", &pin);
    output.resize(size);
    Print(options, args, output, "plaintext");
    return kExitOk;
}

std::shared_ptr<CipherArgs> AddOptions(CLI::App& command, const char* file_help, const char* format_help) {
    auto args = std::make_shared<CipherArgs>();
    AddKeyOptions(command, &args->key);
    AddOutOption(command, &args->out, "where the result goes (default: standard output)");
    AddFormatOption(command, &args->format, format_help);
    command.add_option("FILE", args->file, file_help)->required()->type_name("");
    return args;
}

Action SetupEncrypt(CLI::App& command) {
    auto args = AddOptions(command, "the message, at most the key's length less the padding (- for standard input)",
                           "how the ciphertext is written: raw bytes (the default), hex or base64");
    command.add_option("--padding", args->padding, "PKCS #1 v1.5 (default) or OAEP")
        ->transform(CLI::IsMember({"pkcs1", "oaep"}).description(""))
        ->type_name("pkcs1|oaep");
    command.add_option("--oaep-hash", args->oaep_hash, "OAEP's hash: sha1 (default), sha256, ...")->type_name("HASH");
    return [args](const Options& options) { return RunEncrypt(options, *args); };
}

Action SetupDecrypt(CLI::App& command) {
    auto args = AddOptions(command, "the ciphertext: its bytes or hexadecimal text (- for standard input)",
                           "how the message is written: raw bytes (the default), hex or base64");
    return [args](const Options& options) { return RunDecrypt(options, *args); };
}

const Registrar kEncrypt{{
    .name = "ksp encrypt",
    .group = kGroupKeyStorage,
    .summary = "encrypt with the public key of a key's certificate",
    .help = "Encrypts FILE (PKCS #1 v1.5 or OAEP) through the key storage provider, with the public\n"
            "key of the first certificate in the \"My\" store that names the key's container; a --key\n"
            "whose certificate the store cannot tell apart is refused. The card is not asked.\n"
            "Examples:\n"
            "  kelm-tool ksp encrypt --container bob --key exchange -o secret.bin secret.txt\n"
            "JSON: {\"container\": \"NAME\", \"key\": \"exchange\", \"ciphertext\": \"base64\"}\n",
    .shared = kCardChoice | kJsonOutput,
    .setup = SetupEncrypt,
}};

const Registrar kDecrypt{{
    .name = "ksp decrypt",
    .group = kGroupKeyStorage,
    .summary = "decrypt with a card key",
    .help = "Has the card decrypt FILE with the key through the key storage provider, after the PIN.\n"
            "The card removes PKCS #1 v1.5 padding only: an OAEP ciphertext, or one made for another\n"
            "key, is refused.\n"
            "Examples:\n"
            "  kelm-tool ksp decrypt --container bob --key exchange -o secret.txt secret.bin\n"
            "JSON: {\"container\": \"NAME\", \"key\": \"exchange\", \"plaintext\": \"base64\"}\n",
    .shared = kCardChoice | kPinInput | kJsonOutput,
    .setup = SetupDecrypt,
}};

}  // namespace
}  // namespace kelm::tool
