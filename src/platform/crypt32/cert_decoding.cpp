#include "platform/crypt32/cert_decoding.h"

#include <mbedtls/asn1.h>
#include <mbedtls/error.h>
#include <mbedtls/oid.h>
#include <mbedtls/sha1.h>
#include <mbedtls/x509_crt.h>

#include <algorithm>
#include <cstdio>

namespace kelm::platform {
namespace {

constexpr int kSequence = MBEDTLS_ASN1_SEQUENCE | MBEDTLS_ASN1_CONSTRUCTED;
constexpr int kExplicit = MBEDTLS_ASN1_CONTEXT_SPECIFIC | MBEDTLS_ASN1_CONSTRUCTED;

struct X509Certificate {
    X509Certificate() { mbedtls_x509_crt_init(&crt); }
    ~X509Certificate() { mbedtls_x509_crt_free(&crt); }
    X509Certificate(const X509Certificate&) = delete;
    X509Certificate& operator=(const X509Certificate&) = delete;
    mbedtls_x509_crt crt;
};

// mbed TLS reports the ASN.1 reason in the low bits of its X.509 errors.
HRESULT Asn1Error(int mbedtls_error) {
    switch (-(-mbedtls_error & 0x7F)) {
        case MBEDTLS_ERR_ASN1_OUT_OF_DATA:
            return CRYPT_E_ASN1_EOD;
        case MBEDTLS_ERR_ASN1_UNEXPECTED_TAG:
            return CRYPT_E_ASN1_BADTAG;
        default:
            return CRYPT_E_ASN1_CORRUPT;
    }
}

std::string Describe(int mbedtls_error) {
    char text[160];
    mbedtls_strerror(mbedtls_error, text, sizeof text);
    return text;
}

// One element of `tag` at `p`; `p` moves past it.
bool Take(unsigned char*& p, const unsigned char* end, int tag, unsigned char*& content, size_t& length) {
    if (mbedtls_asn1_get_tag(&p, end, &length, tag) != 0) return false;
    content = p;
    p += length;
    return true;
}

bool TakeObjectId(unsigned char*& p, const unsigned char* end, std::string& text) {
    mbedtls_asn1_buf oid{MBEDTLS_ASN1_OID, 0, nullptr};
    if (!Take(p, end, MBEDTLS_ASN1_OID, oid.p, oid.len)) return false;
    char digits[256];
    const int length = mbedtls_oid_get_numeric_string(digits, sizeof digits, &oid);
    if (length <= 0) return false;
    text.assign(digits, static_cast<size_t>(length));
    return true;
}

CRYPTOAPI_BLOB Blob(BYTE* data, size_t length) { return {static_cast<DWORD>(length), length == 0 ? nullptr : data}; }

// AlgorithmIdentifier: the OID as text, the parameters as their DER (empty when absent).
bool TakeAlgorithm(unsigned char*& p, const unsigned char* end, std::string& oid,
                   CRYPT_ALGORITHM_IDENTIFIER& algorithm) {
    unsigned char* q = nullptr;
    size_t length = 0;
    if (!Take(p, end, kSequence, q, length)) return false;
    const unsigned char* sequence_end = q + length;
    if (!TakeObjectId(q, sequence_end, oid)) return false;
    algorithm.Parameters = Blob(q, static_cast<size_t>(sequence_end - q));
    return true;
}

// A BIT STRING, or the same under an implicit context tag (the unique identifiers).
bool TakeBits(unsigned char*& p, const unsigned char* end, int tag, CRYPT_BIT_STRING_BLOB& bits) {
    unsigned char* content = nullptr;
    size_t length = 0;
    if (!Take(p, end, tag, content, length) || length == 0 || content[0] > 7) return false;
    bits = {static_cast<DWORD>(length - 1), length > 1 ? content + 1 : nullptr, content[0]};
    return true;
}

// Whole name as DER, tag included, as CERT_NAME_BLOB holds it.
bool TakeName(unsigned char*& p, const unsigned char* end, CERT_NAME_BLOB& name) {
    unsigned char* start = p;
    unsigned char* content = nullptr;
    size_t length = 0;
    if (!Take(p, end, kSequence, content, length)) return false;
    name = Blob(start, static_cast<size_t>(p - start));
    return true;
}

bool TakeExtensions(unsigned char*& p, const unsigned char* end, DecodedCertificate& certificate) {
    unsigned char* q = nullptr;
    size_t length = 0;
    if (!Take(p, end, kExplicit | 3, q, length)) return false;
    const unsigned char* outer_end = q + length;
    unsigned char* list = nullptr;
    if (!Take(q, outer_end, kSequence, list, length) || q != outer_end) return false;
    q = list;
    while (q < outer_end) {
        unsigned char* item = nullptr;
        if (!Take(q, outer_end, kSequence, item, length)) return false;
        const unsigned char* item_end = item + length;
        std::string oid;
        int critical = 0;
        if (!TakeObjectId(item, item_end, oid)) return false;
        if (item < item_end && *item == MBEDTLS_ASN1_BOOLEAN && mbedtls_asn1_get_bool(&item, item_end, &critical) != 0)
            return false;
        unsigned char* value = nullptr;
        if (!Take(item, item_end, MBEDTLS_ASN1_OCTET_STRING, value, length) || item != item_end) return false;
        certificate.extension_oids.push_back(std::move(oid));
        certificate.extensions.push_back({nullptr, critical != 0 ? TRUE : FALSE, Blob(value, length)});
    }
    return true;
}

int64_t DaysFromCivil(int year, int month, int day) {
    year -= month <= 2 ? 1 : 0;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const int64_t year_of_era = year - era * 400;
    const int64_t day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + day_of_era - 719468;  // days since 1970-01-01
}

FILETIME FileTime(const mbedtls_x509_time& time) {
    constexpr int64_t kDaysFrom1601To1970 = 134774;
    const int64_t seconds = (DaysFromCivil(time.year, time.mon, time.day) + kDaysFrom1601To1970) * 86400 +
                            time.hour * 3600 + time.min * 60 + time.sec;
    const auto ticks = static_cast<uint64_t>(std::max<int64_t>(seconds, 0)) * 10000000u;
    return {static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

// The parts of the to-be-signed certificate that mbed TLS does not keep in CryptoAPI's
// form: algorithm parameters, the public key bits, the unique identifiers and the extensions.
bool ReadTbs(const mbedtls_x509_crt& crt, DecodedCertificate& certificate) {
    CERT_INFO& info = certificate.info;
    unsigned char* outer = crt.tbs.p;
    unsigned char* p = nullptr;
    unsigned char* content = nullptr;
    size_t length = 0;
    if (!Take(outer, crt.tbs.p + crt.tbs.len, kSequence, p, length)) return false;
    const unsigned char* end = p + length;
    if (p < end && *p == (kExplicit | 0) && !Take(p, end, kExplicit | 0, content, length)) return false;
    if (!Take(p, end, MBEDTLS_ASN1_INTEGER, content, length)) return false;
    if (!TakeAlgorithm(p, end, certificate.signature_oid, info.SignatureAlgorithm)) return false;
    if (!TakeName(p, end, info.Issuer) || !Take(p, end, kSequence, content, length) || !TakeName(p, end, info.Subject))
        return false;
    unsigned char* key = nullptr;
    if (!Take(p, end, kSequence, key, length)) return false;
    const unsigned char* key_end = key + length;
    if (!TakeAlgorithm(key, key_end, certificate.key_oid, info.SubjectPublicKeyInfo.Algorithm) ||
        !TakeBits(key, key_end, MBEDTLS_ASN1_BIT_STRING, info.SubjectPublicKeyInfo.PublicKey))
        return false;
    if (p < end && *p == (MBEDTLS_ASN1_CONTEXT_SPECIFIC | 1) &&
        !TakeBits(p, end, MBEDTLS_ASN1_CONTEXT_SPECIFIC | 1, info.IssuerUniqueId))
        return false;
    if (p < end && *p == (MBEDTLS_ASN1_CONTEXT_SPECIFIC | 2) &&
        !TakeBits(p, end, MBEDTLS_ASN1_CONTEXT_SPECIFIC | 2, info.SubjectUniqueId))
        return false;
    if (p < end && !TakeExtensions(p, end, certificate)) return false;
    return p == end;
}

}  // namespace

HRESULT DecodeCertificate(std::span<const BYTE> der, DecodedCertificate& certificate, std::string& problem) {
    certificate.encoded.assign(der.begin(), der.end());
    // The outer element is checked here, because mbed TLS gives one reason for all its faults.
    unsigned char* p = certificate.encoded.data();
    size_t length = 0;
    if (const int outer = mbedtls_asn1_get_tag(&p, p + der.size(), &length, kSequence); outer != 0) {
        problem = Describe(outer);
        return Asn1Error(outer);
    }
    if (p + length != certificate.encoded.data() + der.size()) {
        problem = std::to_string(certificate.encoded.data() + der.size() - (p + length)) +
                  " bytes follow the certificate";
        return CRYPT_E_ASN1_CORRUPT;
    }
    X509Certificate parsed;
    // Parsed in place, so every pointer mbed TLS keeps points into `encoded`.
    const int result =
        mbedtls_x509_crt_parse_der_nocopy(&parsed.crt, certificate.encoded.data(), certificate.encoded.size());
    if (result != 0) {
        problem = Describe(result);
        return Asn1Error(result);
    }
    const mbedtls_x509_crt& crt = parsed.crt;
    if (!ReadTbs(crt, certificate)) {
        problem = "to-be-signed part not understood";
        return CRYPT_E_ASN1_CORRUPT;
    }
    CERT_INFO& info = certificate.info;
    info.dwVersion = static_cast<DWORD>(crt.version - 1);
    certificate.serial.assign(crt.serial.p, crt.serial.p + crt.serial.len);
    std::reverse(certificate.serial.begin(), certificate.serial.end());
    info.SerialNumber = Blob(certificate.serial.data(), certificate.serial.size());
    info.SignatureAlgorithm.pszObjId = certificate.signature_oid.data();
    info.SubjectPublicKeyInfo.Algorithm.pszObjId = certificate.key_oid.data();
    info.NotBefore = FileTime(crt.valid_from);
    info.NotAfter = FileTime(crt.valid_to);
    for (size_t i = 0; i < certificate.extensions.size(); ++i)
        certificate.extensions[i].pszObjId = certificate.extension_oids[i].data();
    info.cExtension = static_cast<DWORD>(certificate.extensions.size());
    info.rgExtension = certificate.extensions.empty() ? nullptr : certificate.extensions.data();
    mbedtls_sha1_ret(certificate.encoded.data(), certificate.encoded.size(), certificate.sha1.data());
    return 0;
}

std::string ThumbprintName(const std::array<BYTE, 20>& sha1) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string name;
    for (const BYTE b : sha1) {
        name.push_back(kDigits[b >> 4]);
        name.push_back(kDigits[b & 15]);
    }
    return name;
}

}  // namespace kelm::platform
