// The provider's CNG key storage interface as the platform's key storage router finds it:
// GetKeyStorageInterface, the 26-slot function table it hands out, and the CNG types, names
// and constants the table's functions use. On Windows <ncrypt.h> and <bcrypt.h> supply the
// types they declare; the function table itself belongs to the provider development kit, so it
// is declared here on both platforms.
#pragma once

#include "kelm/csp.h"
#include "kelm/soft_providers.h"
#include "kelm/windows_types.h"

// A UTF-16 string literal: L"..." where WCHAR is wchar_t, u"..." where it is char16_t.
#ifdef _WIN32
#define KELM_WIDE(text) L##text
#else
#define KELM_WIDE(text) u##text
#endif

#ifndef _WIN32

typedef struct NCryptKeyName {
    LPWSTR pszName;
    LPWSTR pszAlgid;
    DWORD dwLegacyKeySpec;
    DWORD dwFlags;
} NCryptKeyName;

typedef struct NCryptAlgorithmName {
    LPWSTR pszName;
    DWORD dwClass;
    DWORD dwAlgOperations;
    DWORD dwFlags;
} NCryptAlgorithmName;

// A provider's registration record, in the form the platform's registration functions take.
typedef struct CRYPT_INTERFACE_REG {
    ULONG dwInterface;
    ULONG dwFlags;
    ULONG cFunctions;
    PWSTR* rgpszFunctions;
} CRYPT_INTERFACE_REG, *PCRYPT_INTERFACE_REG;

typedef struct CRYPT_IMAGE_REG {
    PWSTR pszImage;
    ULONG cInterfaces;
    PCRYPT_INTERFACE_REG* rgpInterfaces;
} CRYPT_IMAGE_REG, *PCRYPT_IMAGE_REG;

typedef struct CRYPT_PROVIDER_REG {
    ULONG cAliases;
    PWSTR* rgpszAliases;
    PCRYPT_IMAGE_REG pUM;
    PCRYPT_IMAGE_REG pKM;
} CRYPT_PROVIDER_REG, *PCRYPT_PROVIDER_REG;

#define BCRYPT_MAKE_INTERFACE_VERSION(major, minor) {(USHORT)(major), (USHORT)(minor)}
#define NCRYPT_KEY_STORAGE_INTERFACE_VERSION BCRYPT_MAKE_INTERFACE_VERSION(1, 0)
#define NCRYPT_KEY_STORAGE_ALGORITHM u"KEY_STORAGE"

// Provider and key property names.
#define NCRYPT_NAME_PROPERTY u"Name"
#define NCRYPT_USE_CONTEXT_PROPERTY u"Use Context"
#define NCRYPT_IMPL_TYPE_PROPERTY u"Impl Type"
#define NCRYPT_MAX_NAME_LENGTH_PROPERTY u"Max Name Length"
#define NCRYPT_VERSION_PROPERTY u"Version"
#define NCRYPT_SECURITY_DESCR_SUPPORT_PROPERTY u"Security Descr Support"
#define NCRYPT_ALGORITHM_GROUP_PROPERTY u"Algorithm Group"
#define NCRYPT_WINDOW_HANDLE_PROPERTY u"HWND Handle"
#define NCRYPT_LENGTH_PROPERTY u"Length"
#define NCRYPT_RSA_ALGORITHM_GROUP NCRYPT_RSA_ALGORITHM

// Key blob types besides the public ones of <kelm/soft_providers.h>.
#define BCRYPT_PRIVATE_KEY_BLOB u"PRIVATEBLOB"
#define BCRYPT_RSAPRIVATE_BLOB u"RSAPRIVATEBLOB"
#define BCRYPT_RSAFULLPRIVATE_BLOB u"RSAFULLPRIVATEBLOB"
#define NCRYPT_PKCS7_ENVELOPE_BLOB u"PKCS7_ENVELOPE"
#define NCRYPT_PKCS8_PRIVATE_KEY_BLOB u"PKCS8_PRIVATEKEY"

#define NCRYPT_RANDOM_NUMBER_GENERATOR_OPERATION 0x00000020

#endif  // !_WIN32

// The provider's names: the one it is registered under and the two aliases it also answers to.
#define KELM_KSP_NAME KELM_WIDE("KELM Smart Card Key Storage Provider")
#define KELM_KSP_ALIAS_V5 KELM_WIDE("KELM CSP V5")
#define KELM_KSP_ALIAS_V1 KELM_WIDE("KELM CSP V1")

