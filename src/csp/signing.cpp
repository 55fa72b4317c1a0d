// CPSignHash, CPVerifySignature and CPGenRandom: signatures over a hash object's value with the
// card's keys, and random bytes from the card. Each resolves its handles in its own order, hands
// the work to core's signature functions and sets the last error once.
#include "core/objects_in_use.h"
#include "core/signatures.h"
#include "csp/entry_checks.h"
#include "kelm/csp.h"

BOOL WINAPI CPSignHash(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwKeySpec, LPCWSTR /*szDescription*/, DWORD dwFlags,
                       BYTE* pbSignature, DWORD* pdwSigLen) {
    using namespace kelm;
    using namespace kelm::csp;
    platform::Trace("begin CPSignHash()");
    const kelm::core::ObjectsInUse in_use;
    const core::ProvCTX* prov = ProviderOf(hProv);
    if (prov == nullptr) {
        return Fail(static_cast<DWORD>(NTE_BAD_UID));
    }
    const core::ContainerCTX* container = ContainerOf(prov);
    if (container == nullptr) {
        return Fail(static_cast<DWORD>(NTE_BAD_KEYSET));
    }
    // The key is looked at before the hash: an empty slot fails whatever the hash.
    core::KeySlot slot{};
    if (const DWORD error = core::Signature_SigningSlot(container, dwKeySpec, &slot); error != 0) {
        return Fail(error);
    }
    core::HashCTX* hash = HashOf(hProv, hHash);
    if (hash == nullptr) {
        return Fail(static_cast<DWORD>(NTE_BAD_HASH));
    }
    if (pdwSigLen == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    const DWORD error = core::Signature_Sign(prov, container, slot, hash, dwFlags, pbSignature, pdwSigLen);
    if (error == ERROR_MORE_DATA && pbSignature == nullptr) {
        SetLastError(ERROR_MORE_DATA);  // a size query succeeds, saying so
        return TRUE;
    }
    return Result(error);
}

BOOL WINAPI CPVerifySignature(HCRYPTPROV hProv, HCRYPTHASH hHash, const BYTE* pbSignature, DWORD dwSigLen,
                              HCRYPTKEY hPubKey, LPCWSTR /*szDescription*/, DWORD /*dwFlags*/) {
    using namespace kelm;
    using namespace kelm::csp;
    platform::Trace("begin CPVerifySignature()");
    const kelm::core::ObjectsInUse in_use;
    const core::ProvCTX* prov = ProviderOf(hProv);
    if (prov == nullptr) {
        return Fail(static_cast<DWORD>(NTE_BAD_UID));
    }
    core::HashCTX* hash = HashOf(hProv, hHash);
    if (hash == nullptr) {
        return Fail(static_cast<DWORD>(NTE_BAD_HASH));
    }
    const core::KeyCTX* key = KeyOf(hProv, hPubKey);
    if (key == nullptr) {
        return Fail(static_cast<DWORD>(NTE_BAD_KEY));
    }
    return Result(core::Signature_Verify(ContainerOf(prov), key, hash, pbSignature, dwSigLen));
}

BOOL WINAPI CPGenRandom(HCRYPTPROV hProv, DWORD dwLen, BYTE* pbBuffer) {
    using namespace kelm;
    using namespace kelm::csp;
    platform::Trace("begin CPGenRandom()");
    const kelm::core::ObjectsInUse in_use;
    if (ProviderOf(hProv) == nullptr) {
        return Fail(static_cast<DWORD>(NTE_BAD_UID));
    }
    if (dwLen == 0) {
        return TRUE;  // nothing asked, nothing written
    }
    if (pbBuffer == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    return Result(core::Random_FromCard(dwLen, pbBuffer));
}
