// A certificate's DER decoded, with mbed TLS, into the CERT_INFO its context points to.
#pragma once

#include <array>
#include <span>
#include <string>
#include <vector>

#include "kelm/cert_store.h"

namespace kelm::platform {

// `info` points into the record's own members (names, keys and extension values into
// `encoded`), so a record stays where it was decoded: it is neither copied nor moved.
struct DecodedCertificate {
    DecodedCertificate() = default;
    DecodedCertificate(const DecodedCertificate&) = delete;
    DecodedCertificate& operator=(const DecodedCertificate&) = delete;

    std::vector<BYTE> encoded;
    CERT_INFO info{};
    std::array<BYTE, 20> sha1{};  // the thumbprint

    std::vector<BYTE> serial;  // little-endian
    std::string signature_oid;
    std::string key_oid;
    std::vector<std::string> extension_oids;
    std::vector<CERT_EXTENSION> extensions;
};

// Decodes `der`, which must hold exactly one certificate. Returns 0, or CRYPT_E_ASN1_EOD for
// data that ends inside the certificate, CRYPT_E_ASN1_BADTAG for an unexpected tag and
// CRYPT_E_ASN1_CORRUPT for anything else wrong; `problem` then says what, in words.
HRESULT DecodeCertificate(std::span<const BYTE> der, DecodedCertificate& certificate, std::string& problem);

// The thumbprint as the store names a certificate's registry key: 40 upper-case hex digits.
std::string ThumbprintName(const std::array<BYTE, 20>& sha1);

}  // namespace kelm::platform