// ---- the key storage function table (the provider development kit's ncrypt_provider.h) ----
typedef SECURITY_STATUS(WINAPI* NCryptOpenStorageProviderFn)(NCRYPT_PROV_HANDLE* phProvider, LPCWSTR pszProviderName,
                                                            DWORD dwFlags);
typedef SECURITY_STATUS(WINAPI* NCryptOpenKeyFn)(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE* phKey,
                                                LPCWSTR pszKeyName, DWORD dwLegacyKeySpec, DWORD dwFlags);
typedef SECURITY_STATUS(WINAPI* NCryptCreatePersistedKeyFn)(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE* phKey,
                                                           LPCWSTR pszAlgId, LPCWSTR pszKeyName,
                                                           DWORD dwLegacyKeySpec, DWORD dwFlags);
typedef SECURITY_STATUS(WINAPI* NCryptGetProviderPropertyFn)(NCRYPT_PROV_HANDLE hProvider, LPCWSTR pszProperty,
                                                            PBYTE pbOutput, DWORD cbOutput, DWORD* pcbResult,
                                                            DWORD dwFlags);
typedef SECURITY_STATUS(WINAPI* NCryptGetKeyPropertyFn)(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey,
                                                       LPCWSTR pszProperty, PBYTE pbOutput, DWORD cbOutput,
                                                       DWORD* pcbResult, DWORD dwFlags);
typedef SECURITY_STATUS(WINAPI* NCryptSetProviderPropertyFn)(NCRYPT_PROV_HANDLE hProvider, LPCWSTR pszProperty,
                                                            PBYTE pbInput, DWORD cbInput, DWORD dwFlags);
typedef SECURITY_STATUS(WINAPI* NCryptSetKeyPropertyFn)(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey,
                                                       LPCWSTR pszProperty, PBYTE pbInput, DWORD cbInput,
                                                       DWORD dwFlags);
typedef SECURITY_STATUS(WINAPI* NCryptFinalizeKeyFn)(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey,
                                                    DWORD dwFlags);
typedef SECURITY_STATUS(WINAPI* NCryptDeleteKeyFn)(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey,
                                                  DWORD dwFlags);
typedef SECURITY_STATUS(WINAPI* NCryptFreeProviderFn)(NCRYPT_PROV_HANDLE hProvider);
typedef SECURITY_STATUS(WINAPI* NCryptFreeKeyFn)(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey);
typedef SECURITY_STATUS(WINAPI* NCryptFreeBufferFn)(PVOID pvInput);
typedef SECURITY_STATUS(WINAPI* NCryptEncryptFn)(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey, PBYTE pbInput,
                                                DWORD cbInput, VOID* pPaddingInfo, PBYTE pbOutput, DWORD cbOutput,
                                                DWORD* pcbResult, DWORD dwFlags);
typedef SECURITY_STATUS(WINAPI* NCryptDecryptFn)(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey, PBYTE pbInput,
                                                DWORD cbInput, VOID* pPaddingInfo, PBYTE pbOutput, DWORD cbOutput,
                                                DWORD* pcbResult, DWORD dwFlags);
typedef SECURITY_STATUS(WINAPI* NCryptIsAlgSupportedFn)(NCRYPT_PROV_HANDLE hProvider, LPCWSTR pszAlgId,
                                                       DWORD dwFlags);
typedef SECURITY_STATUS(WINAPI* NCryptEnumAlgorithmsFn)(NCRYPT_PROV_HANDLE hProvider, DWORD dwAlgOperations,
                                                       DWORD* pdwAlgCount, NCryptAlgorithmName** ppAlgList,
                                                       DWORD dwFlags);
typedef SECURITY_STATUS(WINAPI* NCryptEnumKeysFn)(NCRYPT_PROV_HANDLE hProvider, LPCWSTR pszScope,
                                                 NCryptKeyName** ppKeyName, PVOID* ppEnumState, DWORD dwFlags);
typedef SECURITY_STATUS(WINAPI* NCryptImportKeyFn)(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hImportKey,
                                                  LPCWSTR pszBlobType, NCryptBufferDesc* pParameterList,
                                                  NCRYPT_KEY_HANDLE* phKey, PBYTE pbData, DWORD cbData,
                                                  DWORD dwFlags);
typedef SECURITY_STATUS(WINAPI* NCryptExportKeyFn)(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey,
                                                  NCRYPT_KEY_HANDLE hExportKey, LPCWSTR pszBlobType,
                                                  NCryptBufferDesc* pParameterList, PBYTE pbOutput, DWORD cbOutput,
                                                  DWORD* pcbResult, DWORD dwFlags);
