// The fields of an X.509 certificate that PKCS #11 objects show, taken out with mbed TLS's X.509
// parser: subject and issuer (DER names), serial number (a DER INTEGER), and the RSA key's
// modulus and exponent.
#pragma once

#include <cstddef>
#include <vector>

#include "kelm/windows_types.h"

namespace kelm::pkcs11 {

struct CertificateFields {
    std::vector<BYTE> Subject;
    std::vector<BYTE> Issuer;
    std::vector<BYTE> SerialNumber;
    std::vector<BYTE> Modulus;   // big-endian, no leading zero bytes; empty for a key other than RSA
    std::vector<BYTE> Exponent;
    size_t Length = 0;           // of the certificate's outer element
};

// False when the bytes do not begin with a certificate mbed TLS accepts.
bool ParseCertificate(const BYTE* der, size_t length, CertificateFields* fields);

// `bytes` without its leading zero bytes (big-endian numbers compared as numbers).
std::vector<BYTE> WithoutLeadingZeros(const std::vector<BYTE>& bytes);

}  // namespace kelm::pkcs11
