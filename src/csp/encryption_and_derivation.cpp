// CPEncrypt, CPDecrypt and CPDeriveKey. Handles are checked in this order: the provider
// (NTE_BAD_UID), the hash when one is given, under that provider (NTE_BAD_HASH), the key
// (NTE_BAD_KEY), the hash's state (NTE_BAD_HASH_STATE) and the key's container (NTE_BAD_KEYSET).
// A key handle is accepted whichever context made it, as long as the key belongs to this
// context's container. dwFlags of CPEncrypt and CPDecrypt is never consulted, nor are the key's
// permissions.
#include "core/data_encryption.h"
#include "core/handles.h"
#include "core/objects_in_use.h"
#include "core/session_keys.h"
#include "core/context_records.h"
#include "csp/entry_checks.h"
#include "kelm/csp.h"
#include "kelm/winapi.h"
#include "platform/process/trace.h"

namespace kelm::csp {
namespace {

constexpr DWORD kBadUid = static_cast<DWORD>(NTE_BAD_UID);
constexpr DWORD kBadHash = static_cast<DWORD>(NTE_BAD_HASH);
constexpr DWORD kBadKey = static_cast<DWORD>(NTE_BAD_KEY);
constexpr DWORD kBadHashState = static_cast<DWORD>(NTE_BAD_HASH_STATE);
constexpr DWORD kBadKeyset = static_cast<DWORD>(NTE_BAD_KEYSET);
constexpr DWORD kBadAlgid = static_cast<DWORD>(NTE_BAD_ALGID);

// The objects of one CPEncrypt or CPDecrypt call, resolved in the documented order.
struct CipherCall {
    core::ProvCTX* prov = nullptr;
    core::KeyCTX* key = nullptr;
    core::HashCTX* hash = nullptr;  // null when the call hashes nothing
};

DWORD ResolveCipherCall(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTHASH hHash, const DWORD* pdwDataLen,
                        CipherCall* call) {
    call->prov = hProv != 0 ? static_cast<core::ProvCTX*>(
                                  core::Get_CryptoCTX(hProv, core::HANDLE_PROVIDER_TYPE, hProv))
                            : nullptr;
    if (call->prov == nullptr) {
        return kBadUid;
    }
    if (hHash != 0) {
        call->hash = static_cast<core::HashCTX*>(core::Get_CryptoCTX(hHash, core::HANDLE_HASH_TYPE, hProv));
        if (call->hash == nullptr) {
            return kBadHash;
        }
    }
    call->key = static_cast<core::KeyCTX*>(core::Get_CryptoCTXOfAnyOwner(hKey, core::HANDLE_KEY_TYPE));
    if (call->key == nullptr) {
        return kBadKey;
    }
    if (call->hash != nullptr && call->hash->Finished != 0) {
        return kBadHashState;
    }
    if (!core::Key_BelongsTo(call->key, call->prov)) {
        return kBadKeyset;
    }
    return pdwDataLen == nullptr ? ERROR_INVALID_PARAMETER : 0;
}

}  // namespace
}  // namespace kelm::csp

BOOL WINAPI CPEncrypt(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final, DWORD /*dwFlags*/,
                      BYTE* pbData, DWORD* pdwDataLen, DWORD dwBufLen) {
    using namespace kelm;
    using namespace kelm::csp;
    platform::Trace("begin CPEncrypt()");
    const kelm::core::ObjectsInUse in_use;
    CipherCall call;
    if (const DWORD error = ResolveCipherCall(hProv, hKey, hHash, pdwDataLen, &call); error != 0) {
        return Fail(error);
    }
    const DWORD status = core::Key_Encrypt(call.key, call.hash, Final, pbData, pdwDataLen, dwBufLen);
    if (status == ERROR_MORE_DATA && pbData == nullptr) {
        SetLastError(ERROR_MORE_DATA);  // a size query: the size is the answer
        return TRUE;
    }
    return status == 0 ? TRUE : Fail(status);
}

BOOL WINAPI CPDecrypt(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final, DWORD /*dwFlags*/,
                      BYTE* pbData, DWORD* pdwDataLen) {
    using namespace kelm;
    using namespace kelm::csp;
    platform::Trace("begin CPDecrypt()");
    const kelm::core::ObjectsInUse in_use;
    CipherCall call;
    if (const DWORD error = ResolveCipherCall(hProv, hKey, hHash, pdwDataLen, &call); error != 0) {
        return Fail(error);
    }
    const DWORD status = core::Key_Decrypt(call.key, call.hash, Final, pbData, pdwDataLen, call.prov->dwFlags);
    return status == 0 ? TRUE : Fail(status);
}

BOOL WINAPI CPDeriveKey(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTHASH hBaseData, DWORD dwFlags, HCRYPTKEY* phKey) {
    using namespace kelm;
    using namespace kelm::csp;
    platform::Trace("begin CPDeriveKey()");
    const kelm::core::ObjectsInUse in_use;
    const auto* prov =
        hProv != 0 ? static_cast<core::ProvCTX*>(core::Get_CryptoCTX(hProv, core::HANDLE_PROVIDER_TYPE, hProv))
                   : nullptr;
    if (prov == nullptr) {
        return Fail(kBadUid);
    }
    auto* hash = static_cast<core::HashCTX*>(core::Get_CryptoCTX(hBaseData, core::HANDLE_HASH_TYPE, hProv));
    if (hash == nullptr) {
        return Fail(kBadHash);
    }
    if (Algid != CALG_DES && Algid != CALG_3DES_112 && Algid != CALG_3DES) {
        return Fail(kBadAlgid);
    }
    if (phKey == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    core::KeyCTX* key = nullptr;
    if (const DWORD status = core::DeriveSessionKey(prov, hash, Algid, dwFlags, &key); status != 0) {
        return Fail(status);
    }
    if (!core::Alloc_Init_CryptoHandle(phKey, core::HANDLE_KEY_TYPE, key, hProv)) {
        const DWORD error = GetLastError();
        core::Free_KeyCTX(key);
        return Fail(error);
    }
    return TRUE;
}
