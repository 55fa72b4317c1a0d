// The platform's own software providers, as far as public-key operations reach them: the
// CryptoAPI enhanced provider (a verification context, public keys imported from a
// certificate and exported as PUBLICKEYBLOB) and the CNG software key storage provider
// (public keys imported from a blob, RSA encryption and signature verification). On Windows
// these come from <wincrypt.h>, <ncrypt.h> and <bcrypt.h>; on Linux libkelmplatform.so
// exports them with their Windows names and semantics.
#pragma once

#include "kelm/cert_store.h"
#include "kelm/windows_types.h"

#ifndef _WIN32

// ---- provider names ----
#define MS_DEF_PROV_A "Microsoft Base Cryptographic Provider v1.0"
#define MS_ENHANCED_PROV_A "Microsoft Enhanced Cryptographic Provider v1.0"
#define MS_STRONG_PROV_A "Microsoft Strong Cryptographic Provider"
#define MS_KEY_STORAGE_PROVIDER u"Microsoft Software Key Storage Provider"

// ---- CNG blob types and algorithm names ----
#define BCRYPT_PUBLIC_KEY_BLOB u"PUBLICBLOB"
#define BCRYPT_RSAPUBLIC_BLOB u"RSAPUBLICBLOB"
#define LEGACY_RSAPUBLIC_BLOB u"CAPIPUBLICBLOB"
#define BCRYPT_RSA_ALGORITHM u"RSA"
#define NCRYPT_RSA_ALGORITHM BCRYPT_RSA_ALGORITHM
#define BCRYPT_MD5_ALGORITHM u"MD5"
#define BCRYPT_SHA1_ALGORITHM u"SHA1"
#define BCRYPT_SHA256_ALGORITHM u"SHA256"
#define BCRYPT_SHA384_ALGORITHM u"SHA384"
#define BCRYPT_SHA512_ALGORITHM u"SHA512"

#define BCRYPT_PAD_NONE 0x00000001
#define BCRYPT_PAD_OAEP 0x00000004
#define BCRYPT_PAD_PSS 0x00000008
#define BCRYPT_RSAPUBLIC_MAGIC 0x31415352  // "RSA1", also the magic of a CryptoAPI RSA public key

typedef struct BCRYPT_PKCS1_PADDING_INFO {
    LPCWSTR pszAlgId;  // hash named in the DigestInfo; null signs or verifies the bare hash
} BCRYPT_PKCS1_PADDING_INFO;
typedef struct BCRYPT_OAEP_PADDING_INFO {
    LPCWSTR pszAlgId;
    PBYTE pbLabel;
    ULONG cbLabel;
} BCRYPT_OAEP_PADDING_INFO;
typedef struct BCRYPT_PSS_PADDING_INFO {
    LPCWSTR pszAlgId;
    ULONG cbSalt;
} BCRYPT_PSS_PADDING_INFO;

// Header of BCRYPT_RSAPUBLIC_BLOB; the public exponent and the modulus follow, big-endian.
typedef struct BCRYPT_RSAKEY_BLOB {
    ULONG Magic;
    ULONG BitLength;
    ULONG cbPublicExp;
    ULONG cbModulus;
    ULONG cbPrime1;
    ULONG cbPrime2;
} BCRYPT_RSAKEY_BLOB;

typedef struct BCryptBuffer {
    ULONG cbBuffer;
    ULONG BufferType;
    PVOID pvBuffer;
} BCryptBuffer;
typedef struct BCryptBufferDesc {
    ULONG ulVersion;
    ULONG cBuffers;
    BCryptBuffer* pBuffers;
} BCryptBufferDesc;
typedef BCryptBuffer NCryptBuffer;
typedef BCryptBufferDesc NCryptBufferDesc;

// ---- error codes ----
#define NTE_PROV_TYPE_NOT_DEF ((HRESULT)0x80090017L)
#define NTE_KEYSET_NOT_DEF ((HRESULT)0x80090019L)
#define NTE_PROV_TYPE_NO_MATCH ((HRESULT)0x8009001BL)
#define NTE_PROV_DLL_NOT_FOUND ((HRESULT)0x8009001EL)

// ---- the CryptoAPI software provider (advapi32, and crypt32's public-key import) ----
// Only verification contexts of PROV_RSA_FULL providers: this stand-in keeps no key
// containers. Failures set the thread's last error.
KELM_WINAPI_EXPORT BOOL WINAPI CryptAcquireContextA(HCRYPTPROV* phProv, LPCSTR szContainer, LPCSTR szProvider,
                                                    DWORD dwProvType, DWORD dwFlags);
KELM_WINAPI_EXPORT BOOL WINAPI CryptReleaseContext(HCRYPTPROV hProv, DWORD dwFlags);
KELM_WINAPI_EXPORT BOOL WINAPI CryptImportPublicKeyInfo(HCRYPTPROV hCryptProv, DWORD dwCertEncodingType,
                                                        PCERT_PUBLIC_KEY_INFO pInfo, HCRYPTKEY* phKey);
KELM_WINAPI_EXPORT BOOL WINAPI CryptExportKey(HCRYPTKEY hKey, HCRYPTKEY hExpKey, DWORD dwBlobType, DWORD dwFlags,
                                              BYTE* pbData, DWORD* pdwDataLen);
KELM_WINAPI_EXPORT BOOL WINAPI CryptDestroyKey(HCRYPTKEY hKey);

// ---- the CNG software key storage provider (ncrypt) ----
// Public RSA keys only, never persisted. Each function returns its status.
KELM_WINAPI_EXPORT SECURITY_STATUS WINAPI NCryptOpenStorageProvider(NCRYPT_PROV_HANDLE* phProvider,
                                                                    LPCWSTR pszProviderName, DWORD dwFlags);
KELM_WINAPI_EXPORT SECURITY_STATUS WINAPI NCryptImportKey(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hImportKey,
                                                          LPCWSTR pszBlobType, NCryptBufferDesc* pParameterList,
                                                          NCRYPT_KEY_HANDLE* phKey, PBYTE pbData, DWORD cbData,
                                                          DWORD dwFlags);
KELM_WINAPI_EXPORT SECURITY_STATUS WINAPI NCryptEncrypt(NCRYPT_KEY_HANDLE hKey, PBYTE pbInput, DWORD cbInput,
                                                        VOID* pPaddingInfo, PBYTE pbOutput, DWORD cbOutput,
                                                        DWORD* pcbResult, DWORD dwFlags);
KELM_WINAPI_EXPORT SECURITY_STATUS WINAPI NCryptVerifySignature(NCRYPT_KEY_HANDLE hKey, VOID* pPaddingInfo,
                                                                PBYTE pbHashValue, DWORD cbHashValue,
                                                                PBYTE pbSignature, DWORD cbSignature, DWORD dwFlags);
KELM_WINAPI_EXPORT SECURITY_STATUS WINAPI NCryptDeleteKey(NCRYPT_KEY_HANDLE hKey, DWORD dwFlags);
KELM_WINAPI_EXPORT SECURITY_STATUS WINAPI NCryptFreeObject(NCRYPT_HANDLE hObject);

#endif  // !_WIN32
