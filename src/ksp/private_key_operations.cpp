// Signing and decryption with the card's private keys, after the PIN; key export, which no blob
// type allows, and the operations the provider does not offer.
#include <algorithm>
#include <cstring>

#include "card/apdu_transport.h"
#include "card/card_conversation.h"
#include "card/reader_session.h"
#include "card/rsa_operations.h"
#include "core/context_records.h"
#include "core/secure_wipe.h"
#include "kelm/winapi.h"
#include "ksp/ksp_functions.h"
#include "ksp/ksp_objects.h"
#include "ksp/ksp_text.h"
#include "platform/process/trace.h"

namespace kelm::ksp {
namespace {

constexpr DWORD kCipherFlags = NCRYPT_NO_PADDING_FLAG | NCRYPT_PAD_PKCS1_FLAG | NCRYPT_PAD_OAEP_FLAG | NCRYPT_SILENT_FLAG;
constexpr BYTE kSizeCodeBytes = 64;  // a key's length in bytes is its size code times 64

// The DigestInfo a signature carries, chosen by the hash's length: 0 for a length that names no
// hash the card signs.
BYTE HashKindOfLength(DWORD length) {
    switch (length) {
        case 16:
            return card::HASH_KIND_MD5;
        case 20:
            return card::HASH_KIND_SHA1;
        case 32:
            return card::HASH_KIND_SHA256;
        case 48:
            return card::HASH_KIND_SHA384;
        case 64:
            return card::HASH_KIND_SHA512;
        default:
            return 0;
    }
}

// The private key behind a key object: its slot and its length in bytes, or the reason it
// cannot be used (NTE_BAD_ALGID for a key context that is no RSA key, NTE_NO_KEY for an empty
// slot).
SECURITY_STATUS PrivateKeyOf(const KSP_KEY* key, KeyKind* kind, DWORD* length) {
    if (!KeyKindOf(key->pKeyCTX->Algid, kind)) return NTE_BAD_ALGID;
    const BYTE* status = key->pContainerCTX->Card_ContainerStatus;
    if (status[kind->StatusOffset] != core::STATUS_USED) return NTE_NO_KEY;
    *length = static_cast<DWORD>(status[kind->StatusOffset + 2]) * kSizeCodeBytes;
    return ERROR_SUCCESS;
}

// The output step both operations share: no buffer asks for the size, a short one is refused
// with ERROR_MORE_DATA; either way *pcbResult says how much is needed.
bool OutputReady(PBYTE output, DWORD capacity, DWORD needed, DWORD* pcbResult, SECURITY_STATUS* status) {
    if (output == nullptr || capacity == 0 || capacity < needed) {
        *pcbResult = needed;
        *status = output == nullptr || capacity == 0 ? ERROR_SUCCESS : ERROR_MORE_DATA;
        return false;
    }
    return true;
}

}  // namespace

SECURITY_STATUS WINAPI KELMKSPSignHash(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey, VOID* /*pPaddingInfo*/,
                                       PBYTE pbHashValue, DWORD cbHashValue, PBYTE pbSignature, DWORD cbSignature,
                                       DWORD* pcbResult, DWORD dwFlags) {
    KeepLastError keep;
    const core::ObjectsInUse in_use;
    platform::Trace("begin KELMKSPSignHash()");
    KSP_KEY* key = KELMKSPValidateHandles(hProvider, hKey);
    if (key == nullptr) return NTE_INVALID_HANDLE;
    if (pcbResult == nullptr) return NTE_INVALID_PARAMETER;
    KeyKind kind{};
    DWORD length = 0;
    SECURITY_STATUS status = PrivateKeyOf(key, &kind, &length);
    if (status != ERROR_SUCCESS) return status;
    if (!OutputReady(pbSignature, cbSignature, length, pcbResult, &status)) return status;
    // A missing hash is refused before anyone is asked for a PIN that could not be used.
    if (pbHashValue == nullptr && cbHashValue != 0) return NTE_INVALID_PARAMETER;

    card::CardConversation conversation(std::defer_lock);
    status = EnsurePin(dwFlags, conversation);
    if (status != ERROR_SUCCESS) return status;
    // Always PKCS #1 v1.5, with the DigestInfo the hash's length names, whatever padding the
    // caller describes.
    const BYTE hash_kind = HashKindOfLength(cbHashValue);
    if (hash_kind == 0) return NTE_BAD_HASH;
    DWORD signed_length = length;
    DWORD signed_ok = card::RSA_CardSignature(key->pContainerCTX->Name, kind.Slot, hash_kind, pbHashValue,
                                              cbHashValue, &signed_length, pbSignature);
    if (card::Card_ConnectionLost(signed_ok) && card::Session().PinVerified == 0 &&
        EnsurePin(dwFlags, conversation) == ERROR_SUCCESS) {
        // The connection went away under the signature; the PIN step reconnected. A signature
        // leaves nothing behind on the card, so it is made once more.
        signed_length = length;
        signed_ok = card::RSA_CardSignature(key->pContainerCTX->Name, kind.Slot, hash_kind, pbHashValue, cbHashValue,
                                            &signed_length, pbSignature);
    }
    if (signed_ok != 0) return static_cast<SECURITY_STATUS>(signed_ok);
    *pcbResult = length;
    // The card layer delivers CryptoAPI's order; CNG's is most significant byte first.
    core::SwitchHiLo(pbSignature, length);
    return ERROR_SUCCESS;
}

SECURITY_STATUS WINAPI KELMKSPDecrypt(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey, PBYTE pbInput,
                                      DWORD cbInput, VOID* /*pPaddingInfo*/, PBYTE pbOutput, DWORD cbOutput,
                                      DWORD* pcbResult, DWORD dwFlags) {
    KeepLastError keep;
    const core::ObjectsInUse in_use;
    platform::Trace("begin KELMKSPDecrypt()");
    KSP_KEY* key = KELMKSPValidateHandles(hProvider, hKey);
    if (key == nullptr) return NTE_INVALID_HANDLE;
    if (pbInput == nullptr || cbInput == 0 || pcbResult == nullptr) return NTE_INVALID_PARAMETER;
    if ((dwFlags & ~kCipherFlags) != 0) return NTE_BAD_FLAGS;
    KeyKind kind{};
    DWORD length = 0;
    SECURITY_STATUS status = PrivateKeyOf(key, &kind, &length);
    if (status != ERROR_SUCCESS) return status;
    if (!OutputReady(pbOutput, cbOutput, length, pcbResult, &status)) return status;

    card::CardConversation conversation(std::defer_lock);
    status = EnsurePin(dwFlags, conversation);
    if (status != ERROR_SUCCESS) return status;
    std::memset(pbOutput, 0, std::min(cbInput, cbOutput));
    *pcbResult = cbInput;
    // The card takes whole blocks of 128 or 256 bytes (anything else fails below) and the
    // message is written to a block-sized buffer of our own, so that a ciphertext longer than
    // the caller's output can never overrun it. The padding is always PKCS #1 v1.5.
    BYTE block[card::kRsaBlock2048] = {};
    DWORD message = cbInput;
    char container[core::kContainerNameEntry] = {};
    std::memcpy(container, key->pKeyCTX->ContainerName, core::kContainerNameMax);
    const bool fits = cbInput <= sizeof block;
    const DWORD decrypted =
        fits ? card::RSA_CardDecrypt(container, key->pKeyCTX->Algid, &message, pbInput, block) : 1;
    if (decrypted == 0 && message <= cbOutput) {
        std::memcpy(pbOutput, block, message);
        *pcbResult = message;
    }
    core::SecureZero(block, sizeof block);
    // Every failure (a ciphertext of the wrong length, a bad padding block, a card error) reads
    // as the caller's buffer being wrong.
    return decrypted == 0 && message <= cbOutput ? ERROR_SUCCESS : ERROR_MORE_DATA;
}

SECURITY_STATUS WINAPI KELMKSPExportKey(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey,
                                        NCRYPT_KEY_HANDLE /*hExportKey*/, LPCWSTR pszBlobType,
                                        NCryptBufferDesc* /*pParameterList*/, PBYTE /*pbOutput*/, DWORD /*cbOutput*/,
                                        DWORD* pcbResult, DWORD dwFlags) {
    static const LPCWSTR kKnownBlobs[] = {
        BCRYPT_PUBLIC_KEY_BLOB,         LEGACY_RSAPUBLIC_BLOB,  BCRYPT_PRIVATE_KEY_BLOB,
        BCRYPT_RSAPUBLIC_BLOB,          BCRYPT_RSAPRIVATE_BLOB, BCRYPT_RSAFULLPRIVATE_BLOB,
        NCRYPT_PKCS7_ENVELOPE_BLOB,     NCRYPT_PKCS8_PRIVATE_KEY_BLOB,
    };
    KeepLastError keep;
    const core::ObjectsInUse in_use;
    platform::Trace("begin KELMKSPExportKey()");
    KSP_KEY* key = KELMKSPValidateHandles(hProvider, hKey);
    if (key == nullptr) return NTE_INVALID_HANDLE;
    if (pcbResult == nullptr) return NTE_INVALID_PARAMETER;
    if ((dwFlags & NCRYPT_SILENT_FLAG) != 0) return NTE_BAD_FLAGS;
    if ((dwFlags & NCRYPT_EXPORT_LEGACY_FLAG) != 0) return NTE_NOT_SUPPORTED;
    // No key leaves the card, and public keys come from the certificate store: every blob type
    // the platform knows is refused as unsupported, anything else as a bad parameter.
    for (LPCWSTR blob : kKnownBlobs) {
        if (SameText(pszBlobType, blob)) return NTE_NOT_SUPPORTED;
    }
    return NTE_INVALID_PARAMETER;
}

// ---- operations the provider does not offer: refused once the handles are known ----

SECURITY_STATUS WINAPI KELMKSPImportKey(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE, LPCWSTR, NCryptBufferDesc*,
                                        NCRYPT_KEY_HANDLE*, PBYTE, DWORD, DWORD) {
    return KELMKSPValidateProvHandle(hProvider) == nullptr ? NTE_INVALID_HANDLE : NTE_NOT_SUPPORTED;
}

SECURITY_STATUS WINAPI KELMKSPPromptUser(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey, LPCWSTR, DWORD) {
    if (KELMKSPValidateHandles(hProvider, hKey) == nullptr) {
        return NTE_INVALID_HANDLE;
    }
    return NTE_NOT_SUPPORTED;
}

SECURITY_STATUS WINAPI KELMKSPNotifyChangeKey(NCRYPT_PROV_HANDLE hProvider, HANDLE*, DWORD) {
    return KELMKSPValidateProvHandle(hProvider) == nullptr ? NTE_INVALID_HANDLE : NTE_NOT_SUPPORTED;
}

SECURITY_STATUS WINAPI KELMKSPSecretAgreement(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE, NCRYPT_KEY_HANDLE,
                                              NCRYPT_SECRET_HANDLE*, DWORD) {
    return KELMKSPValidateProvHandle(hProvider) == nullptr ? NTE_INVALID_HANDLE : NTE_NOT_SUPPORTED;
}

SECURITY_STATUS WINAPI KELMKSPDeriveKey(NCRYPT_PROV_HANDLE hProvider, NCRYPT_SECRET_HANDLE, LPCWSTR,
                                        NCryptBufferDesc*, PBYTE, DWORD, DWORD*, ULONG) {
    return KELMKSPValidateProvHandle(hProvider) == nullptr ? NTE_INVALID_HANDLE : NTE_NOT_SUPPORTED;
}

SECURITY_STATUS WINAPI KELMKSPFreeSecret(NCRYPT_PROV_HANDLE hProvider, NCRYPT_SECRET_HANDLE) {
    return KELMKSPValidateProvHandle(hProvider) == nullptr ? NTE_INVALID_HANDLE : NTE_NOT_SUPPORTED;
}

}  // namespace kelm::ksp
