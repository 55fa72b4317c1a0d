// The provider's CryptoAPI entry points as the platform's loader finds them in
// libKelmKSPv5.so or KelmKSPv5.dll, and the exported PIN check. C linkage, Windows calling
// convention and types; includable from C and C++.
#pragma once

#include "kelm/windows_types.h"

#ifndef _WIN32
#define KELM_PROVIDER_EXPORT KELM_EXTERN_C __attribute__((visibility("default")))
#else
// The DLL's module-definition file, made from the export list, decides what is exported.
#define KELM_PROVIDER_EXPORT KELM_EXTERN_C
#endif

// Provider contexts.
KELM_PROVIDER_EXPORT BOOL WINAPI CPAcquireContext(HCRYPTPROV* phProv, LPCSTR szContainer, DWORD dwFlags,
                                                  PVTableProvStruc pVTable);
KELM_PROVIDER_EXPORT BOOL WINAPI CPReleaseContext(HCRYPTPROV hProv, DWORD dwFlags);
KELM_PROVIDER_EXPORT BOOL WINAPI CPGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                                                DWORD dwFlags);
KELM_PROVIDER_EXPORT BOOL WINAPI CPSetProvParam(HCRYPTPROV hProv, DWORD dwParam, const BYTE* pbData, DWORD dwFlags);

// User keys and key parameters. CPGetKeyParam follows the platform's buffer convention: with
// pbData null only the size is reported; a buffer shorter than the value as *pdwDataLen states
// it fails with ERROR_MORE_DATA and the needed size, and nothing is written. KP_CERTIFICATE reads
// and writes the certificate the card keeps beside an RSA key (a slot without one: 0x8009200C).
KELM_PROVIDER_EXPORT BOOL WINAPI CPGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY* phUserKey);
KELM_PROVIDER_EXPORT BOOL WINAPI CPGetKeyParam(HCRYPTPROV hProv, HCRYPTKEY hKey, DWORD dwParam, BYTE* pbData,
                                               DWORD* pdwDataLen, DWORD dwFlags);
KELM_PROVIDER_EXPORT BOOL WINAPI CPSetKeyParam(HCRYPTPROV hProv, HCRYPTKEY hKey, DWORD dwParam, const BYTE* pbData,
                                               DWORD dwFlags);
KELM_PROVIDER_EXPORT BOOL WINAPI CPDestroyKey(HCRYPTPROV hProv, HCRYPTKEY hKey);

// Key export: PUBLICKEYBLOB (the card's public key) or SIMPLEBLOB (a session key wrapped with the
// container's exchange key, hPubKey); private keys never leave the card (NTE_BAD_TYPE).
KELM_PROVIDER_EXPORT BOOL WINAPI CPExportKey(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTKEY hPubKey, DWORD dwBlobType,
                                             DWORD dwFlags, BYTE* pbData, DWORD* pdwDataLen);

// Keys made in the provider. CPGenKey: CALG_DES, CALG_3DES and CALG_3DES_112 session keys from
// card randomness, or the container's AT_SIGNATURE / AT_KEYEXCHANGE key pair generated on the card
// (NTE_EXISTS when the slot holds a key, NTE_PERM in a verify context). CPImportKey: a SIMPLEBLOB
// unwrapped by the card with hPubKey or, when hPubKey is 0, the container's exchange key; a
// PUBLICKEYBLOB for a slot of the context's container. Private key BLOBs: NTE_BAD_TYPE.
KELM_PROVIDER_EXPORT BOOL WINAPI CPGenKey(HCRYPTPROV hProv, ALG_ID Algid, DWORD dwFlags, HCRYPTKEY* phKey);
KELM_PROVIDER_EXPORT BOOL WINAPI CPImportKey(HCRYPTPROV hProv, const BYTE* pbData, DWORD dwDataLen,
                                             HCRYPTKEY hPubKey, DWORD dwFlags, HCRYPTKEY* phKey);

// Hash objects.
KELM_PROVIDER_EXPORT BOOL WINAPI CPCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags,
                                              HCRYPTHASH* phHash);
KELM_PROVIDER_EXPORT BOOL WINAPI CPHashData(HCRYPTPROV hProv, HCRYPTHASH hHash, const BYTE* pbData, DWORD dwDataLen,
                                            DWORD dwFlags);
KELM_PROVIDER_EXPORT BOOL WINAPI CPHashSessionKey(HCRYPTPROV hProv, HCRYPTHASH hHash, HCRYPTKEY hKey, DWORD dwFlags);
// A buffer (pbData) shorter than the value as *pdwDataLen states it: FALSE with ERROR_MORE_DATA
// and the needed size in *pdwDataLen; nothing is written and the object is left as it was.
KELM_PROVIDER_EXPORT BOOL WINAPI CPGetHashParam(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwParam, BYTE* pbData,
                                                DWORD* pdwDataLen, DWORD dwFlags);
// Only HP_HASHVAL can be set; pbData must hold the hash's full size (HP_HASHSIZE) in bytes.
KELM_PROVIDER_EXPORT BOOL WINAPI CPSetHashParam(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwParam, const BYTE* pbData,
                                                DWORD dwFlags);
KELM_PROVIDER_EXPORT BOOL WINAPI CPDestroyHash(HCRYPTPROV hProv, HCRYPTHASH hHash);

// Data encryption and key derivation. CPEncrypt with a null pbData is a size query: TRUE, the
// ciphertext's length in *pdwDataLen and ERROR_MORE_DATA as last error. CPDecrypt has no size
// query: a null pbData is ERROR_INVALID_PARAMETER.
KELM_PROVIDER_EXPORT BOOL WINAPI CPEncrypt(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final,
                                           DWORD dwFlags, BYTE* pbData, DWORD* pdwDataLen, DWORD dwBufLen);