typedef SECURITY_STATUS(WINAPI* NCryptSignHashFn)(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey,
                                                 VOID* pPaddingInfo, PBYTE pbHashValue, DWORD cbHashValue,
                                                 PBYTE pbSignature, DWORD cbSignature, DWORD* pcbResult,
                                                 DWORD dwFlags);
typedef SECURITY_STATUS(WINAPI* NCryptVerifySignatureFn)(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey,
                                                        VOID* pPaddingInfo, PBYTE pbHashValue, DWORD cbHashValue,
                                                        PBYTE pbSignature, DWORD cbSignature, DWORD dwFlags);
typedef SECURITY_STATUS(WINAPI* NCryptPromptUserFn)(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey,
                                                   LPCWSTR pszOperation, DWORD dwFlags);
typedef SECURITY_STATUS(WINAPI* NCryptNotifyChangeKeyFn)(NCRYPT_PROV_HANDLE hProvider, HANDLE* phEvent,
                                                        DWORD dwFlags);
typedef SECURITY_STATUS(WINAPI* NCryptSecretAgreementFn)(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hPrivKey,
                                                        NCRYPT_KEY_HANDLE hPubKey,
                                                        NCRYPT_SECRET_HANDLE* phAgreedSecret, DWORD dwFlags);
typedef SECURITY_STATUS(WINAPI* NCryptDeriveKeyFn)(NCRYPT_PROV_HANDLE hProvider, NCRYPT_SECRET_HANDLE hSharedSecret,
                                                  LPCWSTR pwszKDF, NCryptBufferDesc* pParameterList,
                                                  PBYTE pbDerivedKey, DWORD cbDerivedKey, DWORD* pcbResult,
                                                  ULONG dwFlags);
typedef SECURITY_STATUS(WINAPI* NCryptFreeSecretFn)(NCRYPT_PROV_HANDLE hProvider,
                                                   NCRYPT_SECRET_HANDLE hSharedSecret);

typedef struct NCRYPT_KEY_STORAGE_FUNCTION_TABLE {
    BCRYPT_INTERFACE_VERSION Version;
    NCryptOpenStorageProviderFn OpenProvider;
    NCryptOpenKeyFn OpenKey;
    NCryptCreatePersistedKeyFn CreatePersistedKey;
    NCryptGetProviderPropertyFn GetProviderProperty;
    NCryptGetKeyPropertyFn GetKeyProperty;
    NCryptSetProviderPropertyFn SetProviderProperty;
    NCryptSetKeyPropertyFn SetKeyProperty;
    NCryptFinalizeKeyFn FinalizeKey;
    NCryptDeleteKeyFn DeleteKey;
    NCryptFreeProviderFn FreeProvider;
    NCryptFreeKeyFn FreeKey;
    NCryptFreeBufferFn FreeBuffer;
    NCryptEncryptFn Encrypt;
    NCryptDecryptFn Decrypt;
    NCryptIsAlgSupportedFn IsAlgSupported;
    NCryptEnumAlgorithmsFn EnumAlgorithms;
    NCryptEnumKeysFn EnumKeys;
    NCryptImportKeyFn ImportKey;
    NCryptExportKeyFn ExportKey;
    NCryptSignHashFn SignHash;
    NCryptVerifySignatureFn VerifySignature;
    NCryptPromptUserFn PromptUser;
    NCryptNotifyChangeKeyFn NotifyChangeKey;
    NCryptSecretAgreementFn SecretAgreement;
    NCryptDeriveKeyFn DeriveKey;
    NCryptFreeSecretFn FreeSecret;
} NCRYPT_KEY_STORAGE_FUNCTION_TABLE;

typedef NTSTATUS(WINAPI* GetKeyStorageInterfaceFn)(LPCWSTR pszProviderName,
                                                   NCRYPT_KEY_STORAGE_FUNCTION_TABLE** ppFunctionTable,
                                                   DWORD dwFlags);

// Hands out the provider's function table (always the same constant table) and returns 0. The
// provider name and the flags are not examined.
KELM_PROVIDER_EXPORT NTSTATUS WINAPI GetKeyStorageInterface(LPCWSTR pszProviderName,
                                                            NCRYPT_KEY_STORAGE_FUNCTION_TABLE** ppFunctionTable,
                                                            DWORD dwFlags);
