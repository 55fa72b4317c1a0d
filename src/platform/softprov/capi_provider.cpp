// The CryptoAPI software provider as public-key work reaches it: a verification context of a
// PROV_RSA_FULL provider (the base, strong or enhanced one: all three do the same here), an
// RSA public key imported from a certificate's SubjectPublicKeyInfo, and that key exported as
// a PUBLICKEYBLOB. No key container is kept, so a context that names or creates one is
// refused with NTE_BAD_KEYSET. Keys stay usable after their context is released.
// Failures set the thread's last error: NTE_BAD_UID for an unknown context handle,
// NTE_BAD_KEY for an unknown key handle.
#include <cstring>
#include <memory>

#include "kelm/soft_providers.h"
#include "kelm/winapi.h"
#include "platform/softprov/rsa_public_key.h"
#include "platform/softprov/soft_handles.h"

namespace {

struct CapiContext {};

struct CapiKey {
    kelm::platform::RsaPublicKey key;
    ALG_ID algorithm = CALG_RSA_KEYX;
};

kelm::platform::SoftHandleTable<CapiContext>& Contexts() {
    static kelm::platform::SoftHandleTable<CapiContext> table;
    return table;
}

kelm::platform::SoftHandleTable<CapiKey>& Keys() {
    static kelm::platform::SoftHandleTable<CapiKey> table;
    return table;
}

BOOL Fail(HRESULT error) {
    SetLastError(static_cast<DWORD>(error));
    return FALSE;
}

bool IsRsaFullProvider(LPCSTR name) {
    for (const char* known : {MS_DEF_PROV_A, MS_STRONG_PROV_A, MS_ENHANCED_PROV_A}) {
        if (std::strcmp(name, known) == 0) return true;
    }
    return false;
}

}  // namespace

KELM_WINAPI_EXPORT BOOL WINAPI CryptAcquireContextA(HCRYPTPROV* phProv, LPCSTR szContainer, LPCSTR szProvider,
                                                    DWORD dwProvType, DWORD dwFlags) {
    constexpr DWORD kKnownFlags =
        CRYPT_VERIFYCONTEXT | CRYPT_SILENT | CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET | CRYPT_MACHINE_KEYSET;
    if (phProv == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    if (szProvider != nullptr && !IsRsaFullProvider(szProvider)) return Fail(NTE_KEYSET_NOT_DEF);
    if (dwProvType != PROV_RSA_FULL) return Fail(szProvider != nullptr ? NTE_PROV_TYPE_NO_MATCH : NTE_PROV_TYPE_NOT_DEF);
    if ((dwFlags & ~kKnownFlags) != 0) return Fail(NTE_BAD_FLAGS);
    if ((dwFlags & CRYPT_VERIFYCONTEXT) == 0) return Fail(NTE_BAD_KEYSET);
    if ((dwFlags & (CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET)) != 0 || (szContainer != nullptr && *szContainer != '\0'))
        return Fail(NTE_BAD_FLAGS);
    *phProv = Contexts().Add(std::make_shared<CapiContext>());
    return TRUE;
}

KELM_WINAPI_EXPORT BOOL WINAPI CryptReleaseContext(HCRYPTPROV hProv, DWORD dwFlags) {
    if (Contexts().Find(hProv) == nullptr) return Fail(NTE_BAD_UID);
    if (dwFlags != 0) return Fail(NTE_BAD_FLAGS);
    Contexts().Remove(hProv);
    return TRUE;
}

KELM_WINAPI_EXPORT BOOL WINAPI CryptImportPublicKeyInfo(HCRYPTPROV hCryptProv, DWORD dwCertEncodingType,
                                                        PCERT_PUBLIC_KEY_INFO pInfo, HCRYPTKEY* phKey) {
    if (Contexts().Find(hCryptProv) == nullptr) return Fail(NTE_BAD_UID);
    if (pInfo == nullptr || phKey == nullptr || (dwCertEncodingType & X509_ASN_ENCODING) == 0 ||
        (pInfo->PublicKey.pbData == nullptr && pInfo->PublicKey.cbData != 0))
        return Fail(E_INVALIDARG);
    if (pInfo->Algorithm.pszObjId == nullptr || std::strcmp(pInfo->Algorithm.pszObjId, szOID_RSA_RSA) != 0)
        return Fail(NTE_BAD_ALGID);
    if (pInfo->PublicKey.cUnusedBits != 0) return Fail(CRYPT_E_ASN1_CORRUPT);
    auto key = std::make_shared<CapiKey>();
    const HRESULT imported =
        kelm::platform::ImportRsaPublicKeyDer({pInfo->PublicKey.pbData, pInfo->PublicKey.cbData}, key->key);
    if (imported != 0) return Fail(imported);
    // A PUBLICKEYBLOB carries the exponent in 32 bits.
    if (!kelm::platform::ExponentFitsDword(key->key)) return Fail(NTE_BAD_KEY);
    *phKey = Keys().Add(std::move(key));
    return TRUE;
}

KELM_WINAPI_EXPORT BOOL WINAPI CryptExportKey(HCRYPTKEY hKey, HCRYPTKEY hExpKey, DWORD dwBlobType, DWORD dwFlags,
                                              BYTE* pbData, DWORD* pdwDataLen) {
    const auto key = Keys().Find(hKey);
    if (key == nullptr) return Fail(NTE_BAD_KEY);
    if (pdwDataLen == nullptr || hExpKey != 0) return Fail(ERROR_INVALID_PARAMETER);
    if (dwBlobType != PUBLICKEYBLOB) return Fail(NTE_BAD_TYPE);
    if (dwFlags != 0) return Fail(NTE_BAD_FLAGS);
    const auto blob = kelm::platform::ExportCapiPublicKeyBlob(key->key, key->algorithm);
    const DWORD offered = *pdwDataLen;
    *pdwDataLen = static_cast<DWORD>(blob.size());
    if (pbData == nullptr) return TRUE;
    if (offered < blob.size()) return Fail(ERROR_MORE_DATA);
    std::memcpy(pbData, blob.data(), blob.size());
    return TRUE;
}

KELM_WINAPI_EXPORT BOOL WINAPI CryptDestroyKey(HCRYPTKEY hKey) {
    if (Keys().Remove(hKey) == nullptr) return Fail(NTE_BAD_KEY);
    return TRUE;
}
