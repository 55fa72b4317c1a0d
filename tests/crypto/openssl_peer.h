// OpenSSL's libcrypto as an independent reference for the digests and the DES modes.
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

Bytes RandomBytes(size_t length, uint32_t seed);
Bytes FromHex(const std::string& hex);
std::string ToHex(const uint8_t* data, size_t length);
inline std::string ToHex(const Bytes& data) {
    return ToHex(data.data(), data.size());
}

}  // namespace kelm::test
