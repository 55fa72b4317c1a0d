// The CNG software key storage provider ("Microsoft Software Key Storage Provider") as
// public-key work reaches it: RSA public keys imported from CryptoAPI or CNG public blobs,
// encryption with PKCS #1 v1.5, OAEP or no padding, and verification of PKCS #1 v1.5 and PSS
// signatures. Keys are never named or persisted, so an import with a parameter list is
// refused with NTE_NOT_SUPPORTED; private blobs likewise. Each function returns its status and
// leaves the thread's last error alone.
#include <mbedtls/md.h>

#include <climits>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "kelm/soft_providers.h"
#include "kelm/winapi.h"
#include "platform/softprov/rsa_public_key.h"
#include "platform/softprov/soft_handles.h"

namespace {

struct NcryptProvider {};

struct NcryptKey {
    kelm::platform::RsaPublicKey key;
};

kelm::platform::SoftHandleTable<NcryptProvider>& Providers() {
    static kelm::platform::SoftHandleTable<NcryptProvider> table;
    return table;
}

kelm::platform::SoftHandleTable<NcryptKey>& Keys() {
    static kelm::platform::SoftHandleTable<NcryptKey> table;
    return table;
}

constexpr DWORD kPkcs1DigestBytes = 11;  // the PKCS #1 v1.5 block's overhead

bool Named(LPCWSTR name, std::u16string_view expected) { return name != nullptr && name == expected; }

// The hash a padding names. MBEDTLS_MD_NONE with `known` false for a name not supported.
mbedtls_md_type_t HashNamed(LPCWSTR name, bool& known) {
    static const struct {
        std::u16string_view name;
        mbedtls_md_type_t md;
    } kHashes[] = {
        {BCRYPT_MD5_ALGORITHM, MBEDTLS_MD_MD5},       {BCRYPT_SHA1_ALGORITHM, MBEDTLS_MD_SHA1},
        {BCRYPT_SHA256_ALGORITHM, MBEDTLS_MD_SHA256}, {BCRYPT_SHA384_ALGORITHM, MBEDTLS_MD_SHA384},
        {BCRYPT_SHA512_ALGORITHM, MBEDTLS_MD_SHA512},
    };
    for (const auto& hash : kHashes) {
        if (Named(name, hash.name)) {
            known = true;
            return hash.md;
        }
    }
    known = false;
    return MBEDTLS_MD_NONE;
}

size_t HashBytes(mbedtls_md_type_t md) { return mbedtls_md_get_size(mbedtls_md_info_from_type(md)); }

// The one padding bit of `flags` among `paddings`; 0 when there is none or more than one.
DWORD OnePadding(DWORD flags, DWORD paddings) {
    const DWORD padding = flags & paddings;
    return (padding & (padding - 1)) == 0 ? padding : 0;
}

SECURITY_STATUS EncryptBlock(kelm::platform::RsaPublicKey& key, const std::vector<BYTE>& input, DWORD padding,
                             const BCRYPT_OAEP_PADDING_INFO* oaep, std::vector<BYTE>& output) {
    const size_t k = key.Bytes();
    std::lock_guard lock(key.mutex);
    int result = 0;
    if (padding == NCRYPT_NO_PADDING_FLAG) {
        std::vector<BYTE> block(k - input.size(), 0);
        block.insert(block.end(), input.begin(), input.end());
        if (mbedtls_rsa_public(&key.rsa, block.data(), output.data()) != 0) return NTE_BAD_DATA;
        return 0;
    }
    if (padding == NCRYPT_PAD_PKCS1_FLAG) {
        if (input.size() + kPkcs1DigestBytes > k) return NTE_INVALID_PARAMETER;
        result = mbedtls_rsa_rsaes_pkcs1_v15_encrypt(&key.rsa, kelm::platform::SoftRandom, nullptr,
                                                     MBEDTLS_RSA_PUBLIC, input.size(), input.data(), output.data());
    } else {
        if (oaep == nullptr || oaep->pszAlgId == nullptr || (oaep->pbLabel == nullptr && oaep->cbLabel != 0))
            return NTE_INVALID_PARAMETER;
        bool known = false;
        const mbedtls_md_type_t md = HashNamed(oaep->pszAlgId, known);
        if (!known) return NTE_NOT_SUPPORTED;
        if (input.size() + 2 * HashBytes(md) + 2 > k) return NTE_INVALID_PARAMETER;
        mbedtls_rsa_set_padding(&key.rsa, MBEDTLS_RSA_PKCS_V21, md);
        result = mbedtls_rsa_rsaes_oaep_encrypt(&key.rsa, kelm::platform::SoftRandom, nullptr, MBEDTLS_RSA_PUBLIC,
                                                oaep->pbLabel, oaep->cbLabel, input.size(), input.data(),
                                                output.data());
        mbedtls_rsa_set_padding(&key.rsa, MBEDTLS_RSA_PKCS_V15, MBEDTLS_MD_NONE);
    }
    return result == 0 ? 0 : NTE_FAIL;
}

}  // namespace

