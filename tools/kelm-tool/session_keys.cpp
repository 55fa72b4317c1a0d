// Session keys and the data they encrypt, through the provider's entry points.
#include "session_keys.h"

#include <algorithm>

#include "kelm/csp.h"
#include "kelm/winapi.h"
#include "output.h"
#include "provider_call.h"

namespace kelm::tool {
namespace {

// Whole 8-byte blocks, so that only the final call pads.
constexpr size_t kPiece = 64 * 1024;
constexpr size_t kBlock = 8;

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
        ->check(CLI::IsMember(NamesOf(kAlgorithms)).description(""));
}

void AddModeOptions(CLI::App& command, std::string* mode, std::string* iv) {
    command.add_option("--mode", *mode, "the cipher mode (default cbc; cbc pads, ecb takes whole 8-byte blocks)")
        ->type_name("cbc|ecb|cfb|ofb")
        ->check(CLI::IsMember(NamesOf(kModes)).description(""));
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

void SessionKey::SetMode(const std::string& mode, const std::string& iv) const {
    const DWORD value = ValueNamed(kModes, mode, "mode");
    if (!CPSetKeyParam(provider_, handle_, KP_MODE, reinterpret_cast<const BYTE*>(&value), 0)) {
        FailCall("setting the mode " + mode);
    }
    if (iv.empty()) return;
    Bytes bytes;
    if (!ParseHex(iv, &bytes) || bytes.size() != kBlock) Fail(kExitUsage, "--iv takes 8 bytes of hexadecimal");
    if (value == CRYPT_MODE_ECB) Fail(kExitUsage, "ECB uses no IV: leave out --iv");
    if (!CPSetKeyParam(provider_, handle_, KP_IV, bytes.data(), 0)) FailCall("setting the IV");
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

Bytes SessionKey::Encrypt(const Bytes& data) const {
    Bytes out;
    out.reserve(data.size() + kBlock);
    size_t at = 0;
    do {
        const size_t length = std::min(kPiece, data.size() - at);
        const bool last = at + length == data.size();
        Bytes piece(length + kBlock);
        std::copy_n(data.begin() + static_cast<long>(at), length, piece.begin());
        DWORD size = static_cast<DWORD>(length);
        if (!CPEncrypt(provider_, handle_, 0, last, 0, piece.data(), &size, static_cast<DWORD>(piece.size()))) {
            FailCall("encrypting");
        }
        out.insert(out.end(), piece.begin(), piece.begin() + std::min<long>(size, static_cast<long>(piece.size())));
        at += length;
    } while (at < data.size());
    return out;
}

Bytes SessionKey::Decrypt(const Bytes& data) const {
    Bytes out;
    out.reserve(data.size());
    size_t at = 0;
    do {
        const size_t length = std::min(kPiece, data.size() - at);
        const bool last = at + length == data.size();
        Bytes piece(data.begin() + static_cast<long>(at), data.begin() + static_cast<long>(at + length));
        DWORD size = static_cast<DWORD>(length);
        if (!CPDecrypt(provider_, handle_, 0, last, 0, piece.data(), &size)) {
            if (GetLastError() == static_cast<DWORD>(NTE_BAD_DATA)) {
                Fail(ErrorText(GetLastError()) + ": the data does not decrypt (not whole 8-byte blocks, "
                     "or a wrong key, mode or IV, or damaged data)");
            }
            FailCall("decrypting");
        }
        out.insert(out.end(), piece.begin(), piece.begin() + std::min<long>(size, static_cast<long>(piece.size())));
        at += length;
    } while (at < data.size());
    return out;
}

}  // namespace kelm::tool
