// The subject common name of a certificate, decoded with mbed TLS's X.509 parser. Certificates
// come as DER or, when the first byte is "M", as bare base64 text (line breaks allowed), which is
// decoded first. A certificate that does not decode has no common name and matches nothing.
#pragma once

#include <cstddef>

#include "kelm/windows_types.h"

namespace kelm::card {

constexpr size_t kCommonNameSize = 255;

// The value of the first subject attribute whose object identifier's third byte is 3 (the
// common name, 2.5.4.3), zero-padded; a longer value is cut to kCommonNameSize bytes.
struct CommonName {
    BYTE value[kCommonNameSize];
    size_t length;
};

// False (and an empty, zeroed name) when the certificate does not decode or has no such
// attribute. Reads at most `length` bytes of `certificate`.
bool Cert_GetSubjectCommonName(const BYTE* certificate, size_t length, CommonName* name);

// Whether `der` is exactly one whole X.509 certificate of `length` bytes as mbed TLS reads it:
// every inner length consistent with the element holding it, nothing missing after the validity
// dates, the dates themselves well formed. Base64 text is not accepted here.
bool Cert_IsWholeDer(const BYTE* der, size_t length);

// Whether any common-name attribute of the certificate's subject has a value equal to the first
// (value length) bytes of `name`: an attribute "Al" matches a name "Alice".
bool Cert_SubjectMatchesCommonName(const BYTE* certificate, size_t length, const CommonName& name);

}  // namespace kelm::card
