// The validity dates of an X.509 certificate as digit text: the certificate is walked down to
// its validity element (outer SEQUENCE, to-be-signed SEQUENCE, past version, serial number,
// signature algorithm and issuer), each step inside the element that contains it.
#include <cstring>

#include "card/certificate_der.h"

namespace kelm::card {
namespace {

constexpr BYTE kSequenceTag = 0x30;
constexpr BYTE kUtcTimeTag = 0x17;
constexpr BYTE kGeneralizedTimeTag = 0x18;
constexpr int kElementsBeforeValidity = 4;  // version, serial number, signature algorithm, issuer

// What is left to read of the element being walked.
struct Span {
    const BYTE* p;
    size_t n;
};

// Steps into the element at the start of `span`: the span becomes its content.
bool Enter(Span* span) {
    const int header = Der_GetHeaderLen(span->p, span->n);
    const int64_t total = Der_GetElementLen(span->p, span->n);
    if (header < 0 || total < header) {
        return false;
    }
    *span = {span->p + header, static_cast<size_t>(total) - static_cast<size_t>(header)};
    return true;
}

// Steps over the element at the start of `span`.
bool Skip(Span* span) {
    const int64_t total = Der_GetElementLen(span->p, span->n);
    if (total < 0) {
        return false;
    }
    span->p += total;
    span->n -= static_cast<size_t>(total);
    return true;
}

bool Digits(const BYTE* p, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (p[i] < '0' || p[i] > '9') {
            return false;
        }
    }
    return true;
}

// One date at the start of `span` as CC YYMMDD[hhmmss]; the span moves past it.
DWORD TakeDate(Span* span, bool long_form, BYTE* text) {
    const int64_t total = Der_GetLen(span->p, span->n);
    const int header = Der_GetHeaderLen(span->p, span->n);
    if (total < 0 || header < 0 || total < header) {
        return VALIDITY_BAD_LENGTH;
    }
    const BYTE tag = span->p[0];
    if (tag != kUtcTimeTag && tag != kGeneralizedTimeTag) {
        return VALIDITY_NOT_FOUND;
    }
    const BYTE* value = span->p + header;
    const size_t value_length = static_cast<size_t>(total) - static_cast<size_t>(header);
    const size_t wanted = long_form ? 14 : 8;  // CCYYMMDD[hhmmss]
    if (tag == kUtcTimeTag) {
        // Two-digit years: 9x is taken as 19xx, everything else as 20xx.
        if (value_length < wanted - 2 || !Digits(value, wanted - 2)) {
            return VALIDITY_NOT_FOUND;
        }
        text[0] = value[0] == '9' ? '1' : '2';
        text[1] = value[0] == '9' ? '9' : '0';
        std::memcpy(text + 2, value, wanted - 2);
    } else {
        if (value_length < wanted || !Digits(value, wanted)) {
            return VALIDITY_NOT_FOUND;
        }
        std::memcpy(text, value, wanted);
    }
    span->p += total;
    span->n -= static_cast<size_t>(total);
    return 0;
}

}  // namespace

DWORD Cert_GetValidity(const BYTE* certificate, size_t length, BYTE* text, DWORD long_form) {
    if (certificate == nullptr || text == nullptr) {
        return VALIDITY_NULL_ARGUMENT;
    }
    Span span{certificate, length};
    if (!Enter(&span) || !Enter(&span)) {
        return VALIDITY_BAD_LENGTH;
    }
    for (int i = 0; i < kElementsBeforeValidity; ++i) {
        if (!Skip(&span)) {
            return VALIDITY_BAD_LENGTH;
        }
    }
    if (span.n == 0 || span.p[0] != kSequenceTag) {
        return VALIDITY_NOT_FOUND;
    }
    if (!Enter(&span)) {
        return VALIDITY_BAD_LENGTH;
    }
    const bool long_dates = long_form != 0;
    const size_t date_length = (long_dates ? kValidityLong : kValidityShort) / 2;
    BYTE dates[kValidityLong] = {};
    DWORD result = TakeDate(&span, long_dates, dates);
    if (result == 0) {
        result = TakeDate(&span, long_dates, dates + date_length);
    }
    if (result == 0) {
        std::memcpy(text, dates, 2 * date_length);
    }
    return result;
}

}  // namespace kelm::card