KELM_WINAPI_EXPORT SECURITY_STATUS WINAPI NCryptOpenStorageProvider(NCRYPT_PROV_HANDLE* phProvider,
                                                                    LPCWSTR pszProviderName, DWORD dwFlags) {
    if (phProvider == nullptr) return NTE_INVALID_PARAMETER;
    if (pszProviderName != nullptr && !Named(pszProviderName, MS_KEY_STORAGE_PROVIDER)) return NTE_PROV_DLL_NOT_FOUND;
    if ((dwFlags & ~NCRYPT_SILENT_FLAG) != 0) return NTE_BAD_FLAGS;
    *phProvider = Providers().Add(std::make_shared<NcryptProvider>());
    return 0;
}

KELM_WINAPI_EXPORT SECURITY_STATUS WINAPI NCryptImportKey(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hImportKey,
                                                          LPCWSTR pszBlobType, NCryptBufferDesc* pParameterList,
                                                          NCRYPT_KEY_HANDLE* phKey, PBYTE pbData, DWORD cbData,
                                                          DWORD dwFlags) {
    static constexpr std::u16string_view kPrivateBlobs[] = {u"PRIVATEBLOB", u"RSAPRIVATEBLOB", u"RSAFULLPRIVATEBLOB",
                                                            u"CAPIPRIVATEBLOB", u"PKCS8_PRIVATEKEY"};
    if (Providers().Find(hProvider) == nullptr) return NTE_INVALID_HANDLE;
    // Public blobs are never wrapped, so there is no import key to give.
    if (phKey == nullptr || pszBlobType == nullptr || pbData == nullptr || cbData == 0 || hImportKey != 0)
        return NTE_INVALID_PARAMETER;
    if ((dwFlags & ~NCRYPT_SILENT_FLAG) != 0) return NTE_BAD_FLAGS;
    if (pParameterList != nullptr) return NTE_NOT_SUPPORTED;
    auto key = std::make_shared<NcryptKey>();
    HRESULT imported = NTE_INVALID_PARAMETER;
    if (Named(pszBlobType, LEGACY_RSAPUBLIC_BLOB)) {
        imported = kelm::platform::ImportCapiPublicKeyBlob({pbData, cbData}, key->key);
    } else if (Named(pszBlobType, BCRYPT_RSAPUBLIC_BLOB) || Named(pszBlobType, BCRYPT_PUBLIC_KEY_BLOB)) {
        imported = kelm::platform::ImportBcryptRsaPublicBlob({pbData, cbData}, key->key);
    } else {
        for (const auto name : kPrivateBlobs) {
            if (Named(pszBlobType, name)) imported = NTE_NOT_SUPPORTED;
        }
    }
    if (imported != 0) return imported;
    *phKey = Keys().Add(std::move(key));
    return 0;
}

KELM_WINAPI_EXPORT SECURITY_STATUS WINAPI NCryptEncrypt(NCRYPT_KEY_HANDLE hKey, PBYTE pbInput, DWORD cbInput,
                                                        VOID* pPaddingInfo, PBYTE pbOutput, DWORD cbOutput,
                                                        DWORD* pcbResult, DWORD dwFlags) {
    constexpr DWORD kPaddings = NCRYPT_NO_PADDING_FLAG | NCRYPT_PAD_PKCS1_FLAG | NCRYPT_PAD_OAEP_FLAG;
    const auto key = Keys().Find(hKey);
    if (key == nullptr) return NTE_INVALID_HANDLE;
    if (pcbResult == nullptr || (pbInput == nullptr && cbInput != 0)) return NTE_INVALID_PARAMETER;
    if ((dwFlags & ~(kPaddings | NCRYPT_SILENT_FLAG)) != 0) return NTE_BAD_FLAGS;
    const DWORD padding = OnePadding(dwFlags, kPaddings);
    if (padding == 0) return NTE_INVALID_PARAMETER;
    const auto k = static_cast<DWORD>(key->key.Bytes());
    *pcbResult = k;
    if (pbOutput == nullptr) return 0;
    if (cbOutput < k) return NTE_BUFFER_TOO_SMALL;
    if (cbInput > k) return NTE_INVALID_PARAMETER;
    // Copied first, so that the output may overwrite the input in place.
    const std::vector<BYTE> input(pbInput, pbInput + cbInput);
    std::vector<BYTE> output(k);
    const SECURITY_STATUS status = EncryptBlock(key->key, input, padding,
                                                static_cast<const BCRYPT_OAEP_PADDING_INFO*>(pPaddingInfo), output);
    if (status != 0) return status;
    std::memcpy(pbOutput, output.data(), k);
    return 0;
}

