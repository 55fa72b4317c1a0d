// Keys, hashes, public keys and whole files for the key commands.
#include "card_keys.h"

#include <mbedtls/base64.h>
#include <mbedtls/pk.h>
#include <mbedtls/rsa.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "card/card_files.h"
#include "card/apdu_transport.h"
#include "card/rsa_operations.h"
#include "kelm/csp.h"
#include "kelm/winapi.h"
#include "output.h"
#include "provider_call.h"

namespace kelm::tool {
namespace {

constexpr size_t kReadChunk = 64 * 1024;

struct HashName {
    const char* name;
    ALG_ID algid;
    mbedtls_md_type_t md;  // for the check in software
};
constexpr HashName kHashes[] = {
    {"md5", CALG_MD5, MBEDTLS_MD_MD5},          {"sha1", CALG_SHA1, MBEDTLS_MD_SHA1},
    {"sha256", CALG_SHA_256, MBEDTLS_MD_SHA256}, {"sha384", CALG_SHA_384, MBEDTLS_MD_SHA384},
    {"sha512", CALG_SHA_512, MBEDTLS_MD_SHA512}, {"ssl3-shamd5", CALG_SSL3_SHAMD5, MBEDTLS_MD_NONE},
};

const HashName& HashNamed(const std::string& name) {
    std::string lower = name;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    for (const HashName& hash : kHashes) {
        if (lower == hash.name) return hash;
    }
    Fail(kExitUsage, "unknown hash '" + Printable(name) + "'");
}

// A provider hash object, destroyed unless handed on.
struct HashHandle {
    HCRYPTPROV provider;
    HCRYPTHASH handle = 0;
    HashHandle(HCRYPTPROV prov, const HashName& hash) : provider(prov) {
        if (CPCreateHash(prov, hash.algid, 0, 0, &handle)) return;
        if (GetLastError() == static_cast<DWORD>(NTE_BAD_ALGID)) {
            Fail(std::string(hash.name) + ": " + ErrorText(GetLastError()) +
                 ": the provider hashes and signs with md5, sha1, sha256 and ssl3-shamd5 only");
        }
        FailCall(std::string("creating a ") + hash.name + " hash");
    }
    ~HashHandle() {
        if (handle != 0) CPDestroyHash(provider, handle);
    }
    HashHandle(const HashHandle&) = delete;
    HashHandle& operator=(const HashHandle&) = delete;
    void Feed(const Bytes& data) const {
        if (!CPHashData(provider, handle, data.data(), static_cast<DWORD>(data.size()), 0)) FailCall("hashing");
    }
};

Bytes HashValue(HCRYPTPROV provider, HCRYPTHASH hash) {
    Bytes value(64);
    DWORD size = static_cast<DWORD>(value.size());
    if (!CPGetHashParam(provider, hash, HP_HASHVAL, value.data(), &size, 0)) FailCall("reading the hash value");
    value.resize(size);
    return value;
}

// The file, or standard input for "-"; closed when it goes.
struct Input {
    std::FILE* file;
    std::string path;
    explicit Input(const std::string& name) : file(name == "-" ? stdin : std::fopen(name.c_str(), "rb")), path(name) {
        if (file == nullptr) Fail("cannot read " + Printable(name) + ": " + std::strerror(errno));
    }
    ~Input() {
        if (file != stdin) std::fclose(file);
    }
    // The next chunk; empty at the end.
    Bytes Next() {
        Bytes chunk(kReadChunk);
        chunk.resize(std::fread(chunk.data(), 1, chunk.size(), file));
        if (chunk.empty() && std::ferror(file)) Fail("cannot read " + Printable(path) + ": " + std::strerror(errno));
        return chunk;
    }
};

}  // namespace

void KeyChoice::Resolve() {
    if (key != "signature" && key != "exchange") {
        if (!container.empty()) Fail(kExitUsage, "--key takes signature or exchange, not '" + Printable(key) + "'");
        container = key;  // the earlier --key NAME
        key = "signature";
        named_by_key = true;
    }
    if (!kind.empty()) {
        if (kind != "signature" && kind != "exchange") Fail(kExitUsage, "--kind takes signature or exchange");
        key = kind;
    }
    if (container.empty()) Fail(kExitUsage, "--container NAME is required");
    CheckContainerName(container);
}

DWORD KeyChoice::KeySpec() const { return key == "exchange" ? AT_KEYEXCHANGE : AT_SIGNATURE; }

std::string KeyChoice::Describe() const { return "the " + key + " key of '" + Printable(container) + "'"; }

void AddKeyOptions(CLI::App& command, KeyChoice* choice) {
    command.add_option("--container", choice->container, "the key container")->type_name("NAME");
    command.add_option("--key", choice->key, "the container's signature key (the default) or exchange key")
        ->type_name("signature|exchange");
    AddHiddenAlias(command, "--kind", &choice->kind);
}

void AddHashOption(CLI::App& command, std::string* hash, HashPath path) {
    std::vector<std::string> names;
    std::string shown;
    for (const HashName& name : kHashes) {
        const bool offered = path == HashPath::Provider ? name.algid != CALG_SHA_384 && name.algid != CALG_SHA_512
                                                        : name.algid != CALG_SSL3_SHAMD5;
        if (!offered) continue;
        names.emplace_back(name.name);
        shown += (shown.empty() ? "" : "|") + std::string(name.name);
    }
    command.add_option("--hash", *hash, "the hash signed (default sha256; any case)")
        ->type_name(shown)
        ->transform(CLI::IsMember(names, CLI::ignore_case).description(""));
}

void AddFormatOption(CLI::App& command, std::string* format, const char* description) {
    command.add_option("--format", *format, description)
        ->type_name("raw|hex|base64")
        ->transform(CLI::IsMember({"raw", "hex", "base64"}, CLI::ignore_case).description(""));
}

Bytes FormatSignature(const Bytes& signature, const std::string& format) {
    if (format == "raw") return signature;
    std::string text = format == "hex" ? HexBytes(signature.data(), signature.size(), "") : Base64(signature);
    if (format == "hex") std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    text += "\n";
    return Bytes(text.begin(), text.end());
}

Bytes ParseSignature(const Bytes& file, const std::string& format, const std::string& path) {
    if (format == "raw") return file;
    const std::string text(file.begin(), file.end());
    Bytes bytes;
    std::string compact;
    for (const char c : text) {
        if (c != '\n' && c != '\r') compact += c;
    }
    const bool read = format == "hex" ? ParseHex(compact, &bytes) : FromBase64(text, &bytes);
    if (!read) Fail(kExitUsage, Printable(path) + " is not " + (format == "hex" ? "hexadecimal" : "base64") + " text");
    return bytes;
}

UserKey::UserKey(HCRYPTPROV provider, const KeyChoice& choice) : provider_(provider) {
    if (!CPGetUserKey(provider, choice.KeySpec(), &handle_)) {
        if (GetLastError() == static_cast<DWORD>(NTE_NO_KEY)) Fail(choice.Describe() + ": the container has no such key");
        FailCall(choice.Describe());
    }
}

UserKey::~UserKey() {
    if (handle_ != 0) CPDestroyKey(provider_, handle_);
}

FileHash::FileHash(HCRYPTPROV provider, const std::string& hash, const std::string& path) : provider_(provider) {
    const HashName& name = HashNamed(hash);
    algid_ = name.algid;
    HashHandle result(provider, name);
    Input input(path);
    if (name.algid != CALG_SSL3_SHAMD5) {
        for (Bytes chunk = input.Next(); !chunk.empty(); chunk = input.Next()) result.Feed(chunk);
    } else {
        // The SSL3 value has no algorithm of its own: it is MD5 and SHA-1 of the data, set as one.
        const HashHandle md5(provider, HashNamed("md5")), sha1(provider, HashNamed("sha1"));
        for (Bytes chunk = input.Next(); !chunk.empty(); chunk = input.Next()) md5.Feed(chunk), sha1.Feed(chunk);
        Bytes value = HashValue(provider, md5.handle);
        const Bytes second = HashValue(provider, sha1.handle);
        value.insert(value.end(), second.begin(), second.end());
        if (!CPSetHashParam(provider, result.handle, HP_HASHVAL, value.data(), 0)) FailCall("setting the hash value");
    }
    handle_ = result.handle;
    result.handle = 0;
}

FileHash::~FileHash() { CPDestroyHash(provider_, handle_); }

Bytes FileHash::Value() const { return HashValue(provider_, handle_); }

Bytes ExportKeyBlob(HCRYPTPROV provider, HCRYPTKEY key, HCRYPTKEY wrapping, DWORD type, const PinEntry& pin,
                    const std::string& what) {
    DWORD size = 0;
    Bytes blob;
    if (CPExportKey(provider, key, wrapping, type, 0, nullptr, &size)) {
        blob.resize(size);
        if (CPExportKey(provider, key, wrapping, type, 0, blob.data(), &size)) blob.resize(size);
        else blob.clear();
    }
    if (blob.empty()) FailCall(what, &pin);
    return blob;
}

PublicKey ExportPublicKey(HCRYPTPROV provider, const UserKey& key, const PinEntry& pin) {
    return PublicKeyOfBlob(ExportKeyBlob(provider, key.handle(), 0, PUBLICKEYBLOB, pin, "reading the public key"));
}

PublicKey CardPublicKey(const KeyChoice& choice) {
    std::array<BYTE, card::kPublicKeyRecordMax> record{};
    DWORD length = 0;
    const BYTE slot = choice.KeySpec() == AT_KEYEXCHANGE ? card::SLOT_EXCHANGE : card::SLOT_SIGNATURE;
    const DWORD status = card::Card_GetRSAPublicKey(choice.container.c_str(), slot, &length, record.data(), record.size());
    if (!card::Card_StatusSucceeded(status)) Fail("reading the public key of " + choice.Describe() + ": " + ErrorText(status));
    card::PublicKeyParts parts{};
    if (!card::SplitPublicKeyRecord(record.data(), length, &parts)) {
        Fail("the card's public key record of " + choice.Describe() + " holds no usable key");
    }
    return {Bytes(parts.modulus, parts.modulus + parts.modulus_length),
            Bytes(parts.exponent, parts.exponent + parts.exponent_length)};
}

bool SameKey(const PublicKey& a, const PublicKey& b) {
    const auto trimmed = [](const Bytes& number) {
        auto first = std::find_if(number.begin(), number.end(), [](BYTE x) { return x != 0; });
        return Bytes(first, number.end());
    };
    return !a.modulus.empty() && trimmed(a.modulus) == trimmed(b.modulus) && trimmed(a.exponent) == trimmed(b.exponent);
}

Bytes PublicKeyBlobOf(const PublicKey& key, DWORD key_spec) {
    // PUBLICKEYSTRUC {PUBLICKEYBLOB, 2, 0, ALG_ID}, RSAPUBKEY {"RSA1", bits, exponent}, modulus
    // least significant byte first.
    const ALG_ID algid = key_spec == AT_KEYEXCHANGE ? CALG_RSA_KEYX : CALG_RSA_SIGN;
    DWORD exponent = 0;
    for (const BYTE b : key.exponent) exponent = exponent << 8 | b;
    Bytes blob = {PUBLICKEYBLOB, CUR_BLOB_VERSION, 0, 0};
    const auto put = [&](DWORD value) {
        for (int shift = 0; shift < 32; shift += 8) blob.push_back(static_cast<BYTE>(value >> shift));
    };
    put(algid);
    put(0x31415352);  // "RSA1"
    put(static_cast<DWORD>(key.modulus.size() * 8));
    put(exponent);
    blob.insert(blob.end(), key.modulus.rbegin(), key.modulus.rend());
    return blob;
}

PublicKey PublicKeyOfBlob(const Bytes& blob) {
    // PUBLICKEYBLOB: 8-byte header, "RSA1", bit length, exponent, modulus least significant first.
    if (blob.size() < 20) Fail("the provider's PUBLICKEYBLOB is shorter than its header");
    const auto dword = [&](size_t at) { return blob[at] | blob[at + 1] << 8 | blob[at + 2] << 16 | DWORD{blob[at + 3]} << 24; };
    const size_t modulus_length = dword(12) / 8;
    if (blob.size() < 20 + modulus_length) Fail("the provider's PUBLICKEYBLOB is shorter than its key");
    PublicKey out;
    out.modulus.assign(blob.rbegin() + static_cast<long>(blob.size() - 20 - modulus_length), blob.rend() - 20);
    for (DWORD exponent = dword(16); exponent != 0; exponent >>= 8) out.exponent.insert(out.exponent.begin(), BYTE(exponent));
    return out;
}

namespace {

// An mbed TLS public key holding `key`.
struct PkContext {
    mbedtls_pk_context pk;
    explicit PkContext(const PublicKey& key) {
        mbedtls_pk_init(&pk);
        if (mbedtls_pk_setup(&pk, mbedtls_pk_info_from_type(MBEDTLS_PK_RSA)) != 0 ||
            mbedtls_rsa_import_raw(mbedtls_pk_rsa(pk), key.modulus.data(), key.modulus.size(), nullptr, 0, nullptr, 0,
                                   nullptr, 0, key.exponent.data(), key.exponent.size()) != 0 ||
            mbedtls_rsa_complete(mbedtls_pk_rsa(pk)) != 0) {
            mbedtls_pk_free(&pk);
            Fail("the card's public key is not a usable RSA key");
        }
    }
    ~PkContext() { mbedtls_pk_free(&pk); }
};

}  // namespace

std::string PublicKeyPem(const PublicKey& key) {
    PkContext context(key);
    std::string pem(4096, '\0');
    if (mbedtls_pk_write_pubkey_pem(&context.pk, reinterpret_cast<unsigned char*>(pem.data()), pem.size()) != 0) {
        Fail("cannot write the public key as PEM");
    }
    pem.resize(std::strlen(pem.c_str()));
    return pem;
}

bool SignatureMatches(const PublicKey& key, ALG_ID algid, const Bytes& hash, const Bytes& signature) {
    mbedtls_md_type_t md = MBEDTLS_MD_NONE;
    for (const HashName& name : kHashes) md = name.algid == algid ? name.md : md;
    PkContext context(key);
    return mbedtls_pk_verify(&context.pk, md, hash.data(), hash.size(), signature.data(), signature.size()) == 0;
}

std::vector<std::string> SignatureFiles::SignaturePaths(bool signing) const {
    const char* named = signing ? "-o" : "--signature";
    if (files.empty()) Fail(kExitUsage, "FILE is required");
    if (!given.empty() && files.size() > 1) {
        Fail(kExitUsage, std::string(named) + " goes with one FILE; several files have FILE.sig beside each (or --sig-dir)");
    }
    if (!given.empty() && !dir.empty()) Fail(kExitUsage, std::string(named) + " and --sig-dir exclude each other");
    std::vector<std::string> paths;
    for (const std::string& file : files) {
        if (!given.empty() || (signing && files.size() == 1 && dir.empty())) {
            paths.push_back(given);
            continue;
        }
        if (file == "-") Fail(kExitUsage, "standard input has no name to give its signature file: give it alone");
        const std::string base = file.substr(file.rfind('/') + 1);
        paths.push_back(dir.empty() ? file + ".sig" : dir + "/" + base + ".sig");
    }
    return paths;
}

void AddSignatureFileOptions(CLI::App& command, SignatureFiles* files, bool signing) {
    if (signing) {
        AddOutOption(command, &files->given, "where the signature of one FILE goes (default: standard output)");
    } else {
        command.add_option("--signature", files->given, "the signature of one FILE, big-endian as sign writes it")
            ->type_name("SIG");
    }
    command.add_option("--sig-dir", files->dir,
                       signing ? "write DIR/BASENAME.sig for each FILE (default with several files: FILE.sig)"
                               : "read DIR/BASENAME.sig for each FILE (default with several files: FILE.sig)")
        ->type_name("DIR");
    AddFormatOption(command, &files->format,
                    signing ? "how signatures are written: raw bytes (the default), hex or base64"
                            : "how the signature files hold them: raw bytes (the default), hex or base64");
    command.add_option("FILE", files->files, signing ? "the files signed; - for standard input" : "the files checked")
        ->type_name("")
        ->required();
}

Bytes ReadWhole(const std::string& path, size_t limit) {
    Input input(path);
    Bytes bytes;
    for (Bytes chunk = input.Next(); !chunk.empty(); chunk = input.Next()) {
        if (bytes.size() + chunk.size() > limit) {
            Fail(Printable(path) + " is longer than " + std::to_string(limit) + " bytes");
        }
        bytes.insert(bytes.end(), chunk.begin(), chunk.end());
    }
    return bytes;
}

void WriteWhole(const std::string& path, const Bytes& bytes, bool binary) {
    const bool to_stdout = path.empty() || path == "-";
    if (to_stdout && binary && isatty(STDOUT_FILENO)) {
        Fail(kExitUsage, "binary output is not written to a terminal: give --out FILE or a text form");
    }
    std::FILE* file = to_stdout ? stdout : std::fopen(path.c_str(), "wb");
    bool written = file != nullptr && std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    written = file != nullptr && (to_stdout ? std::fflush(file) : std::fclose(file)) == 0 && written;
    if (!written) Fail("cannot write " + (to_stdout ? std::string("standard output") : Printable(path)) + ": " + std::strerror(errno));
}

std::string Base64(const Bytes& bytes) {
    size_t length = 0;
    mbedtls_base64_encode(nullptr, 0, &length, bytes.data(), bytes.size());
    std::string text(length, '\0');
    mbedtls_base64_encode(reinterpret_cast<unsigned char*>(text.data()), text.size(), &length, bytes.data(), bytes.size());
    text.resize(length);
    return text;
}

bool FromBase64(const std::string& text, Bytes* bytes) {
    std::string compact;
    for (const char c : text) {
        if (c != '\n' && c != '\r' && c != ' ' && c != '\t') compact += c;
    }
    const auto* in = reinterpret_cast<const unsigned char*>(compact.data());
    size_t length = 0;
    if (mbedtls_base64_decode(nullptr, 0, &length, in, compact.size()) == MBEDTLS_ERR_BASE64_INVALID_CHARACTER) {
        return false;
    }
    bytes->assign(length, 0);
    if (mbedtls_base64_decode(bytes->data(), bytes->size(), &length, in, compact.size()) != 0) return false;
    bytes->resize(length);
    return true;
}

}  // namespace kelm::tool
