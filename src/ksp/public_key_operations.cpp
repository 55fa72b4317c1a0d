// Encryption and signature verification with a key's public half, which the card is not asked
// for: it comes from the certificate in the current user's "My" store whose key provider
// information names the key's container, and the platform's own software providers do the work.
// Nothing is cached; every call walks the store again.
#include <cstring>
#include <memory>
#include <vector>

#include "core/contexts.h"
#include "kelm/cert_store.h"
#include "kelm/soft_providers.h"
#include "kelm/winapi.h"
#include "ksp/ksp_functions.h"
#include "ksp/ksp_objects.h"
#include "ksp/ksp_text.h"
#include "platform/process/trace.h"

namespace kelm::ksp {
namespace {

constexpr DWORD kCipherFlags = NCRYPT_NO_PADDING_FLAG | NCRYPT_PAD_PKCS1_FLAG | NCRYPT_PAD_OAEP_FLAG | NCRYPT_SILENT_FLAG;
constexpr DWORD kVerifyFlags = BCRYPT_PAD_PKCS1 | NCRYPT_SILENT_FLAG;

// The key provider information's container name equals `name`. The name is read only inside
// the property's own buffer, so a property whose pointer or terminator lies outside it never
// matches.
bool NamesContainer(const std::vector<BYTE>& property, LPCWSTR name) {
    const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(property.data());
    const auto* begin = reinterpret_cast<const BYTE*>(info->pwszContainerName);
    const BYTE* end = property.data() + property.size();
    if (begin == nullptr || begin < property.data() + sizeof(CRYPT_KEY_PROV_INFO) || begin >= end) return false;
    if ((reinterpret_cast<uintptr_t>(begin) % alignof(WCHAR)) != 0) return false;
    const size_t room = static_cast<size_t>(end - begin) / sizeof(WCHAR);
    const size_t length = BoundedLength(info->pwszContainerName, room);
    return length < room && SameText(info->pwszContainerName, name);
}

// The certificate's key provider information, or nothing when it has none or it cannot be read.
bool KeyProviderInfo(PCCERT_CONTEXT certificate, std::vector<BYTE>* property) {
    DWORD size = 0;
    if (!CertGetCertificateContextProperty(certificate, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size)) return false;
    if (size < sizeof(CRYPT_KEY_PROV_INFO)) return false;
    // The vector's storage is aligned for any record, so the property's pointers are read in
    // place.
    property->assign(size, 0);
    if (!CertGetCertificateContextProperty(certificate, CERT_KEY_PROV_INFO_PROP_ID, property->data(), &size)) {
        return false;
    }
    property->resize(size);
    return size >= sizeof(CRYPT_KEY_PROV_INFO);
}

// The certificate's public key as a CryptoAPI PUBLICKEYBLOB, through a verification context of
// the platform's enhanced provider. Empty when it cannot be imported or exported.
std::vector<BYTE> ExportPublicKey(HCRYPTPROV context, PCCERT_CONTEXT certificate) {
    std::vector<BYTE> blob;
    HCRYPTKEY key = 0;
    if (!CryptImportPublicKeyInfo(context, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                  &certificate->pCertInfo->SubjectPublicKeyInfo, &key)) {
        return blob;
    }
    DWORD size = 0;
    if (CryptExportKey(key, 0, PUBLICKEYBLOB, 0, nullptr, &size) && size > 0) {
        blob.resize(size);
        if (!CryptExportKey(key, 0, PUBLICKEYBLOB, 0, blob.data(), &size)) size = 0;
        blob.resize(size);
    }
    CryptDestroyKey(key);
    return blob;
}

// Finds the public key of the key's container in the "My" store. NTE_INVALID_HANDLE when the
// store cannot be opened, no certificate names the container, or its key cannot be exported.
SECURITY_STATUS PublicKeyLookup(const KSP_KEY* key, std::vector<BYTE>* blob) {
    WCHAR name[core::kContainerNameEntry] = {};
    ContainerNameToWide(key->pContainerCTX->Name, name, core::kContainerNameEntry);
    HCERTSTORE store = CertOpenSystemStoreA(0, "My");
    if (store == nullptr) return NTE_INVALID_HANDLE;
    std::vector<BYTE> property;
    PCCERT_CONTEXT certificate = nullptr;
    while ((certificate = CertEnumCertificatesInStore(store, certificate)) != nullptr) {
        // The provider name, type and key kind are not compared: a certificate
        // enrolled through either interface, or another provider, serves.
        if (!KeyProviderInfo(certificate, &property) || !NamesContainer(property, name)) continue;
        HCRYPTPROV context = 0;
        if (!CryptAcquireContextA(&context, nullptr, MS_ENHANCED_PROV_A, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) continue;
        *blob = ExportPublicKey(context, certificate);
        CryptReleaseContext(context, 0);
        CertFreeCertificateContext(certificate);
        break;
    }
    CertCloseStore(store, 0);
    return blob->empty() ? NTE_INVALID_HANDLE : ERROR_SUCCESS;
}

// The public key imported into the platform's software key storage provider, released with
// the object.
class SoftwareKey {
public:
    SECURITY_STATUS Import(std::vector<BYTE>& blob) {
        SECURITY_STATUS status = NCryptOpenStorageProvider(&provider_, MS_KEY_STORAGE_PROVIDER, 0);
        if (status != ERROR_SUCCESS) return status;
        status = NCryptImportKey(provider_, 0, LEGACY_RSAPUBLIC_BLOB, nullptr, &key_, blob.data(),
                                 static_cast<DWORD>(blob.size()), 0);
        if (status != ERROR_SUCCESS) key_ = 0;
        return status;
    }
    NCRYPT_KEY_HANDLE key() const { return key_; }
    ~SoftwareKey() {
        // Deleting the key also releases its handle; one still open after a refused deletion
        // is freed.
        if (key_ != 0 && NCryptDeleteKey(key_, 0) != ERROR_SUCCESS) NCryptFreeObject(key_);
        if (provider_ != 0) NCryptFreeObject(provider_);
    }

private:
    NCRYPT_PROV_HANDLE provider_ = 0;
    NCRYPT_KEY_HANDLE key_ = 0;
};

// The verification algorithm named by the hash's length, or null.
LPCWSTR HashAlgorithmOfLength(DWORD length) {
    switch (length) {
        case 16:
            return BCRYPT_MD5_ALGORITHM;
        case 20:
            return BCRYPT_SHA1_ALGORITHM;
        case 32:
            return BCRYPT_SHA256_ALGORITHM;
        case 48:
            return BCRYPT_SHA384_ALGORITHM;
        case 64:
            return BCRYPT_SHA512_ALGORITHM;
        default:
            return nullptr;
    }
}

}  // namespace

SECURITY_STATUS WINAPI KELMKSPEncrypt(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey, PBYTE pbInput,
                                      DWORD cbInput, VOID* pPaddingInfo, PBYTE pbOutput, DWORD cbOutput,
                                      DWORD* pcbResult, DWORD dwFlags) {
    KeepLastError keep;
    const core::ObjectsInUse in_use;
    platform::Trace("begin KELMKSPEncrypt()");
    KSP_KEY* key = KELMKSPValidateHandles(hProvider, hKey);
    if (key == nullptr) return NTE_INVALID_HANDLE;
    if (pbInput == nullptr || cbInput == 0 || pcbResult == nullptr) return NTE_INVALID_PARAMETER;
    if ((dwFlags & ~kCipherFlags) != 0) return NTE_BAD_FLAGS;
    std::vector<BYTE> blob;
    const SECURITY_STATUS found = PublicKeyLookup(key, &blob);
    if (found != ERROR_SUCCESS) return found;
    SoftwareKey software;
    const SECURITY_STATUS imported = software.Import(blob);
    if (imported != ERROR_SUCCESS) return imported;
    // Size queries, padding schemes and their checks are the platform provider's.
    return NCryptEncrypt(software.key(), pbInput, cbInput, pPaddingInfo, pbOutput, cbOutput, pcbResult, dwFlags);
}

SECURITY_STATUS WINAPI KELMKSPVerifySignature(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey,
                                              VOID* pPaddingInfo, PBYTE pbHashValue, DWORD cbHashValue,
                                              PBYTE pbSignature, DWORD cbSignature, DWORD dwFlags) {
    KeepLastError keep;
    const core::ObjectsInUse in_use;
    platform::Trace("begin KELMKSPVerifySignature()");
    KSP_KEY* key = KELMKSPValidateHandles(hProvider, hKey);
    if (key == nullptr) return NTE_INVALID_HANDLE;
    // The key comes first: without a certificate nothing else about the call matters.
    std::vector<BYTE> blob;
    const SECURITY_STATUS found = PublicKeyLookup(key, &blob);
    if (found != ERROR_SUCCESS) return found;
    if (pbHashValue == nullptr || cbHashValue == 0 || pbSignature == nullptr || cbSignature == 0) {
        return NTE_INVALID_PARAMETER;
    }
    if ((dwFlags & ~kVerifyFlags) != 0) return NTE_BAD_FLAGS;
    BCRYPT_PKCS1_PADDING_INFO padding{HashAlgorithmOfLength(cbHashValue)};
    if (padding.pszAlgId == nullptr) return NTE_BAD_ALGID;
    // A caller's padding information names the hash in its first member, whichever scheme it
    // describes; verification is PKCS #1 v1.5 all the same.
    if (pPaddingInfo != nullptr) padding.pszAlgId = static_cast<const BCRYPT_PKCS1_PADDING_INFO*>(pPaddingInfo)->pszAlgId;
    SoftwareKey software;
    const SECURITY_STATUS imported = software.Import(blob);
    if (imported != ERROR_SUCCESS) return imported;
    const SECURITY_STATUS verified = NCryptVerifySignature(software.key(), &padding, pbHashValue, cbHashValue,
                                                           pbSignature, cbSignature, BCRYPT_PAD_PKCS1);
    return verified == ERROR_SUCCESS ? ERROR_SUCCESS : NTE_BAD_SIGNATURE;
}

}  // namespace kelm::ksp
