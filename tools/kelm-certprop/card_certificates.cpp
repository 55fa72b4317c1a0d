#include "card_certificates.h"

#include <wincrypt.h>

#include <cstring>

namespace kelm::certprop {
namespace {

// What a key without a certificate answers to KP_CERTIFICATE (CRYPT_E_NO_DECRYPT_CERT).
constexpr DWORD kNoCertificate = 0x8009200C;

struct ProviderContext {
    HCRYPTPROV handle = 0;
    ProviderContext() = default;
    ProviderContext(const ProviderContext&) = delete;
    ProviderContext& operator=(const ProviderContext&) = delete;
    ~ProviderContext() {
        if (handle != 0) CryptReleaseContext(handle, 0);
    }
};

struct UserKey {
    HCRYPTKEY handle = 0;
    UserKey() = default;
    UserKey(const UserKey&) = delete;
    UserKey& operator=(const UserKey&) = delete;
    ~UserKey() {
        if (handle != 0) CryptDestroyKey(handle);
    }
};

// Silent: a missing card is reported by the tool, not in a message box of the provider.
bool Acquire(ProviderContext* context, const char* container, DWORD flags, DWORD* error) {
    if (CryptAcquireContextA(&context->handle, container, kProviderName, PROV_RSA_FULL, flags | CRYPT_SILENT)) return true;
    context->handle = 0;
    *error = GetLastError();
    return false;
}

// The names the card lists. Every name is read before any container is opened: releasing a
// container's context ends the provider's card session for the whole process.
bool ListContainers(std::vector<std::string>* names, DWORD* error) {
    ProviderContext listing;
    if (!Acquire(&listing, nullptr, CRYPT_VERIFYCONTEXT, error)) return false;
    for (DWORD flags = CRYPT_FIRST;; flags = CRYPT_NEXT) {
        char name[256] = {};
        DWORD length = sizeof name - 1;
        if (!CryptGetProvParam(listing.handle, PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(name), &length, flags)) {
            *error = GetLastError();
            return *error == ERROR_NO_MORE_ITEMS;
        }
        names->emplace_back(name, strnlen(name, sizeof name - 1));
    }
}

// The key's certificate; nothing when the container has no such key or the key no certificate.
void ReadKeyCertificate(HCRYPTPROV container, const std::string& name, DWORD key_spec, std::vector<CardCertificate>* out) {
    UserKey key;
    if (!CryptGetUserKey(container, key_spec, &key.handle)) {
        key.handle = 0;
        const DWORD error = GetLastError();
        if (error != static_cast<DWORD>(NTE_NO_KEY)) out->push_back({name, key_spec, {}, error});
        return;
    }
    DWORD length = 0;
    if (!CryptGetKeyParam(key.handle, KP_CERTIFICATE, nullptr, &length, 0)) {
        const DWORD error = GetLastError();
        if (error != kNoCertificate) out->push_back({name, key_spec, {}, error});
        return;
    }
    CardCertificate certificate{name, key_spec, std::vector<BYTE>(length), 0};
    if (length == 0 || !CryptGetKeyParam(key.handle, KP_CERTIFICATE, certificate.der.data(), &length, 0)) {
        certificate.error = length == 0 ? static_cast<DWORD>(NTE_BAD_DATA) : GetLastError();
        certificate.der.clear();
    } else {
        certificate.der.resize(length);
    }
    out->push_back(std::move(certificate));
}

}  // namespace

std::wstring Widen(const std::string& text) {
    const int length = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(length > 0 ? length : 0), L'\0');
    if (length > 0) MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
    return wide;
}

CardReading ReadCardCertificates() {
    CardReading reading;
    std::vector<std::string> names;
    if (!ListContainers(&names, &reading.error)) return reading;
    reading.error = 0;
    for (const std::string& name : names) {
        ProviderContext container;
        DWORD error = 0;
        if (!Acquire(&container, name.c_str(), 0, &error)) {
            reading.certificates.push_back({name, 0, {}, error});
            continue;
        }
        ReadKeyCertificate(container.handle, name, AT_SIGNATURE, &reading.certificates);
        ReadKeyCertificate(container.handle, name, AT_KEYEXCHANGE, &reading.certificates);
    }
    return reading;
}

}  // namespace kelm::certprop
