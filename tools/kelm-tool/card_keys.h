// What the key commands (sign, verify, pubkey, cert) share: the container and key they name, key
// and hash objects that are always released, a file hashed through the provider's hash objects,
// the card's public key taken from its PUBLICKEYBLOB, and files read and written whole ("-" for
// standard input or output).
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "commands.h"
#include "kelm/windows_types.h"
#include "pin_entry.h"

namespace kelm::tool {

using Bytes = std::vector<BYTE>;

// --container NAME (required) and --key signature|exchange (default signature), on both paths.
// The key storage commands of earlier releases named the container with --key NAME and the key
// with --kind: both spellings are still taken, and left out of the help.
struct KeyChoice {
    KeyChoice() = default;
    KeyChoice(std::string container_name, std::string which) : container(std::move(container_name)), key(std::move(which)) {}
    std::string container;
    std::string key = "signature";
    std::string kind;           // the earlier --kind
    bool named_by_key = false;  // the container came as the earlier --key NAME
    // Settles the earlier spellings and checks the name; Fails (usage) when no container is named.
    void Resolve();
    DWORD KeySpec() const;        // AT_SIGNATURE or AT_KEYEXCHANGE
    std::string Describe() const;  // "the signature key of 'NAME'"
};
void AddKeyOptions(CLI::App& command, KeyChoice* choice);

// The hashes a path can sign with: the provider's entry points (md5, sha1, sha256 and
// ssl3-shamd5) or the key storage provider's table (md5, sha1, sha256, sha384, sha512).
enum class HashPath { Provider, KeyStorage };
// --hash NAME, any case, default sha256.
void AddHashOption(CLI::App& command, std::string* hash, HashPath path);

// --format raw|hex|base64 (default raw): how signatures are written and read; hex is lowercase.
void AddFormatOption(CLI::App& command, std::string* format, const char* description);
Bytes FormatSignature(const Bytes& signature, const std::string& format);
// A signature file's bytes in `format`; Fails (usage) when the text is not of that form.
Bytes ParseSignature(const Bytes& file, const std::string& format, const std::string& path);

// CPGetUserKey, released with CPDestroyKey.
class UserKey {
public:
    UserKey(HCRYPTPROV provider, const KeyChoice& choice);
    ~UserKey();
    UserKey(const UserKey&) = delete;
    UserKey& operator=(const UserKey&) = delete;
    HCRYPTKEY handle() const { return handle_; }

private:
    HCRYPTPROV provider_;
    HCRYPTKEY handle_ = 0;
};

// A hash object holding the hash of a file (or standard input), computed by the provider's hash
// objects as it is read; released with CPDestroyHash. ssl3-shamd5 is the provider's MD5 and
// SHA-1 values set as one 36-byte value. SHA-384 and SHA-512 are names the provider refuses.
class FileHash {
public:
    FileHash(HCRYPTPROV provider, const std::string& hash, const std::string& path);
    ~FileHash();
    FileHash(const FileHash&) = delete;
    FileHash& operator=(const FileHash&) = delete;
    HCRYPTHASH handle() const { return handle_; }
    ALG_ID algid() const { return algid_; }
    Bytes Value() const;  // HP_HASHVAL (finishes the object)

private:
    HCRYPTPROV provider_;
    HCRYPTHASH handle_ = 0;
    ALG_ID algid_ = 0;
};

// CPExportKey's blob of `type` for `key`, wrapped with `wrapping` (0: none), sized by asking
// first; Fails as FailCall does, naming `what`. May ask for the PIN.
Bytes ExportKeyBlob(HCRYPTPROV provider, HCRYPTKEY key, HCRYPTKEY wrapping, DWORD type, const PinEntry& pin,
                    const std::string& what);

// The key's public part from CPExportKey(PUBLICKEYBLOB), big-endian. May ask for the PIN.
struct PublicKey {
    Bytes modulus;
    Bytes exponent;
};
PublicKey ExportPublicKey(HCRYPTPROV provider, const UserKey& key, const PinEntry& pin);
// The key's public part as the card gives it out to anyone, read by the card layer of the
// session a provider context has connected: no PIN is asked (CPExportKey would ask for one).
PublicKey CardPublicKey(const KeyChoice& choice);
// Whether two public keys are the same numbers (leading zero bytes aside).
bool SameKey(const PublicKey& a, const PublicKey& b);
// The PUBLICKEYBLOB CPExportKey makes of that key.
Bytes PublicKeyBlobOf(const PublicKey& key, DWORD key_spec);
// The public key a PUBLICKEYBLOB holds; Fails when the blob is shorter than its key.
PublicKey PublicKeyOfBlob(const Bytes& blob);
// SubjectPublicKeyInfo as PEM ("-----BEGIN PUBLIC KEY-----").
std::string PublicKeyPem(const PublicKey& key);
// PKCS #1 v1.5 check of a big-endian signature over `hash` (the DigestInfo named by `algid`, or
// the bare 36 bytes for CALG_SSL3_SHAMD5).
bool SignatureMatches(const PublicKey& key, ALG_ID algid, const Bytes& hash, const Bytes& signature);

// The files of sign and verify and where their signatures go or are found: one FILE to -o FILE
// (sign; else standard output) or from --signature FILE (verify); with several files, or with
// --sig-dir DIR, FILE.sig beside each file (or DIR/BASENAME.sig).
struct SignatureFiles {
    std::vector<std::string> files;
    std::string given;  // -o (sign) or --signature (verify)
    std::string dir;    // --sig-dir
    std::string format = "raw";
    // Each file's signature file ("" for standard output); Fails (usage) on a combination that
    // does not say where.
    std::vector<std::string> SignaturePaths(bool signing) const;
};
void AddSignatureFileOptions(CLI::App& command, SignatureFiles* files, bool signing);

// A file's bytes, at most `limit` of them (more fails); "-" reads standard input.
Bytes ReadWhole(const std::string& path, size_t limit);
// Writes to the file, or to standard output for "" or "-". Binary bytes are not written to a
// terminal (use --out, or a text form).
void WriteWhole(const std::string& path, const Bytes& bytes, bool binary);

std::string Base64(const Bytes& bytes);
// Base64 text (line breaks and spaces ignored) to bytes; false when it is not base64.
bool FromBase64(const std::string& text, Bytes* bytes);

}  // namespace kelm::tool
