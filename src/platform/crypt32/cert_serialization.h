// A certificate as the registry keeps it, and its key provider property.
//
// The "Blob" value of a certificate's key is a run of elements, each {property id, 1, value
// length, value} in little-endian 32-bit fields: the certificate's properties first, then the
// element CERT_CERT_PROP_ID holding the certificate's DER.
//
// The serialized CERT_KEY_PROV_INFO_PROP_ID value is CRYPT_KEY_PROV_INFO with every pointer
// replaced by its offset from the start of the value (0 for null): container name offset,
// provider name offset, provider type, flags, parameter count, parameter table offset, key
// specification, then the data. Each parameter is {param, data offset, data length, flags}.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "kelm/cert_store.h"
#include "platform/export.h"

namespace kelm::platform {

struct CertProperty {
    DWORD id = 0;
    std::vector<BYTE> value;
};

struct SerializedCertificate {
    std::vector<CertProperty> properties;  // in the blob's order, one per id
    std::vector<BYTE> encoded;             // the certificate's DER
};

// Splits a "Blob" value into properties and certificate. False, with what is wrong in
// `problem`, when an element runs past the end of the value, when the certificate element is
// missing or followed by more data, or when an element holds a CRL or a CTL instead.
KELM_PLATFORM_API bool ReadCertificateBlob(std::span<const BYTE> blob, SerializedCertificate& certificate,
                                           std::string& problem);
KELM_PLATFORM_API std::vector<BYTE> WriteCertificateBlob(const SerializedCertificate& certificate);

struct KeyProvParam {
    DWORD param = 0;
    DWORD flags = 0;
    std::vector<BYTE> data;
};

struct KeyProvInfo {
    std::optional<std::u16string> container;  // absent: a null pointer
    std::optional<std::u16string> provider;
    DWORD provider_type = 0;
    DWORD flags = 0;
    DWORD key_spec = 0;
    std::vector<KeyProvParam> params;
};

// Longest name taken from a caller's CRYPT_KEY_PROV_INFO, in UTF-16 units.
inline constexpr size_t kMaxKeyProvNameLength = 32767;

// Reads a serialized value. False when a field points outside the value or a name has no
// terminator inside it.
KELM_PLATFORM_API bool DecodeKeyProvInfo(std::span<const BYTE> value, KeyProvInfo& info);
KELM_PLATFORM_API std::vector<BYTE> EncodeKeyProvInfo(const KeyProvInfo& info);

// Copies a caller's structure. False when a name is longer than kMaxKeyProvNameLength or a
// parameter has data but no buffer.
bool CopyKeyProvInfo(const CRYPT_KEY_PROV_INFO& source, KeyProvInfo& info);

// The bytes CertGetCertificateContextProperty hands out: the structure, then the parameter
// table, the names and the parameter data it points to, all inside the one buffer.
size_t KeyProvInfoLayoutSize(const KeyProvInfo& info);
void LayOutKeyProvInfo(const KeyProvInfo& info, BYTE* out);

}  // namespace kelm::platform
