// Certificate fields with mbed TLS.
#include "pkcs11/certificate_fields.h"

#include <mbedtls/bignum.h>
#include <mbedtls/pk.h>
#include <mbedtls/rsa.h>
#include <mbedtls/x509_crt.h>

namespace kelm::pkcs11 {
namespace {

std::vector<BYTE> BytesOf(const mbedtls_x509_buf& buffer) {
    return std::vector<BYTE>(buffer.p, buffer.p + buffer.len);
}

// The serial number's value bytes as the DER INTEGER they came from: tag, length, value.
std::vector<BYTE> DerInteger(const mbedtls_x509_buf& value) {
    std::vector<BYTE> der = {0x02};
    const size_t length = value.len;
    if (length < 0x80) {
        der.push_back(static_cast<BYTE>(length));
    } else if (length <= 0xFF) {
        der.insert(der.end(), {0x81, static_cast<BYTE>(length)});
    } else {
        der.insert(der.end(), {0x82, static_cast<BYTE>(length >> 8), static_cast<BYTE>(length)});
    }
    der.insert(der.end(), value.p, value.p + length);
    return der;
}

std::vector<BYTE> MpiBytes(const mbedtls_mpi& number) {
    std::vector<BYTE> bytes(mbedtls_mpi_size(&number));
    if (!bytes.empty() && mbedtls_mpi_write_binary(&number, bytes.data(), bytes.size()) != 0) {
        bytes.clear();
    }
    return bytes;
}

// The certificate chain record, freed (and its copy of the certificate with it) on every path.
struct ParsedCertificate {
    mbedtls_x509_crt crt;
    ParsedCertificate() { mbedtls_x509_crt_init(&crt); }
    ~ParsedCertificate() { mbedtls_x509_crt_free(&crt); }
};

}  // namespace

bool ParseCertificate(const BYTE* der, size_t length, CertificateFields* fields) {
    *fields = {};
    if (der == nullptr || length == 0) {
        return false;
    }
    ParsedCertificate parsed;
    if (mbedtls_x509_crt_parse_der(&parsed.crt, der, length) != 0) {
        return false;
    }
    const mbedtls_x509_crt& crt = parsed.crt;
    fields->Subject = BytesOf(crt.subject_raw);
    fields->Issuer = BytesOf(crt.issuer_raw);
    fields->SerialNumber = DerInteger(crt.serial);
    fields->Length = crt.raw.len;
    if (mbedtls_pk_get_type(&crt.pk) == MBEDTLS_PK_RSA) {
        mbedtls_mpi modulus;
        mbedtls_mpi exponent;
        mbedtls_mpi_init(&modulus);
        mbedtls_mpi_init(&exponent);
        if (mbedtls_rsa_export(mbedtls_pk_rsa(crt.pk), &modulus, nullptr, nullptr, nullptr, &exponent) == 0) {
            fields->Modulus = MpiBytes(modulus);
            fields->Exponent = MpiBytes(exponent);
        }
        mbedtls_mpi_free(&modulus);
        mbedtls_mpi_free(&exponent);
    }
    return true;
}

std::vector<BYTE> WithoutLeadingZeros(const std::vector<BYTE>& bytes) {
    size_t first = 0;
    while (first < bytes.size() && bytes[first] == 0) {
        ++first;
    }
    return std::vector<BYTE>(bytes.begin() + static_cast<long>(first), bytes.end());
}

}  // namespace kelm::pkcs11