KELM_PROVIDER_EXPORT BOOL WINAPI CPDecrypt(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final,
                                           DWORD dwFlags, BYTE* pbData, DWORD* pdwDataLen);
KELM_PROVIDER_EXPORT BOOL WINAPI CPDeriveKey(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTHASH hBaseData, DWORD dwFlags,
                                             HCRYPTKEY* phKey);

// Signatures and random bytes. Signatures are least significant byte first. CPSignHash with
// pbSignature null reports the size and returns TRUE (last error ERROR_MORE_DATA); dwFlags 0x40
// signs without asking for the PIN. CPVerifySignature checks 128-byte signatures of MD5 and
// SHA-1 hashes only: the card knows no other DigestInfo.
KELM_PROVIDER_EXPORT BOOL WINAPI CPSignHash(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwKeySpec,
                                            LPCWSTR szDescription, DWORD dwFlags, BYTE* pbSignature,
                                            DWORD* pdwSigLen);
KELM_PROVIDER_EXPORT BOOL WINAPI CPVerifySignature(HCRYPTPROV hProv, HCRYPTHASH hHash, const BYTE* pbSignature,
                                                   DWORD dwSigLen, HCRYPTKEY hPubKey, LPCWSTR szDescription,
                                                   DWORD dwFlags);
KELM_PROVIDER_EXPORT BOOL WINAPI CPGenRandom(HCRYPTPROV hProv, DWORD dwLen, BYTE* pbBuffer);

// Runs the PIN check on its own: kind 0 the PIN dialog (or PIN pad / recent PIN of this
// thread), any other kind the retry dialog. 1 verified or confirmed, 2 cancelled, 1019 the
// retry dialog's "type again", -1 no dialog could be shown, else the card's VERIFY status.
KELM_PROVIDER_EXPORT int WINAPI DoCheckDialog(DWORD kind);

// Function-pointer types for callers that load the provider at run time.
typedef BOOL(WINAPI* PFN_CPAcquireContext)(HCRYPTPROV*, LPCSTR, DWORD, PVTableProvStruc);
typedef BOOL(WINAPI* PFN_CPReleaseContext)(HCRYPTPROV, DWORD);
typedef BOOL(WINAPI* PFN_CPGetProvParam)(HCRYPTPROV, DWORD, BYTE*, DWORD*, DWORD);
typedef BOOL(WINAPI* PFN_CPSetProvParam)(HCRYPTPROV, DWORD, const BYTE*, DWORD);
typedef BOOL(WINAPI* PFN_CPGetUserKey)(HCRYPTPROV, DWORD, HCRYPTKEY*);
typedef BOOL(WINAPI* PFN_CPGetKeyParam)(HCRYPTPROV, HCRYPTKEY, DWORD, BYTE*, DWORD*, DWORD);
typedef BOOL(WINAPI* PFN_CPSetKeyParam)(HCRYPTPROV, HCRYPTKEY, DWORD, const BYTE*, DWORD);
typedef BOOL(WINAPI* PFN_CPDestroyKey)(HCRYPTPROV, HCRYPTKEY);
typedef BOOL(WINAPI* PFN_CPExportKey)(HCRYPTPROV, HCRYPTKEY, HCRYPTKEY, DWORD, DWORD, BYTE*, DWORD*);
typedef BOOL(WINAPI* PFN_CPGenKey)(HCRYPTPROV, ALG_ID, DWORD, HCRYPTKEY*);
typedef BOOL(WINAPI* PFN_CPImportKey)(HCRYPTPROV, const BYTE*, DWORD, HCRYPTKEY, DWORD, HCRYPTKEY*);
typedef BOOL(WINAPI* PFN_CPCreateHash)(HCRYPTPROV, ALG_ID, HCRYPTKEY, DWORD, HCRYPTHASH*);
typedef BOOL(WINAPI* PFN_CPHashData)(HCRYPTPROV, HCRYPTHASH, const BYTE*, DWORD, DWORD);
typedef BOOL(WINAPI* PFN_CPHashSessionKey)(HCRYPTPROV, HCRYPTHASH, HCRYPTKEY, DWORD);
typedef BOOL(WINAPI* PFN_CPGetHashParam)(HCRYPTPROV, HCRYPTHASH, DWORD, BYTE*, DWORD*, DWORD);
typedef BOOL(WINAPI* PFN_CPSetHashParam)(HCRYPTPROV, HCRYPTHASH, DWORD, const BYTE*, DWORD);
typedef BOOL(WINAPI* PFN_CPDestroyHash)(HCRYPTPROV, HCRYPTHASH);
typedef BOOL(WINAPI* PFN_CPEncrypt)(HCRYPTPROV, HCRYPTKEY, HCRYPTHASH, BOOL, DWORD, BYTE*, DWORD*, DWORD);
typedef BOOL(WINAPI* PFN_CPDecrypt)(HCRYPTPROV, HCRYPTKEY, HCRYPTHASH, BOOL, DWORD, BYTE*, DWORD*);
typedef BOOL(WINAPI* PFN_CPDeriveKey)(HCRYPTPROV, ALG_ID, HCRYPTHASH, DWORD, HCRYPTKEY*);
typedef BOOL(WINAPI* PFN_CPSignHash)(HCRYPTPROV, HCRYPTHASH, DWORD, LPCWSTR, DWORD, BYTE*, DWORD*);
typedef BOOL(WINAPI* PFN_CPVerifySignature)(HCRYPTPROV, HCRYPTHASH, const BYTE*, DWORD, HCRYPTKEY, LPCWSTR, DWORD);
typedef BOOL(WINAPI* PFN_CPGenRandom)(HCRYPTPROV, DWORD, BYTE*);
typedef int(WINAPI* PFN_DoCheckDialog)(DWORD);
