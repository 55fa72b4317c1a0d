// What the key commands (sign, verify, pubkey, cert) share: the container and key they name, key
// and hash objects that are always released, a file hashed through the provider's hash objects,
// the card's public key taken from its PUBLICKEYBLOB, and files read and written whole ("-" for
// standard input or output).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "commands.h"
#include "kelm/windows_types.h"
#include "pin_entry.h"

namespace kelm::tool {

using Bytes = std::vector<BYTE>;

// --container NAME (required) and --key signature|exchange (default signature).
struct KeyChoice {
    std::string container;
    std::string key = "signature";
    DWORD KeySpec() const;        // AT_SIGNATURE or AT_KEYEXCHANGE
    std::string Describe() const;  // "the signature key of 'NAME'"
};
void AddKeyOptions(CLI::App& command, KeyChoice* choice);

// --hash md5|sha1|sha256|sha384|sha512|ssl3-shamd5 (required).
void AddHashOption(CLI::App& command, std::string* hash);

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
// The public key a PUBLICKEYBLOB holds; Fails when the blob is shorter than its key.
PublicKey PublicKeyOfBlob(const Bytes& blob);
// SubjectPublicKeyInfo as PEM ("-----BEGIN PUBLIC KEY-----").
std::string PublicKeyPem(const PublicKey& key);
// PKCS #1 v1.5 check of a big-endian signature over `hash` (the DigestInfo named by `algid`, or
// the bare 36 bytes for CALG_SSL3_SHAMD5).
bool SignatureMatches(const PublicKey& key, ALG_ID algid, const Bytes& hash, const Bytes& signature);

// A file's bytes, at most `limit` of them (more fails); "-" reads standard input.
Bytes ReadWhole(const std::string& path, size_t limit);
// Writes to the file, or to standard output for "" or "-". Binary bytes are not written to a
// terminal (use --out, or a text form).
void WriteWhole(const std::string& path, const Bytes& bytes, bool binary);

std::string Base64(const Bytes& bytes);
// Base64 text (line breaks and spaces ignored) to bytes; false when it is not base64.
bool FromBase64(const std::string& text, Bytes* bytes);

}  // namespace kelm::tool
