// Decoding a certificate (DER or bare base64) and walking its subject's attributes.
#include "card/certificate_subject.h"

#include <mbedtls/base64.h>
#include <mbedtls/x509_crt.h>

#include <cstring>
#include <vector>

namespace kelm::card {
namespace {

constexpr BYTE kBase64First = 'M';  // "MI..." is the base64 of a DER SEQUENCE
constexpr size_t kOidCommonNameByte = 2;
constexpr BYTE kOidCommonNameValue = 3;

// An mbed TLS certificate that frees itself.
struct ParsedCertificate {
    mbedtls_x509_crt crt;
    bool ok = false;
    ParsedCertificate() { mbedtls_x509_crt_init(&crt); }
    ~ParsedCertificate() { mbedtls_x509_crt_free(&crt); }
    ParsedCertificate(const ParsedCertificate&) = delete;
    ParsedCertificate& operator=(const ParsedCertificate&) = delete;
};

// Base64 text without its line breaks (up to a terminating zero, if any), decoded.
bool DecodeBase64(const BYTE* text, size_t length, std::vector<BYTE>* der) {
    std::vector<BYTE> compact;
    compact.reserve(length);
    for (size_t i = 0; i < length && text[i] != '\0'; ++i) {
        if (text[i] != '\r' && text[i] != '\n') {
            compact.push_back(text[i]);
        }
    }
    size_t needed = 0;
    mbedtls_base64_decode(nullptr, 0, &needed, compact.data(), compact.size());
    der->assign(needed, 0);
    size_t written = 0;
    if (needed == 0 || mbedtls_base64_decode(der->data(), der->size(), &written, compact.data(), compact.size()) != 0) {
        return false;
    }
    der->resize(written);
    return true;
}

void Parse(const BYTE* certificate, size_t length, ParsedCertificate* parsed) {
    if (certificate == nullptr || length == 0) {
        return;
    }
    if (certificate[0] == kBase64First) {
        std::vector<BYTE> der;
        parsed->ok = DecodeBase64(certificate, length, &der) &&
                     mbedtls_x509_crt_parse_der(&parsed->crt, der.data(), der.size()) == 0;
        return;
    }
    parsed->ok = mbedtls_x509_crt_parse_der(&parsed->crt, certificate, length) == 0;
}

bool IsCommonName(const mbedtls_x509_name* attribute) {
    return attribute->oid.len > kOidCommonNameByte && attribute->oid.p[kOidCommonNameByte] == kOidCommonNameValue;
}

}  // namespace

bool Cert_GetSubjectCommonName(const BYTE* certificate, size_t length, CommonName* name) {
    if (name == nullptr) {
        return false;
    }
    std::memset(name, 0, sizeof *name);
    ParsedCertificate parsed;
    Parse(certificate, length, &parsed);
    if (!parsed.ok) {
        return false;
    }
    for (const mbedtls_x509_name* attribute = &parsed.crt.subject; attribute != nullptr; attribute = attribute->next) {
        if (attribute->oid.p != nullptr && IsCommonName(attribute)) {
            name->length = attribute->val.len < kCommonNameSize ? attribute->val.len : kCommonNameSize;
            if (name->length != 0) {
                std::memcpy(name->value, attribute->val.p, name->length);
            }
            return true;
        }
    }
    return false;
}

bool Cert_IsWholeDer(const BYTE* der, size_t length) {
    if (der == nullptr || length == 0) {
        return false;
    }
    ParsedCertificate parsed;
    // The parser stops at the end the outer header names; bytes after it would be ignored, so
    // the outer element must cover the buffer exactly.
    return mbedtls_x509_crt_parse_der(&parsed.crt, der, length) == 0 && parsed.crt.raw.len == length;
}

bool Cert_SubjectMatchesCommonName(const BYTE* certificate, size_t length, const CommonName& name) {
    ParsedCertificate parsed;
    Parse(certificate, length, &parsed);
    if (!parsed.ok) {
        return false;
    }
    for (const mbedtls_x509_name* attribute = &parsed.crt.subject; attribute != nullptr; attribute = attribute->next) {
        if (attribute->oid.p != nullptr && IsCommonName(attribute) && attribute->val.len <= kCommonNameSize &&
            (attribute->val.len == 0 || std::memcmp(attribute->val.p, name.value, attribute->val.len) == 0)) {
            return true;
        }
    }
    return false;
}

}  // namespace kelm::card
