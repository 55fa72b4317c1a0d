// OpenSSL's libcrypto as an independent reference for the digests, the DES modes, RSA
// signatures made with a card's key, and certificates issued for it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kelm::test {

using Bytes = std::vector<uint8_t>;

// Loads the default and legacy providers once; false when single DES is unavailable.
bool OpenSslHasLegacyDes();

// Digest by OpenSSL name ("MD5", "SHA1", "SHA256", "MD2"); empty when the digest is unavailable.
Bytes OpenSslDigest(const char* name, const Bytes& data);

// mode: "ecb", "cbc" (PKCS #5 padding), "ofb", "cfb" (64-bit feedback); keyBytes 8, 16 or 24.
Bytes OpenSslCipher(const std::string& mode, bool encrypt, const Bytes& key, const Bytes& iv,
                    const Bytes& data);

// RSA with a public key given as big-endian modulus and exponent, as a card reads it out.
// digest: an OpenSSL name ("SHA256", "MD5", ...; "MD5-SHA1" for the 36 raw bytes without a
// DigestInfo). The signature is big-endian.
bool OpenSslVerifyRsaPkcs1(const Bytes& modulus, const Bytes& exponent, const char* digest, const Bytes& hash,
                           const Bytes& signature);

// An X.509 certificate for a public key, signed (SHA-256 with RSA) by a fixed test key.
struct CertificateRequest {
    Bytes modulus, exponent;
    std::string common_name = "Test Subscriber";
    // 13 characters (YYMMDDhhmmssZ) make a UTCTime, 15 (YYYYMMDDhhmmssZ) a GeneralizedTime.
    std::string not_before = "990615123456Z";
    std::string not_after = "050101000000Z";
    bool with_version = true;  // false: version 1, which has no version field
    size_t size = 0;           // the DER size wanted (version 3), reached with a comment extension
};
Bytes OpenSslCertificate(const CertificateRequest& request);

// PKCS #1 v1.5 (block type 2) encryption with that public key; the result is big-endian.
Bytes OpenSslEncryptRsaPkcs1(const Bytes& modulus, const Bytes& exponent, const Bytes& message);

// Decryption with a private key given as big-endian modulus, public and private exponent:
// PKCS #1 v1.5 when `oaep_digest` is null, else OAEP with that digest ("SHA1", "SHA256") for
// both the label hash and MGF1. Empty when OpenSSL refuses the ciphertext.
Bytes OpenSslDecryptRsa(const Bytes& modulus, const Bytes& exponent, const Bytes& private_exponent,
                        const char* oaep_digest, const Bytes& ciphertext);

Bytes RandomBytes(size_t length, uint32_t seed);
Bytes FromHex(const std::string& hex);
std::string ToHex(const uint8_t* data, size_t length);
inline std::string ToHex(const Bytes& data) {
    return ToHex(data.data(), data.size());
}

}  // namespace kelm::test
