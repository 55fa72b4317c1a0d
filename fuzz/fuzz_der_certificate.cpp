// Certificates from the fuzzer's input for the DER length helpers, the validity dates, the
// whole-certificate check and the subject common name. Each call gets a heap copy of exactly the bytes it may read, so a read
// one byte past them is caught by the address sanitizer; the text output is guarded.
//
// Input: byte 0 chooses the form. Even: the rest is the certificate itself. Odd: a well-formed
// certificate is patched with the rest, taken as (offset, value) pairs, and cut to a length
// chosen by byte 0, so that the walk gets past the first element before it meets the damage.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "card/certificate_der.h"
#include "card/certificate_subject.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The element made at its full size and filled in place.
Bytes Element(uint8_t tag, const Bytes& content) {
    const size_t size = content.size();
    const size_t header = size < 0x80 ? 2 : 4;
    Bytes out(header + size);
    out[0] = tag;
    if (header == 2) {
        out[1] = static_cast<uint8_t>(size);
    } else {
        out[1] = 0x82, out[2] = static_cast<uint8_t>(size >> 8), out[3] = static_cast<uint8_t>(size);
    }
    std::copy(content.begin(), content.end(), out.begin() + static_cast<std::ptrdiff_t>(header));
    return out;
}

Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

Bytes Text(const char* text) { return Bytes(text, text + std::strlen(text)); }

// Version 3, serial, algorithm, issuer, validity, subject with a common name, an empty key, and a
// signature: the shape the walk and the parser expect.
Bytes Template() {
    const Bytes name = Element(0x30, Element(0x31, Element(0x30, Join({Element(0x06, {0x55, 0x04, 0x03}),
                                                                       Element(0x0C, Text("Fuzz Subject"))}))));
    const Bytes algorithm = Element(0x30, Join({Element(0x06, {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x0B}),
                                                Element(0x05, {})}));
    const Bytes validity = Element(0x30, Join({Element(0x17, Text("990615123456Z")), Element(0x18, Text("20510101000000Z"))}));
    const Bytes tbs = Element(0x30, Join({Element(0xA0, Element(0x02, {0x02})), Element(0x02, {0x01}), algorithm, name,
                                          validity, name, Element(0x30, Join({algorithm, Element(0x03, {0x00})}))}));
    return Element(0x30, Join({tbs, algorithm, Element(0x03, Bytes(65, 0x5A))}));
}

void Check(const Bytes& certificate) {
    // Exactly the certificate's bytes on the heap, nothing after them.
    uint8_t* copy = static_cast<uint8_t*>(std::malloc(certificate.size() + 1));
    if (!certificate.empty()) std::memcpy(copy, certificate.data(), certificate.size());
    const size_t n = certificate.size();
    for (size_t offset = 0; offset < n && offset < 64; ++offset) {
        kelm::card::Der_GetLen(copy + offset, n - offset);
        kelm::card::Der_GetElementLen(copy + offset, n - offset);
        kelm::card::Der_GetHeaderLen(copy + offset, n - offset);
    }
    for (DWORD long_form = 0; long_form <= 1; ++long_form) {
        uint8_t text[kelm::card::kValidityLong + 16];
        std::memset(text, 0xA5, sizeof text);
        kelm::card::Cert_GetValidity(copy, n, text, long_form);
        const size_t written = long_form != 0 ? kelm::card::kValidityLong : kelm::card::kValidityShort;
        for (size_t i = written; i < sizeof text; ++i) {
            if (text[i] != 0xA5) std::abort();
        }
    }
    kelm::card::CommonName name;
    kelm::card::Cert_GetSubjectCommonName(copy, n, &name);
    if (name.length > kelm::card::kCommonNameSize) std::abort();
    kelm::card::Cert_SubjectMatchesCommonName(copy, n, name);
    // What mbed TLS takes as one whole certificate is one the length walk measures the same.
    if (kelm::card::Cert_IsWholeDer(copy, n) && kelm::card::Der_GetLen(copy, n) != static_cast<int64_t>(n)) {
        std::abort();
    }
    std::free(copy);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    if ((data[0] & 1) == 0) {
        Check(Bytes(data + 1, data + size));
        return 0;
    }
    static const Bytes kTemplate = Template();
    Bytes certificate = kTemplate;
    for (size_t i = 1; i + 1 < size; i += 2) {
        certificate[data[i] % certificate.size()] = data[i + 1];
    }
    certificate.resize(certificate.size() - (data[0] >> 1) % 8);
    Check(certificate);
    return 0;
}
