// Session keys and the data they encrypt, through the provider's entry points.
#include "session_keys.h"

#include <algorithm>

#include "kelm/csp.h"
#include "kelm/winapi.h"
#include "output.h"
#include "progress.h"
#include "provider_call.h"

namespace kelm::tool {
namespace {

// Whole 8-byte blocks, so that only the final call pads.
constexpr size_t kPiece = 64 * 1024;
constexpr size_t kBlock = 8;
constexpr BYTE kHeaderMagic[8] = {'K', 'E', 'L', 'M', 'E', 'N', 'C', 1};
constexpr size_t kHeaderFixed = 16;

struct Named {
    const char* name;
    DWORD value;
};
constexpr Named kAlgorithms[] = {{"des", CALG_DES}, {"3des", CALG_3DES}, {"3des-112", CALG_3DES_112}};
constexpr Named kModes[] = {
    {"cbc", CRYPT_MODE_CBC}, {"ecb", CRYPT_MODE_ECB}, {"cfb", CRYPT_MODE_CFB}, {"ofb", CRYPT_MODE_OFB}};

std::vector<std::string> NamesOf(const auto& table) {
    std::vector<std::string> names;
    for (const Named& entry : table) names.emplace_back(entry.name);
    return names;
}

DWORD ValueNamed(const auto& table, const std::string& name, const char* what) {
    for (const Named& entry : table) {
        if (name == entry.name) return entry.value;
    }
    Fail(kExitUsage, std::string("unknown ") + what + " '" + Printable(name) + "'");
}

}  // namespace

ALG_ID SessionAlgorithm(const std::string& name) { return ValueNamed(kAlgorithms, name, "algorithm"); }

std::string SessionAlgorithmName(ALG_ID algid) {
    for (const Named& entry : kAlgorithms) {
        if (entry.value == algid) return entry.name;
    }
    return "";
}

void AddAlgorithmOption(CLI::App& command, std::string* algorithm) {
    command.add_option("--alg", *algorithm, "the session key's algorithm (default 3des)")
        ->type_name("des|3des|3des-112")
        ->transform(CLI::IsMember(NamesOf(kAlgorithms), CLI::ignore_case).description(""));
}

DWORD SessionMode(const std::string& name) { return ValueNamed(kModes, name, "mode"); }

std::string SessionModeName(DWORD mode) {
    for (const Named& entry : kModes) {
        if (entry.value == mode) return entry.name;
    }
    return "";
}

Bytes IvFromHex(const std::string& hex) {
    Bytes bytes;
    if (!ParseHex(hex, &bytes) || bytes.size() != kBlock) Fail(kExitUsage, "--iv takes 8 bytes of hexadecimal");
    return bytes;
}

void AddModeOptions(CLI::App& command, std::string* mode, std::string* iv) {
    command.add_option("--mode", *mode, "the cipher mode (default cbc; cbc pads, ecb takes whole 8-byte blocks)")
        ->type_name("cbc|ecb|cfb|ofb")
        ->transform(CLI::IsMember(NamesOf(kModes), CLI::ignore_case).description(""));
    command.add_option("--iv", *iv, "the initialisation vector, 8 bytes of hexadecimal")->type_name("HEX");
}

SessionKey::SessionKey(HCRYPTPROV provider, ALG_ID algid) : provider_(provider) {
    if (!CPGenKey(provider, algid, CRYPT_EXPORTABLE, &handle_)) {
        FailCall("generating a " + SessionAlgorithmName(algid) + " session key");
    }
}

SessionKey::SessionKey(HCRYPTPROV provider, const Bytes& blob, const std::string& path, const UserKey& exchange,
                       const PinEntry& pin)
    : provider_(provider) {
    // Only a SIMPLEBLOB: a PUBLICKEYBLOB would import a key for one of the container's slots.
    if (blob.empty() || blob[0] != SIMPLEBLOB) Fail(kExitUsage, Printable(path) + " is not a SIMPLEBLOB");
    if (!CPImportKey(provider, blob.data(), static_cast<DWORD>(blob.size()), exchange.handle(), 0, &handle_)) {
        handle_ = 0;
        FailCall("unwrapping the session key in " + Printable(path), &pin);
    }
    if (SessionAlgorithmName(algid()).empty()) {
        CPDestroyKey(provider_, handle_);
        Fail(Printable(path) + " holds no DES or triple-DES session key");
    }
}

SessionKey::~SessionKey() {
    if (handle_ != 0) CPDestroyKey(provider_, handle_);
}

ALG_ID SessionKey::algid() const {
    ALG_ID algid = 0;
    DWORD size = sizeof algid;
    if (!CPGetKeyParam(provider_, handle_, KP_ALGID, reinterpret_cast<BYTE*>(&algid), &size, 0)) {
        FailCall("reading the session key's algorithm");
    }
    return algid;
}

void SessionKey::SetMode(DWORD mode, const Bytes& iv) const {
    if (!CPSetKeyParam(provider_, handle_, KP_MODE, reinterpret_cast<const BYTE*>(&mode), 0)) {
        FailCall("setting the mode " + SessionModeName(mode));
    }
    if (iv.empty()) return;
    if (mode == CRYPT_MODE_ECB) Fail(kExitUsage, "ECB uses no IV: leave out --iv");
    if (!CPSetKeyParam(provider_, handle_, KP_IV, iv.data(), 0)) FailCall("setting the IV");
}

Bytes SessionKey::Iv() const {
    Bytes iv(kBlock);
    DWORD size = static_cast<DWORD>(iv.size());
    if (!CPGetKeyParam(provider_, handle_, KP_IV, iv.data(), &size, 0)) FailCall("reading the IV");
    DWORD mode = 0, mode_size = sizeof mode;
    if (!CPGetKeyParam(provider_, handle_, KP_MODE, reinterpret_cast<BYTE*>(&mode), &mode_size, 0)) {
        FailCall("reading the mode");
    }
    if (mode == CRYPT_MODE_ECB) return {};
    iv.resize(std::min<size_t>(size, iv.size()));
    return iv;
}

void SessionKey::Run(bool encrypt, InputFile& input, OutputFile& output, bool quiet) const {
    DWORD mode = 0, mode_size = sizeof mode;
    if (!CPGetKeyParam(provider_, handle_, KP_MODE, reinterpret_cast<BYTE*>(&mode), &mode_size, 0)) {
        FailCall("reading the mode");
    }
    const char* kEcbWhole = "ECB needs a multiple of 8 bytes; use cbc, which pads, or cfb or ofb, which keep the length";
    if (mode == CRYPT_MODE_ECB && input.size() % kBlock != 0) Fail(kEcbWhole);
    Progress progress(encrypt ? "encrypting" : "decrypting", input.size(), quiet);
    Bytes piece = input.Read(kPiece);
    Bytes buffer(kPiece + kBlock);
    for (;;) {
        // One piece read ahead, so that the last call is the final one.
        Bytes next = piece.size() == kPiece ? input.Read(kPiece) : Bytes();
        const bool last = next.empty();
        if (last && mode == CRYPT_MODE_ECB && piece.size() % kBlock != 0) Fail(kEcbWhole);
        std::copy(piece.begin(), piece.end(), buffer.begin());
        DWORD size = static_cast<DWORD>(piece.size());
        const bool done = encrypt ? CPEncrypt(provider_, handle_, 0, last, 0, buffer.data(), &size,
                                              static_cast<DWORD>(buffer.size()))
                                  : CPDecrypt(provider_, handle_, 0, last, 0, buffer.data(), &size);
        if (!done) {
            if (!encrypt && GetLastError() == static_cast<DWORD>(NTE_BAD_DATA)) {
                Fail(last && mode == CRYPT_MODE_CBC && piece.size() % kBlock == 0
                         ? "the padding does not check out (" + ErrorText(GetLastError()) +
                               "): not the session key, mode or IV of its encryption, or damaged data; nothing was written"
                         : "the data is not whole 8-byte blocks (" + ErrorText(GetLastError()) + "): damaged or cut short");
            }
            FailCall(encrypt ? "encrypting" : "decrypting");
        }
        output.Write(buffer.data(), std::min<size_t>(size, buffer.size()));
        progress.Advance(piece.size());
        if (last) break;
        piece.swap(next);
    }
    std::fill(buffer.begin(), buffer.end(), BYTE{0});
}

Bytes HeaderBytes(const CipherHeader& header) {
    Bytes bytes(kHeaderMagic, kHeaderMagic + sizeof kHeaderMagic);
    for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<BYTE>(header.algid >> shift));
    bytes.insert(bytes.end(), {static_cast<BYTE>(header.mode), static_cast<BYTE>(header.iv.size()), 0, 0});
    bytes.insert(bytes.end(), header.iv.begin(), header.iv.end());
    return bytes;
}

CipherHeader ReadHeader(InputFile& input) {
    const Bytes fixed = input.Read(kHeaderFixed);
    if (fixed.size() < kHeaderFixed || !std::equal(kHeaderMagic, kHeaderMagic + sizeof kHeaderMagic, fixed.begin())) {
        Fail(kExitUsage, Printable(input.path()) + " does not start with encrypt's header: for bare ciphertext "
                                                   "give --raw with its --mode and --iv");
    }
    CipherHeader header;
    for (int i = 3; i >= 0; --i) header.algid = header.algid << 8 | fixed[8 + static_cast<size_t>(i)];
    header.mode = fixed[12];
    const size_t iv_length = fixed[13];
    if (SessionModeName(header.mode).empty() || (iv_length != 0 && iv_length != kBlock) ||
        (iv_length == 0) != (header.mode == CRYPT_MODE_ECB)) {
        Fail(Printable(input.path()) + ": its header is damaged (mode " + std::to_string(header.mode) + ", IV of " +
             std::to_string(iv_length) + " bytes)");
    }
    header.iv = input.Read(iv_length);
    if (header.iv.size() != iv_length) Fail(Printable(input.path()) + ": its header is cut short");
    return header;
}

}  // namespace kelm::tool
