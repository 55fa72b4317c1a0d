// An RSA public key of the software providers, held in an mbed TLS context, and the forms it
// comes in and goes out as: the RSAPublicKey DER of a certificate's SubjectPublicKeyInfo,
// CryptoAPI's PUBLICKEYBLOB and CNG's BCRYPT_RSAPUBLIC_BLOB.
#pragma once

#include <mbedtls/rsa.h>

#include <mutex>
#include <span>
#include <vector>

#include "kelm/windows_types.h"

namespace kelm::platform {

// Key sizes the software providers take: the enhanced provider's lower bound, mbed TLS's
// upper one.
inline constexpr size_t kMinRsaKeyBits = 384;
inline constexpr size_t kMaxRsaKeyBits = 8192;

struct RsaPublicKey {
    RsaPublicKey() { mbedtls_rsa_init(&rsa, MBEDTLS_RSA_PKCS_V15, 0); }
    ~RsaPublicKey() { mbedtls_rsa_free(&rsa); }
    RsaPublicKey(const RsaPublicKey&) = delete;
    RsaPublicKey& operator=(const RsaPublicKey&) = delete;

    size_t Bytes() const { return mbedtls_rsa_get_len(&rsa); }

    mbedtls_rsa_context rsa;
    std::mutex mutex;  // an mbed TLS context serves one operation at a time
};

// From the big-endian modulus and exponent. NTE_BAD_KEY when mbed TLS refuses the key or its
// size is outside kMinRsaKeyBits..kMaxRsaKeyBits.
HRESULT ImportRsaPublicKey(std::span<const BYTE> modulus, std::span<const BYTE> exponent, RsaPublicKey& key);

// From RSAPublicKey DER (SEQUENCE { modulus, publicExponent }): CRYPT_E_ASN1_EOD,
// CRYPT_E_ASN1_BADTAG or CRYPT_E_ASN1_CORRUPT when it is not that, NTE_BAD_KEY as above.
HRESULT ImportRsaPublicKeyDer(std::span<const BYTE> der, RsaPublicKey& key);

// PUBLICKEYBLOB: BLOBHEADER, RSAPUBKEY ("RSA1", bit length, exponent), the modulus
// little-endian. Import refuses other blobs, and a length that disagrees with the bit
// length, with NTE_BAD_DATA.
HRESULT ImportCapiPublicKeyBlob(std::span<const BYTE> blob, RsaPublicKey& key);
bool ExponentFitsDword(const RsaPublicKey& key);
std::vector<BYTE> ExportCapiPublicKeyBlob(const RsaPublicKey& key, ALG_ID algorithm);

// BCRYPT_RSAKEY_BLOB header, then the exponent and the modulus big-endian; NTE_BAD_DATA
// unless the magic is "RSA1" and the lengths add up to the blob's.
HRESULT ImportBcryptRsaPublicBlob(std::span<const BYTE> blob, RsaPublicKey& key);

// Random bytes for padding, from the operating system, as mbed TLS asks for them.
int SoftRandom(void* unused, unsigned char* out, size_t length);

}  // namespace kelm::platform
