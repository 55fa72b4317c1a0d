#include "user_store.h"

#include <cwchar>

namespace kelm::certprop {
namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// Windows writes a store's change at once; some implementations only when the store is
// committed or closed. Committing after each change makes a refusal show on the change itself.
bool Commit(HCERTSTORE store) { return CertControlStore(store, 0, CERT_STORE_CTRL_COMMIT, nullptr) != FALSE; }

void Describe(PCCERT_CONTEXT certificate, StoreResult* result) {
    wchar_t name[512] = {};
    CertGetNameStringW(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name, static_cast<DWORD>(std::size(name)));
    result->subject = name;
    SYSTEMTIME until{};
    FileTimeToSystemTime(&certificate->pCertInfo->NotAfter, &until);
    wchar_t date[32] = {};
    std::swprintf(date, std::size(date), L"%04u-%02u-%02u", until.wYear, until.wMonth, until.wDay);
    result->expiry = date;
    if (CertVerifyTimeValidity(nullptr, certificate->pCertInfo) > 0) result->expiry += L" (expired)";
}

// The certificate's key provider information, empty when it has none.
std::vector<BYTE> KeyInformation(PCCERT_CONTEXT certificate) {
    DWORD length = 0;
    if (!CertGetCertificateContextProperty(certificate, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &length)) return {};
    std::vector<BYTE> info(length);
    if (!CertGetCertificateContextProperty(certificate, CERT_KEY_PROV_INFO_PROP_ID, info.data(), &length)) return {};
    return info;
}

bool NamesKey(const std::vector<BYTE>& bytes, const CRYPT_KEY_PROV_INFO& wanted) {
    if (bytes.size() < sizeof(CRYPT_KEY_PROV_INFO)) return false;
    const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(bytes.data());
    return info->pwszContainerName != nullptr && info->pwszProvName != nullptr &&
           std::wcscmp(info->pwszContainerName, wanted.pwszContainerName) == 0 &&
           lstrcmpiW(info->pwszProvName, wanted.pwszProvName) == 0 && info->dwProvType == wanted.dwProvType &&
           info->dwKeySpec == wanted.dwKeySpec;
}

bool HasAddedDescription(PCCERT_CONTEXT certificate) {
    wchar_t text[std::size(kAddedDescription)] = {};
    DWORD length = sizeof text;
    return CertGetCertificateContextProperty(certificate, CERT_DESCRIPTION_PROP_ID, text, &length) &&
           length == sizeof kAddedDescription && std::wcscmp(text, kAddedDescription) == 0;
}

}  // namespace

UserStore::UserStore() {
    store_ = CertOpenSystemStoreA(0, "MY");
    if (store_ == nullptr) open_error_ = GetLastError();
}

UserStore::~UserStore() {
    if (store_ != nullptr) CertCloseStore(store_, 0);
}

StoreResult UserStore::Put(const CardCertificate& card) {
    StoreResult result;
    result.key_spec = card.key_spec;
    PCCERT_CONTEXT parsed = CertCreateCertificateContext(kEncoding, card.der.data(), static_cast<DWORD>(card.der.size()));
    if (parsed == nullptr) {
        result.outcome = Outcome::Unreadable;
        result.error = GetLastError();
        return result;
    }
    Describe(parsed, &result);

    std::wstring container = Widen(card.container);
    std::wstring provider = Widen(kProviderName);
    CRYPT_KEY_PROV_INFO key{};
    key.pwszContainerName = container.data();
    key.pwszProvName = provider.data();
    key.dwProvType = PROV_RSA_FULL;
    key.dwKeySpec = card.key_spec;

    PCCERT_CONTEXT existing = CertFindCertificateInStore(store_, kEncoding, 0, CERT_FIND_EXISTING, parsed, nullptr);
    CertFreeCertificateContext(parsed);
    if (existing != nullptr) {
        if (NamesKey(KeyInformation(existing), key)) {
            result.outcome = Outcome::AlreadyThere;
        } else if (CertSetCertificateContextProperty(existing, CERT_KEY_PROV_INFO_PROP_ID, 0, &key) && Commit(store_)) {
            result.outcome = Outcome::Linked;
        } else {
            result.error = GetLastError();
        }
        CertFreeCertificateContext(existing);
        return result;
    }

    PCCERT_CONTEXT added = nullptr;
    if (!CertAddEncodedCertificateToStore(store_, kEncoding, card.der.data(), static_cast<DWORD>(card.der.size()),
                                          CERT_STORE_ADD_NEW, &added)) {
        result.error = GetLastError();
        return result;
    }
    const CRYPT_DATA_BLOB description{sizeof kAddedDescription,
                                      reinterpret_cast<BYTE*>(const_cast<wchar_t*>(kAddedDescription))};
    if (CertSetCertificateContextProperty(added, CERT_KEY_PROV_INFO_PROP_ID, 0, &key) &&
        CertSetCertificateContextProperty(added, CERT_DESCRIPTION_PROP_ID, 0, &description) && Commit(store_)) {
        result.outcome = Outcome::Added;
        CertFreeCertificateContext(added);
        return result;
    }
    // Undone, so that crypt32 never meets the certificate without its key.
    result.error = GetLastError();
    CertDeleteCertificateFromStore(added);
    Commit(store_);
    return result;
}

std::vector<StoreResult> UserStore::RemoveAdded(int* failures) {
    // Gathered first: a store is not enumerated while certificates are taken out of it.
    std::vector<PCCERT_CONTEXT> added;
    for (PCCERT_CONTEXT certificate = nullptr; (certificate = CertEnumCertificatesInStore(store_, certificate)) != nullptr;) {
        if (HasAddedDescription(certificate)) added.push_back(CertDuplicateCertificateContext(certificate));
    }
    std::vector<StoreResult> results;
    for (PCCERT_CONTEXT certificate : added) {
        StoreResult result;
        Describe(certificate, &result);
        const std::vector<BYTE> bytes = KeyInformation(certificate);
        if (bytes.size() >= sizeof(CRYPT_KEY_PROV_INFO)) {
            const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(bytes.data());
            if (info->pwszContainerName != nullptr) result.container = info->pwszContainerName;
            result.key_spec = info->dwKeySpec;
        }
        // CertDeleteCertificateFromStore releases the context, whatever it answers.
        if (CertDeleteCertificateFromStore(certificate) && Commit(store_)) {
            result.outcome = Outcome::Removed;
        } else {
            result.error = GetLastError();
            ++*failures;
        }
        results.push_back(std::move(result));
    }
    return results;
}

}  // namespace kelm::certprop
