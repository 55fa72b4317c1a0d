// The hash object entry points: CPCreateHash, CPHashData, CPHashSessionKey, CPGetHashParam,
// CPSetHashParam and CPDestroyHash. Each resolves the provider handle (NTE_BAD_UID), then the
// hash handle under it (NTE_BAD_HASH); the object's states and steps are core::HashObject_…'s.
// dwFlags is accepted and never consulted.
#include <cstring>

#include "core/context_records.h"
#include "core/handles.h"
#include "core/hash_lifecycle.h"
#include "core/objects_in_use.h"
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
constexpr DWORD kBadType = static_cast<DWORD>(NTE_BAD_TYPE);

bool ProviderIsValid(HCRYPTPROV hProv) { return ProviderOf(hProv) != nullptr; }

bool IsRsaKey(const core::KeyCTX* key) { return key->Algid == CALG_RSA_SIGN || key->Algid == CALG_RSA_KEYX; }

// The parameter's bytes into the caller's buffer, under the size-query convention: no buffer
// reports the size (TRUE); a buffer shorter than the size fails with ERROR_MORE_DATA and the
// size; otherwise the bytes are copied. `read` supplies the bytes only once they will be copied,
// so a query or a short buffer leaves the object untouched.
template <typename Read>
BOOL DeliverParam(DWORD size, BYTE* out, DWORD* length, Read read) {
    const DWORD stated = *length;
    *length = size;
    if (out == nullptr) {
        return TRUE;
    }
    if (stated < size) {
        return Fail(ERROR_MORE_DATA);
    }
    std::memcpy(out, read(), size);
    return TRUE;
}

}  // namespace
}  // namespace kelm::csp

BOOL WINAPI CPCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD /*dwFlags*/, HCRYPTHASH* phHash) {
    using namespace kelm;
    using namespace kelm::csp;
    platform::Trace("begin CPCreateHash()");
    const kelm::core::ObjectsInUse in_use;
    if (!ProviderIsValid(hProv)) {
        return Fail(kBadUid);
    }
    if (phHash == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    core::HashCTX* hash = core::Alloc_Init_HashCTX(Algid);
    if (hash == nullptr) {
        return FALSE;  // NTE_BAD_ALGID or ERROR_NOT_ENOUGH_MEMORY, set by the allocation
    }
    if (Algid == CALG_MAC) {
        const core::KeyCTX* key = hKey != 0 ? KeyOf(hProv, hKey) : nullptr;
        const DWORD status = key != nullptr ? core::HashObject_TakeMacKey(hash, key) : kBadKey;
        if (status != 0) {
            core::Free_HashCTX(hash);
            return Fail(status);
        }
    }
    if (!core::Alloc_Init_CryptoHandle(phHash, core::HANDLE_HASH_TYPE, hash, hProv)) {
        const DWORD error = GetLastError();
        core::Free_HashCTX(hash);
        return Fail(error);
    }
    return TRUE;
}

BOOL WINAPI CPHashData(HCRYPTPROV hProv, HCRYPTHASH hHash, const BYTE* pbData, DWORD dwDataLen, DWORD /*dwFlags*/) {
    using namespace kelm;
    using namespace kelm::csp;
    platform::Trace("begin CPHashData()");
    const kelm::core::ObjectsInUse in_use;
    if (!ProviderIsValid(hProv)) {
        return Fail(kBadUid);
    }
    core::HashCTX* hash = HashOf(hProv, hHash);
    if (hash == nullptr) {
        return Fail(kBadHash);
    }
    if (dwDataLen == 0) {
        return TRUE;  // nothing to add, whatever the object's state
    }
    if (pbData == nullptr) {
        return Fail(kBadHash);
    }
    if (hash->Finished != 0) {
        return Fail(kBadHashState);
    }
    return Result(core::HashObject_Feed(hash, pbData, dwDataLen));
}

BOOL WINAPI CPHashSessionKey(HCRYPTPROV hProv, HCRYPTHASH hHash, HCRYPTKEY hKey, DWORD /*dwFlags*/) {
    using namespace kelm;
    using namespace kelm::csp;
    platform::Trace("begin CPHashSessionKey()");
    const kelm::core::ObjectsInUse in_use;
    if (!ProviderIsValid(hProv)) {
        return Fail(kBadUid);
    }
    core::HashCTX* hash = HashOf(hProv, hHash);
    if (hash == nullptr) {
        return Fail(kBadHash);
    }
    const core::KeyCTX* key = hKey != 0 ? KeyOf(hProv, hKey) : nullptr;
    if (key == nullptr) {
        return Fail(kBadKey);
    }
    if (hash->Finished != 0) {
        return Fail(kBadHashState);
    }
    // An RSA key's private part is on the card; there are no bytes to hash. The key's bytes are
    // always hashed last byte first, whatever CRYPT_LITTLE_ENDIAN says.
    if (IsRsaKey(key)) {
        return Fail(kBadKey);
    }
    return Result(core::HashObject_FeedKey(hash, key));
}

BOOL WINAPI CPGetHashParam(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                           DWORD /*dwFlags*/) {
    using namespace kelm;
    using namespace kelm::csp;
    platform::Trace("begin CPGetHashParam()");
    const kelm::core::ObjectsInUse in_use;
    if (!ProviderIsValid(hProv)) {
        return Fail(kBadUid);
    }
    core::HashCTX* hash = HashOf(hProv, hHash);
    if (hash == nullptr) {
        return Fail(kBadHash);
    }
    if (dwParam != HP_ALGID && dwParam != HP_HASHVAL && dwParam != HP_HASHSIZE) {
        return Fail(kBadType);
    }
    if (pdwDataLen == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    switch (dwParam) {
    case HP_ALGID:
        return DeliverParam(sizeof(DWORD), pbData, pdwDataLen, [&] { return &hash->Algid; });
    case HP_HASHSIZE:
        return DeliverParam(sizeof(DWORD), pbData, pdwDataLen, [&] { return &hash->HashLen; });
    default:  // HP_HASHVAL: reading it fixes the value
        return DeliverParam(hash->HashLen, pbData, pdwDataLen, [&] { return core::HashObject_ReadValue(hash); });
    }
}

BOOL WINAPI CPSetHashParam(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwParam, const BYTE* pbData, DWORD /*dwFlags*/) {
    using namespace kelm;
    using namespace kelm::csp;
    platform::Trace("begin CPSetHashParam()");
    const kelm::core::ObjectsInUse in_use;
    if (!ProviderIsValid(hProv)) {
        return Fail(kBadUid);
    }
    core::HashCTX* hash = HashOf(hProv, hHash);
    if (hash == nullptr) {
        return Fail(kBadHash);
    }
    if (dwParam != HP_HASHVAL) {
        return Fail(kBadType);
    }
    if (pbData == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    core::HashObject_SetValue(hash, pbData);
    return TRUE;
}

BOOL WINAPI CPDestroyHash(HCRYPTPROV hProv, HCRYPTHASH hHash) {
    using namespace kelm;
    using namespace kelm::csp;
    platform::Trace("begin CPDestroyHash()");
    const kelm::core::ObjectsInUse in_use;
    if (!ProviderIsValid(hProv)) {
        return Fail(kBadUid);
    }
    core::HashCTX* hash = HashOf(hProv, hHash);
    if (hash == nullptr) {
        return Fail(kBadHash);
    }
    if (!core::Release_CryptoObject(hHash)) {
        return Fail(kBadHash);  // destroyed by another thread meanwhile
    }
    return TRUE;
}
