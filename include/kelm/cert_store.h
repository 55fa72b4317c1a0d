// The current user's certificate stores (crypt32) as the provider and kelm-tool reach them:
// certificate contexts, their properties and the key provider information that ties a
// certificate to a key container. On Windows all of this comes from <wincrypt.h>; on Linux
// libkelmplatform.so exports the functions with their Windows names and semantics.
#pragma once

#include "kelm/windows_types.h"

#ifndef _WIN32

typedef void* HCERTSTORE;
typedef ULONG_PTR HCRYPTPROV_LEGACY;

typedef struct CRYPTOAPI_BLOB {
    DWORD cbData;
    BYTE* pbData;
} CRYPTOAPI_BLOB;
typedef CRYPTOAPI_BLOB CRYPT_INTEGER_BLOB;
typedef CRYPTOAPI_BLOB CRYPT_OBJID_BLOB;
typedef CRYPTOAPI_BLOB CERT_NAME_BLOB;
typedef CRYPTOAPI_BLOB CRYPT_HASH_BLOB;
typedef CRYPTOAPI_BLOB CRYPT_DATA_BLOB;

typedef struct CRYPT_BIT_STRING_BLOB {
    DWORD cbData;
    BYTE* pbData;
    DWORD cUnusedBits;
} CRYPT_BIT_STRING_BLOB;

typedef struct CRYPT_ALGORITHM_IDENTIFIER {
    LPSTR pszObjId;
    CRYPT_OBJID_BLOB Parameters;
} CRYPT_ALGORITHM_IDENTIFIER;

typedef struct CERT_PUBLIC_KEY_INFO {
    CRYPT_ALGORITHM_IDENTIFIER Algorithm;
    CRYPT_BIT_STRING_BLOB PublicKey;
} CERT_PUBLIC_KEY_INFO;
typedef CERT_PUBLIC_KEY_INFO* PCERT_PUBLIC_KEY_INFO;

// 100-nanosecond intervals since 1 January 1601 (UTC).
typedef struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
} FILETIME;

typedef struct CERT_EXTENSION {
    LPSTR pszObjId;
    BOOL fCritical;
    CRYPT_OBJID_BLOB Value;
} CERT_EXTENSION;
typedef CERT_EXTENSION* PCERT_EXTENSION;

typedef struct CERT_INFO {
    DWORD dwVersion;
    CRYPT_INTEGER_BLOB SerialNumber;  // little-endian, as CryptoAPI keeps integers
    CRYPT_ALGORITHM_IDENTIFIER SignatureAlgorithm;
    CERT_NAME_BLOB Issuer;  // DER of the name
    FILETIME NotBefore;
    FILETIME NotAfter;
    CERT_NAME_BLOB Subject;
    CERT_PUBLIC_KEY_INFO SubjectPublicKeyInfo;
    CRYPT_BIT_STRING_BLOB IssuerUniqueId;
    CRYPT_BIT_STRING_BLOB SubjectUniqueId;
    DWORD cExtension;
    PCERT_EXTENSION rgExtension;
} CERT_INFO;
typedef CERT_INFO* PCERT_INFO;

typedef struct CERT_CONTEXT {
    DWORD dwCertEncodingType;
    BYTE* pbCertEncoded;
    DWORD cbCertEncoded;
    PCERT_INFO pCertInfo;
    HCERTSTORE hCertStore;
} CERT_CONTEXT;
typedef CERT_CONTEXT* PCERT_CONTEXT;
typedef const CERT_CONTEXT* PCCERT_CONTEXT;

typedef struct CRYPT_KEY_PROV_PARAM {
    DWORD dwParam;
    BYTE* pbData;
    DWORD cbData;
    DWORD dwFlags;
} CRYPT_KEY_PROV_PARAM;
typedef CRYPT_KEY_PROV_PARAM* PCRYPT_KEY_PROV_PARAM;

typedef struct CRYPT_KEY_PROV_INFO {
    LPWSTR pwszContainerName;
    LPWSTR pwszProvName;
    DWORD dwProvType;
    DWORD dwFlags;
    DWORD cProvParam;
    PCRYPT_KEY_PROV_PARAM rgProvParam;
    DWORD dwKeySpec;
} CRYPT_KEY_PROV_INFO;
typedef CRYPT_KEY_PROV_INFO* PCRYPT_KEY_PROV_INFO;

