// OpenSSL's libcrypto as an independent reference for the digests, the DES modes, RSA
// signatures made with a card's key.
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

Bytes RandomBytes(size_t length, uint32_t seed);
Bytes FromHex(const std::string& hex);
std::string ToHex(const uint8_t* data, size_t length);
inline std::string ToHex(const Bytes& data) {
    return ToHex(data.data(), data.size());
}

}  // namespace kelm::test