KELM_WINAPI_EXPORT SECURITY_STATUS WINAPI NCryptVerifySignature(NCRYPT_KEY_HANDLE hKey, VOID* pPaddingInfo,
                                                                PBYTE pbHashValue, DWORD cbHashValue,
                                                                PBYTE pbSignature, DWORD cbSignature, DWORD dwFlags) {
    constexpr DWORD kPaddings = BCRYPT_PAD_PKCS1 | BCRYPT_PAD_PSS;
    const auto key = Keys().Find(hKey);
    if (key == nullptr) return NTE_INVALID_HANDLE;
    if (pbHashValue == nullptr || cbHashValue == 0 || pbSignature == nullptr || cbSignature == 0)
        return NTE_INVALID_PARAMETER;
    if ((dwFlags & ~(kPaddings | NCRYPT_SILENT_FLAG)) != 0) return NTE_BAD_FLAGS;
    const DWORD padding = OnePadding(dwFlags, kPaddings);
    if (padding == 0 || pPaddingInfo == nullptr) return NTE_INVALID_PARAMETER;

    // Both padding informations start with the hash's name; PKCS #1 may name none and sign
    // the bare hash.
    const LPCWSTR algorithm = static_cast<const BCRYPT_PKCS1_PADDING_INFO*>(pPaddingInfo)->pszAlgId;
    bool known = false;
    const mbedtls_md_type_t md = HashNamed(algorithm, known);
    if (!known && (algorithm != nullptr || padding == BCRYPT_PAD_PSS)) {
        return algorithm == nullptr ? NTE_INVALID_PARAMETER : NTE_NOT_SUPPORTED;
    }
    if (known && cbHashValue != HashBytes(md)) return NTE_INVALID_PARAMETER;
    const ULONG salt = padding == BCRYPT_PAD_PSS ? static_cast<const BCRYPT_PSS_PADDING_INFO*>(pPaddingInfo)->cbSalt : 0;
    if (salt > INT_MAX) return NTE_INVALID_PARAMETER;
    if (cbSignature != key->key.Bytes()) return NTE_BAD_SIGNATURE;

    std::lock_guard lock(key->key.mutex);
    const int result = padding == BCRYPT_PAD_PKCS1
                           ? mbedtls_rsa_rsassa_pkcs1_v15_verify(&key->key.rsa, nullptr, nullptr, MBEDTLS_RSA_PUBLIC,
                                                                 md, cbHashValue, pbHashValue, pbSignature)
                           : mbedtls_rsa_rsassa_pss_verify_ext(&key->key.rsa, nullptr, nullptr, MBEDTLS_RSA_PUBLIC,
                                                               md, cbHashValue, pbHashValue, md,
                                                               static_cast<int>(salt), pbSignature);
    return result == 0 ? 0 : NTE_BAD_SIGNATURE;
}

KELM_WINAPI_EXPORT SECURITY_STATUS WINAPI NCryptDeleteKey(NCRYPT_KEY_HANDLE hKey, DWORD dwFlags) {
    if (Keys().Find(hKey) == nullptr) return NTE_INVALID_HANDLE;
    if ((dwFlags & ~NCRYPT_SILENT_FLAG) != 0) return NTE_BAD_FLAGS;
    Keys().Remove(hKey);
    return 0;
}

KELM_WINAPI_EXPORT SECURITY_STATUS WINAPI NCryptFreeObject(NCRYPT_HANDLE hObject) {
    if (Providers().Remove(hObject) == nullptr && Keys().Remove(hObject) == nullptr) return NTE_INVALID_HANDLE;
    return 0;
}