// ---- certificate properties ----
#define CERT_KEY_PROV_INFO_PROP_ID 2
#define CERT_SHA1_HASH_PROP_ID 3
#define CERT_MD5_HASH_PROP_ID 4
#define CERT_HASH_PROP_ID CERT_SHA1_HASH_PROP_ID
#define CERT_KEY_SPEC_PROP_ID 6
#define CERT_FRIENDLY_NAME_PROP_ID 11
// The element of a serialized certificate that holds the certificate itself.
#define CERT_CERT_PROP_ID 32

// ---- adding, finding and closing ----
#define CERT_STORE_ADD_NEW 1
#define CERT_STORE_ADD_USE_EXISTING 2
#define CERT_STORE_ADD_REPLACE_EXISTING 3
#define CERT_STORE_ADD_ALWAYS 4
#define CERT_STORE_ADD_REPLACE_EXISTING_INHERIT_PROPERTIES 5
#define CERT_STORE_ADD_NEWER 6
#define CERT_STORE_ADD_NEWER_INHERIT_PROPERTIES 7

#define CERT_COMPARE_SHIFT 16
#define CERT_FIND_ANY 0
#define CERT_FIND_SHA1_HASH (1 << CERT_COMPARE_SHIFT)
#define CERT_FIND_HASH CERT_FIND_SHA1_HASH

#define CERT_CLOSE_STORE_FORCE_FLAG 0x00000001
#define CERT_CLOSE_STORE_CHECK_FLAG 0x00000002

#define szOID_RSA_RSA "1.2.840.113549.1.1.1"

// ---- error codes ----
#define E_INVALIDARG ((HRESULT)0x80070057L)
#define CRYPT_E_NOT_FOUND ((HRESULT)0x80092004L)
#define CRYPT_E_EXISTS ((HRESULT)0x80092005L)
#define CRYPT_E_PENDING_CLOSE ((HRESULT)0x8009200FL)
#define CRYPT_E_ASN1_EOD ((HRESULT)0x80093102L)
#define CRYPT_E_ASN1_CORRUPT ((HRESULT)0x80093103L)
#define CRYPT_E_ASN1_BADTAG ((HRESULT)0x8009310BL)

// ---- crypt32: the certificate store ----
// The stores live in the emulated registry, one key per certificate named for its SHA-1
// thumbprint under HKEY_CURRENT_USER\Software\Microsoft\SystemCertificates\<store>\Certificates,
// whose value "Blob" holds the certificate's serialized properties and then the certificate.
// A store is read when it is opened; additions, deletions and property changes are written
// through at once.
KELM_WINAPI_EXPORT HCERTSTORE WINAPI CertOpenSystemStoreA(HCRYPTPROV_LEGACY hProv, LPCSTR szSubsystemProtocol);
KELM_WINAPI_EXPORT BOOL WINAPI CertCloseStore(HCERTSTORE hCertStore, DWORD dwFlags);
KELM_WINAPI_EXPORT PCCERT_CONTEXT WINAPI CertEnumCertificatesInStore(HCERTSTORE hCertStore,
                                                                    PCCERT_CONTEXT pPrevCertContext);
KELM_WINAPI_EXPORT PCCERT_CONTEXT WINAPI CertFindCertificateInStore(HCERTSTORE hCertStore, DWORD dwCertEncodingType,
                                                                   DWORD dwFindFlags, DWORD dwFindType,
                                                                   const void* pvFindPara,
                                                                   PCCERT_CONTEXT pPrevCertContext);
KELM_WINAPI_EXPORT BOOL WINAPI CertAddEncodedCertificateToStore(HCERTSTORE hCertStore, DWORD dwCertEncodingType,
                                                                const BYTE* pbCertEncoded, DWORD cbCertEncoded,
                                                                DWORD dwAddDisposition, PCCERT_CONTEXT* ppCertContext);
KELM_WINAPI_EXPORT BOOL WINAPI CertDeleteCertificateFromStore(PCCERT_CONTEXT pCertContext);
KELM_WINAPI_EXPORT PCCERT_CONTEXT WINAPI CertDuplicateCertificateContext(PCCERT_CONTEXT pCertContext);
KELM_WINAPI_EXPORT BOOL WINAPI CertFreeCertificateContext(PCCERT_CONTEXT pCertContext);
KELM_WINAPI_EXPORT BOOL WINAPI CertGetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId,
                                                                 void* pvData, DWORD* pcbData);
KELM_WINAPI_EXPORT BOOL WINAPI CertSetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId,
                                                                 DWORD dwFlags, const void* pvData);

#endif  // !_WIN32
