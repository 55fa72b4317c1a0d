#include "platform/softprov/rsa_public_key.h"

#include <mbedtls/asn1.h>
#include <mbedtls/bignum.h>
#include <sys/random.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "kelm/soft_providers.h"

namespace kelm::platform {
namespace {

constexpr size_t kCapiHeaderSize = sizeof(BLOBHEADER) + sizeof(RSAPUBKEY);

struct Mpi {
    Mpi() { mbedtls_mpi_init(&value); }
    ~Mpi() { mbedtls_mpi_free(&value); }
    Mpi(const Mpi&) = delete;
    Mpi& operator=(const Mpi&) = delete;
    mbedtls_mpi value;
};

DWORD ReadDword(std::span<const BYTE> bytes, size_t at) {
    DWORD value = 0;
    std::memcpy(&value, bytes.data() + at, sizeof value);
    return value;
}

HRESULT Asn1Error(int mbedtls_error) {
    switch (mbedtls_error) {
        case MBEDTLS_ERR_ASN1_OUT_OF_DATA:
            return CRYPT_E_ASN1_EOD;
        case MBEDTLS_ERR_ASN1_UNEXPECTED_TAG:
            return CRYPT_E_ASN1_BADTAG;
        default:
            return CRYPT_E_ASN1_CORRUPT;
    }
}

HRESULT ImportMpis(const mbedtls_mpi& modulus, const mbedtls_mpi& exponent, RsaPublicKey& key) {
    const size_t bits = mbedtls_mpi_bitlen(&modulus);
    if (bits < kMinRsaKeyBits || bits > kMaxRsaKeyBits) return NTE_BAD_KEY;
    if (mbedtls_rsa_import(&key.rsa, &modulus, nullptr, nullptr, nullptr, &exponent) != 0 ||
        mbedtls_rsa_complete(&key.rsa) != 0 || mbedtls_rsa_check_pubkey(&key.rsa) != 0)
        return NTE_BAD_KEY;
    return 0;
}

}  // namespace

HRESULT ImportRsaPublicKey(std::span<const BYTE> modulus, std::span<const BYTE> exponent, RsaPublicKey& key) {
    Mpi n;
    Mpi e;
    if (mbedtls_mpi_read_binary(&n.value, modulus.data(), modulus.size()) != 0 ||
        mbedtls_mpi_read_binary(&e.value, exponent.data(), exponent.size()) != 0)
        return NTE_BAD_KEY;
    return ImportMpis(n.value, e.value, key);
}

HRESULT ImportRsaPublicKeyDer(std::span<const BYTE> der, RsaPublicKey& key) {
    // mbed TLS reads through a non-const cursor but never writes through it.
    auto* p = const_cast<unsigned char*>(der.data());
    const unsigned char* end = p + der.size();
    size_t length = 0;
    Mpi n;
    Mpi e;
    if (const int result = mbedtls_asn1_get_tag(&p, end, &length, MBEDTLS_ASN1_SEQUENCE | MBEDTLS_ASN1_CONSTRUCTED);
        result != 0)
        return Asn1Error(result);
    if (p + length != end) return CRYPT_E_ASN1_CORRUPT;
    if (const int result = mbedtls_asn1_get_mpi(&p, end, &n.value); result != 0) return Asn1Error(result);
    if (const int result = mbedtls_asn1_get_mpi(&p, end, &e.value); result != 0) return Asn1Error(result);
    if (p != end) return CRYPT_E_ASN1_CORRUPT;
    return ImportMpis(n.value, e.value, key);
}

HRESULT ImportCapiPublicKeyBlob(std::span<const BYTE> blob, RsaPublicKey& key) {
    if (blob.size() < kCapiHeaderSize) return NTE_BAD_DATA;
    BLOBHEADER header{};
    std::memcpy(&header, blob.data(), sizeof header);
    const DWORD magic = ReadDword(blob, sizeof header);
    const DWORD bits = ReadDword(blob, sizeof header + 4);
    const DWORD exponent = ReadDword(blob, sizeof header + 8);
    if (header.bType != PUBLICKEYBLOB || header.bVersion != CUR_BLOB_VERSION ||
        (header.aiKeyAlg != CALG_RSA_KEYX && header.aiKeyAlg != CALG_RSA_SIGN) || magic != BCRYPT_RSAPUBLIC_MAGIC ||
        bits % 8 != 0 || blob.size() - kCapiHeaderSize != bits / 8)
        return NTE_BAD_DATA;
    std::vector<BYTE> modulus(blob.begin() + kCapiHeaderSize, blob.end());
    std::reverse(modulus.begin(), modulus.end());
    const BYTE exponent_bytes[4] = {static_cast<BYTE>(exponent >> 24), static_cast<BYTE>(exponent >> 16),
                                    static_cast<BYTE>(exponent >> 8), static_cast<BYTE>(exponent)};
    return ImportRsaPublicKey(modulus, exponent_bytes, key);
}

bool ExponentFitsDword(const RsaPublicKey& key) { return mbedtls_mpi_bitlen(&key.rsa.E) <= 32; }

std::vector<BYTE> ExportCapiPublicKeyBlob(const RsaPublicKey& key, ALG_ID algorithm) {
    const size_t bytes = key.Bytes();
    std::vector<BYTE> blob(kCapiHeaderSize + bytes, 0);
    const BLOBHEADER header{PUBLICKEYBLOB, CUR_BLOB_VERSION, 0, algorithm};
    BYTE exponent[4] = {};
    mbedtls_mpi_write_binary(&key.rsa.E, exponent, sizeof exponent);
    const RSAPUBKEY rsa{BCRYPT_RSAPUBLIC_MAGIC, static_cast<DWORD>(bytes * 8),
                        static_cast<DWORD>(exponent[0]) << 24 | static_cast<DWORD>(exponent[1]) << 16 |
                            static_cast<DWORD>(exponent[2]) << 8 | exponent[3]};
    std::memcpy(blob.data(), &header, sizeof header);
    std::memcpy(blob.data() + sizeof header, &rsa, sizeof rsa);
    mbedtls_mpi_write_binary_le(&key.rsa.N, blob.data() + kCapiHeaderSize, bytes);
    return blob;
}

HRESULT ImportBcryptRsaPublicBlob(std::span<const BYTE> blob, RsaPublicKey& key) {
    BCRYPT_RSAKEY_BLOB header{};
    if (blob.size() < sizeof header) return NTE_BAD_DATA;
    std::memcpy(&header, blob.data(), sizeof header);
    const size_t body = blob.size() - sizeof header;
    if (header.Magic != BCRYPT_RSAPUBLIC_MAGIC || header.cbPublicExp > body ||
        header.cbModulus != body - header.cbPublicExp)
        return NTE_BAD_DATA;
    const auto exponent = blob.subspan(sizeof header, header.cbPublicExp);
    const auto modulus = blob.subspan(sizeof header + header.cbPublicExp);
    return ImportRsaPublicKey(modulus, exponent, key);
}

int SoftRandom(void* unused, unsigned char* out, size_t length) {
    (void)unused;
    while (length > 0) {
        const ssize_t got = getrandom(out, length, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            return MBEDTLS_ERR_RSA_RNG_FAILED;
        }
        out += got;
        length -= static_cast<size_t>(got);
    }
    return 0;
}

}  // namespace kelm::platform
