#include "platform/crypt32/cert_serialization.h"

#include <algorithm>
#include <cstring>

namespace kelm::platform {
namespace {

// Element ids of the other kinds of store contexts, which a certificate's blob never holds.
constexpr DWORD kCrlElement = 33;
constexpr DWORD kCtlElement = 34;
constexpr size_t kElementHeaderSize = 12;
constexpr DWORD kElementEncoding = 1;

constexpr size_t kKeyProvHeaderSize = 28;
constexpr size_t kKeyProvParamSize = 16;

DWORD ReadDword(std::span<const BYTE> bytes, size_t at) {
    return static_cast<DWORD>(bytes[at]) | static_cast<DWORD>(bytes[at + 1]) << 8 |
           static_cast<DWORD>(bytes[at + 2]) << 16 | static_cast<DWORD>(bytes[at + 3]) << 24;
}

void AppendDword(std::vector<BYTE>& out, size_t value) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<BYTE>(value >> shift));
}

void WriteDword(std::vector<BYTE>& out, size_t at, size_t value) {
    for (int i = 0; i < 4; ++i) out[at + i] = static_cast<BYTE>(value >> (8 * i));
}

void AppendElement(std::vector<BYTE>& out, DWORD id, const std::vector<BYTE>& value) {
    AppendDword(out, id);
    AppendDword(out, kElementEncoding);
    AppendDword(out, value.size());
    out.insert(out.end(), value.begin(), value.end());
}

// The name at `offset`: its UTF-16 units up to the terminator, which must lie inside `value`.
bool ReadName(std::span<const BYTE> value, DWORD offset, std::optional<std::u16string>& name) {
    if (offset == 0) {
        name.reset();
        return true;
    }
    if (offset < kKeyProvHeaderSize || offset >= value.size()) return false;
    std::u16string text;
    for (size_t at = offset; at + 1 < value.size(); at += 2) {
        const auto unit = static_cast<char16_t>(value[at] | value[at + 1] << 8);
        if (unit == 0) {
            name = std::move(text);
            return true;
        }
        text.push_back(unit);
    }
    return false;
}

void AppendName(std::vector<BYTE>& out, const std::u16string& name) {
    for (const char16_t unit : name) {
        out.push_back(static_cast<BYTE>(unit));
        out.push_back(static_cast<BYTE>(unit >> 8));
    }
    out.push_back(0);
    out.push_back(0);
}

bool CopyName(LPCWSTR source, std::optional<std::u16string>& name) {
    if (source == nullptr) {
        name.reset();
        return true;
    }
    size_t length = 0;
    while (source[length] != 0) {
        if (++length > kMaxKeyProvNameLength) return false;
    }
    name.emplace(source, length);
    return true;
}

size_t AlignUp(size_t value, size_t alignment) { return (value + alignment - 1) / alignment * alignment; }

size_t NameBytes(const std::optional<std::u16string>& name) {
    return name ? (name->size() + 1) * sizeof(WCHAR) : 0;
}

}  // namespace

bool ReadCertificateBlob(std::span<const BYTE> blob, SerializedCertificate& certificate, std::string& problem) {
    certificate = {};
    size_t at = 0;
    while (at < blob.size()) {
        if (blob.size() - at < kElementHeaderSize) {
            problem = "truncated element header at byte " + std::to_string(at);
            return false;
        }
        const DWORD id = ReadDword(blob, at);
        const DWORD length = ReadDword(blob, at + 8);
        at += kElementHeaderSize;
        if (length > blob.size() - at) {
            problem = "element " + std::to_string(id) + " claims " + std::to_string(length) + " bytes, " +
                      std::to_string(blob.size() - at) + " remain";
            return false;
        }
        const auto value = blob.subspan(at, length);
        at += length;
        if (id == kCrlElement || id == kCtlElement) {
            problem = "holds a CRL or CTL, not a certificate";
            return false;
        }
        if (id == CERT_CERT_PROP_ID) {
            if (at != blob.size()) {
                problem = std::to_string(blob.size() - at) + " bytes follow the certificate";
                return false;
            }
            certificate.encoded.assign(value.begin(), value.end());
            return true;
        }
        auto same = std::find_if(certificate.properties.begin(), certificate.properties.end(),
                                 [id](const CertProperty& p) { return p.id == id; });
        if (same == certificate.properties.end()) same = certificate.properties.insert(same, CertProperty{id, {}});
        same->value.assign(value.begin(), value.end());
    }
    problem = "no certificate element";
    return false;
}

std::vector<BYTE> WriteCertificateBlob(const SerializedCertificate& certificate) {
    std::vector<BYTE> blob;
    for (const CertProperty& property : certificate.properties) AppendElement(blob, property.id, property.value);
    AppendElement(blob, CERT_CERT_PROP_ID, certificate.encoded);
    return blob;
}

