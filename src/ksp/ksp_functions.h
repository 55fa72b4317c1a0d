// The 26 functions of the key storage function table, in table order. Callers reach them only
// through the table that GetKeyStorageInterface hands out; they are not exported.
//
// Every function returns a SECURITY_STATUS and leaves the thread's last error alone, except
// KELMKSPOpenProvider and KELMKSPFreeProvider, which also set it to their result. Each validates
// its provider handle first and its key handle next (NTE_INVALID_HANDLE) before it looks at
// any other argument.
#pragma once

#include "kelm/ksp.h"

namespace kelm::ksp {

SECURITY_STATUS WINAPI KELMKSPOpenProvider(NCRYPT_PROV_HANDLE* phProvider, LPCWSTR pszProviderName, DWORD dwFlags);
SECURITY_STATUS WINAPI KELMKSPOpenKey(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE* phKey, LPCWSTR pszKeyName,
                                      DWORD dwLegacyKeySpec, DWORD dwFlags);
SECURITY_STATUS WINAPI KELMKSPCreatePersistedKey(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE* phKey,
                                                 LPCWSTR pszAlgId, LPCWSTR pszKeyName, DWORD dwLegacyKeySpec,
                                                 DWORD dwFlags);
SECURITY_STATUS WINAPI KELMKSPGetProviderProperty(NCRYPT_PROV_HANDLE hProvider, LPCWSTR pszProperty, PBYTE pbOutput,
                                                  DWORD cbOutput, DWORD* pcbResult, DWORD dwFlags);
SECURITY_STATUS WINAPI KELMKSPGetKeyProperty(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey,
                                             LPCWSTR pszProperty, PBYTE pbOutput, DWORD cbOutput, DWORD* pcbResult,
                                             DWORD dwFlags);
SECURITY_STATUS WINAPI KELMKSPSetProviderProperty(NCRYPT_PROV_HANDLE hProvider, LPCWSTR pszProperty, PBYTE pbInput,
                                                  DWORD cbInput, DWORD dwFlags);
SECURITY_STATUS WINAPI KELMKSPSetKeyProperty(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey,
                                             LPCWSTR pszProperty, PBYTE pbInput, DWORD cbInput, DWORD dwFlags);
SECURITY_STATUS WINAPI KELMKSPFinalizeKey(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey, DWORD dwFlags);
SECURITY_STATUS WINAPI KELMKSPDeleteKey(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey, DWORD dwFlags);
SECURITY_STATUS WINAPI KELMKSPFreeProvider(NCRYPT_PROV_HANDLE hProvider);
SECURITY_STATUS WINAPI KELMKSPFreeKey(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey);
SECURITY_STATUS WINAPI KELMKSPFreeBuffer(PVOID pvInput);
SECURITY_STATUS WINAPI KELMKSPEncrypt(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey, PBYTE pbInput,
                                      DWORD cbInput, VOID* pPaddingInfo, PBYTE pbOutput, DWORD cbOutput,
                                      DWORD* pcbResult, DWORD dwFlags);
SECURITY_STATUS WINAPI KELMKSPDecrypt(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey, PBYTE pbInput,
                                      DWORD cbInput, VOID* pPaddingInfo, PBYTE pbOutput, DWORD cbOutput,
                                      DWORD* pcbResult, DWORD dwFlags);
SECURITY_STATUS WINAPI KELMKSPIsAlgSupported(NCRYPT_PROV_HANDLE hProvider, LPCWSTR pszAlgId, DWORD dwFlags);
SECURITY_STATUS WINAPI KELMKSPEnumAlgorithms(NCRYPT_PROV_HANDLE hProvider, DWORD dwAlgOperations,
                                             DWORD* pdwAlgCount, NCryptAlgorithmName** ppAlgList, DWORD dwFlags);
SECURITY_STATUS WINAPI KELMKSPEnumKeys(NCRYPT_PROV_HANDLE hProvider, LPCWSTR pszScope, NCryptKeyName** ppKeyName,
                                       PVOID* ppEnumState, DWORD dwFlags);
SECURITY_STATUS WINAPI KELMKSPImportKey(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hImportKey,
                                        LPCWSTR pszBlobType, NCryptBufferDesc* pParameterList,
                                        NCRYPT_KEY_HANDLE* phKey, PBYTE pbData, DWORD cbData, DWORD dwFlags);
SECURITY_STATUS WINAPI KELMKSPExportKey(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey,
                                        NCRYPT_KEY_HANDLE hExportKey, LPCWSTR pszBlobType,
                                        NCryptBufferDesc* pParameterList, PBYTE pbOutput, DWORD cbOutput,
                                        DWORD* pcbResult, DWORD dwFlags);
SECURITY_STATUS WINAPI KELMKSPSignHash(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey, VOID* pPaddingInfo,
                                       PBYTE pbHashValue, DWORD cbHashValue, PBYTE pbSignature, DWORD cbSignature,
                                       DWORD* pcbResult, DWORD dwFlags);
SECURITY_STATUS WINAPI KELMKSPVerifySignature(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey,
                                              VOID* pPaddingInfo, PBYTE pbHashValue, DWORD cbHashValue,
                                              PBYTE pbSignature, DWORD cbSignature, DWORD dwFlags);
SECURITY_STATUS WINAPI KELMKSPPromptUser(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey, LPCWSTR pszOperation,
                                         DWORD dwFlags);
SECURITY_STATUS WINAPI KELMKSPNotifyChangeKey(NCRYPT_PROV_HANDLE hProvider, HANDLE* phEvent, DWORD dwFlags);
SECURITY_STATUS WINAPI KELMKSPSecretAgreement(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hPrivKey,
                                              NCRYPT_KEY_HANDLE hPubKey, NCRYPT_SECRET_HANDLE* phAgreedSecret,
                                              DWORD dwFlags);
SECURITY_STATUS WINAPI KELMKSPDeriveKey(NCRYPT_PROV_HANDLE hProvider, NCRYPT_SECRET_HANDLE hSharedSecret,
                                        LPCWSTR pwszKDF, NCryptBufferDesc* pParameterList, PBYTE pbDerivedKey,
                                        DWORD cbDerivedKey, DWORD* pcbResult, ULONG dwFlags);
SECURITY_STATUS WINAPI KELMKSPFreeSecret(NCRYPT_PROV_HANDLE hProvider, NCRYPT_SECRET_HANDLE hSharedSecret);

// The provider's registration record: the aliases "KELM CSP V5" and "KELM CSP V1", and one
// user-mode image (this library's file name, without its directory) offering the key storage
// interface. The image name is filled in when the library is loaded.
const CRYPT_PROVIDER_REG& ProviderRegistration();

}  // namespace kelm::ksp
