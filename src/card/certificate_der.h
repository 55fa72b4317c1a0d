// DER lengths as the certificate functions walk them, and the validity dates of a certificate as
// the card's WRITE CERTIFICATE header carries them. Every function reads only inside the
// `available` (or `length`) bytes it is given: a truncated element or one whose length claims
// more than is there is an error, never a read past the buffer.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kelm/windows_types.h"

namespace kelm::card {

// Validity text: CCYYMMDD twice (short form) or CCYYMMDDhhmmss twice (long form).
constexpr size_t kValidityShort = 16;
constexpr size_t kValidityLong = 28;

constexpr DWORD VALIDITY_NULL_ARGUMENT = 0xFFFFFFFF;
constexpr DWORD VALIDITY_NOT_FOUND = 0xFFFFFFFE;    // no validity (or no dates) where expected
constexpr DWORD VALIDITY_BAD_LENGTH = 0xFFFFFFFD;   // a length that cannot be read or does not fit

// The whole length (tag, length bytes, content) of the element at `element`, or -1 when its
// length cannot be read, is a form other than 1 to 4 length bytes, is zero on anything but NULL
// (05 00), or the element does not fit in `available` bytes.
int64_t Der_GetLen(const BYTE* element, size_t available);
// Like Der_GetLen, but any length is accepted for any tag, and a length byte 80 or 85 and up is
// read as four length bytes.
int64_t Der_GetElementLen(const BYTE* element, size_t available);
// Tag and length bytes: 2 for a length byte up to 80, 3 to 5 for 81 to 83, 6 for 84 to 87; -1
// for any other, or when they do not fit in `available` bytes.
int Der_GetHeaderLen(const BYTE* element, size_t available);

// Writes the certificate's notBefore and notAfter into `text` (kValidityShort bytes, or
// kValidityLong when `long_form` is nonzero). A UTCTime year gets the century 19 when its first
// digit is 9 and 20 otherwise; a GeneralizedTime carries its own. The certificate must hold the
// explicit version field. Returns 0 or one of the VALIDITY_ codes.
DWORD Cert_GetValidity(const BYTE* certificate, size_t length, BYTE* text, DWORD long_form);

}  // namespace kelm::card