bool DecodeKeyProvInfo(std::span<const BYTE> value, KeyProvInfo& info) {
    info = {};
    if (value.size() < kKeyProvHeaderSize) return false;
    if (!ReadName(value, ReadDword(value, 0), info.container) || !ReadName(value, ReadDword(value, 4), info.provider))
        return false;
    info.provider_type = ReadDword(value, 8);
    info.flags = ReadDword(value, 12);
    const DWORD count = ReadDword(value, 16);
    const DWORD table = ReadDword(value, 20);
    info.key_spec = ReadDword(value, 24);
    if (count == 0) return true;
    if (table < kKeyProvHeaderSize || table > value.size() || count > (value.size() - table) / kKeyProvParamSize)
        return false;
    for (DWORD i = 0; i < count; ++i) {
        const size_t entry = table + i * kKeyProvParamSize;
        const DWORD data_offset = ReadDword(value, entry + 4);
        const DWORD data_length = ReadDword(value, entry + 8);
        if (data_length != 0 && (data_offset > value.size() || data_length > value.size() - data_offset))
            return false;
        KeyProvParam param{ReadDword(value, entry), ReadDword(value, entry + 12), {}};
        if (data_length != 0) param.data.assign(value.begin() + data_offset, value.begin() + data_offset + data_length);
        info.params.push_back(std::move(param));
    }
    return true;
}

std::vector<BYTE> EncodeKeyProvInfo(const KeyProvInfo& info) {
    std::vector<BYTE> out(kKeyProvHeaderSize, 0);
    if (info.container) {
        WriteDword(out, 0, out.size());
        AppendName(out, *info.container);
    }
    if (info.provider) {
        WriteDword(out, 4, out.size());
        AppendName(out, *info.provider);
    }
    WriteDword(out, 8, info.provider_type);
    WriteDword(out, 12, info.flags);
    WriteDword(out, 16, info.params.size());
    WriteDword(out, 24, info.key_spec);
    if (!info.params.empty()) {
        out.resize(AlignUp(out.size(), 4), 0);
        const size_t table = out.size();
        WriteDword(out, 20, table);
        out.resize(table + info.params.size() * kKeyProvParamSize, 0);
        for (size_t i = 0; i < info.params.size(); ++i) {
            const KeyProvParam& param = info.params[i];
            const size_t entry = table + i * kKeyProvParamSize;
            WriteDword(out, entry, param.param);
            WriteDword(out, entry + 4, param.data.empty() ? 0 : out.size());
            WriteDword(out, entry + 8, param.data.size());
            WriteDword(out, entry + 12, param.flags);
            out.insert(out.end(), param.data.begin(), param.data.end());
        }
    }
    return out;
}

bool CopyKeyProvInfo(const CRYPT_KEY_PROV_INFO& source, KeyProvInfo& info) {
    info = {};
    if (!CopyName(source.pwszContainerName, info.container) || !CopyName(source.pwszProvName, info.provider))
        return false;
    info.provider_type = source.dwProvType;
    info.flags = source.dwFlags;
    info.key_spec = source.dwKeySpec;
    if (source.cProvParam != 0 && source.rgProvParam == nullptr) return false;
    for (DWORD i = 0; i < source.cProvParam; ++i) {
        const CRYPT_KEY_PROV_PARAM& param = source.rgProvParam[i];
        if (param.cbData != 0 && param.pbData == nullptr) return false;
        info.params.push_back({param.dwParam, param.dwFlags, {param.pbData, param.pbData + param.cbData}});
    }
    return true;
}

size_t KeyProvInfoLayoutSize(const KeyProvInfo& info) {
    size_t size = sizeof(CRYPT_KEY_PROV_INFO) + info.params.size() * sizeof(CRYPT_KEY_PROV_PARAM);
    size += NameBytes(info.container) + NameBytes(info.provider);
    for (const KeyProvParam& param : info.params) size += param.data.size();
    return size;
}

void LayOutKeyProvInfo(const KeyProvInfo& info, BYTE* out) {
    // The structure and the parameter table come first, so both sit at pointer alignment
    // when `out` does; the names follow at an even offset, then the parameter data.
    CRYPT_KEY_PROV_INFO header{};
    size_t at = sizeof header;
    auto* table = reinterpret_cast<CRYPT_KEY_PROV_PARAM*>(out + at);
    at += info.params.size() * sizeof(CRYPT_KEY_PROV_PARAM);
    auto place_name = [&](const std::optional<std::u16string>& name) -> LPWSTR {
        if (!name) return nullptr;
        auto* text = reinterpret_cast<LPWSTR>(out + at);
        std::memcpy(out + at, name->c_str(), NameBytes(name));
        at += NameBytes(name);
        return text;
    };
    header.pwszContainerName = place_name(info.container);
    header.pwszProvName = place_name(info.provider);
    header.dwProvType = info.provider_type;
    header.dwFlags = info.flags;
    header.cProvParam = static_cast<DWORD>(info.params.size());
    header.rgProvParam = info.params.empty() ? nullptr : table;
    header.dwKeySpec = info.key_spec;
    for (size_t i = 0; i < info.params.size(); ++i) {
        const KeyProvParam& param = info.params[i];
        CRYPT_KEY_PROV_PARAM entry{param.param, param.data.empty() ? nullptr : out + at,
                                   static_cast<DWORD>(param.data.size()), param.flags};
        if (!param.data.empty()) std::memcpy(out + at, param.data.data(), param.data.size());
        at += param.data.size();
        std::memcpy(out + sizeof header + i * sizeof entry, &entry, sizeof entry);
    }
    std::memcpy(out, &header, sizeof header);
}

}  // namespace kelm::platform
