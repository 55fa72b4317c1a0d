// The key object entry points: CPGetUserKey, CPGetKeyParam, CPSetKeyParam and CPDestroyKey.
// Each resolves the provider handle (NTE_BAD_UID), the key handle under it (NTE_BAD_KEY) and
// the context's container (NTE_BAD_KEYSET) in its own order, then hands the work to the core's
// key functions and sets the last error once. dwFlags is never consulted.
#include "core/context_records.h"
#include "core/key_params.h"
#include "core/objects_in_use.h"
#include "core/user_keys.h"
#include "csp/entry_checks.h"
#include "kelm/csp.h"

BOOL WINAPI CPGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY* phUserKey) {
    using namespace kelm;
    using namespace kelm::csp;
    platform::Trace("begin CPGetUserKey()");
    const kelm::core::ObjectsInUse in_use;
    if (phUserKey == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    *phUserKey = 0;
    core::ProvCTX* prov = ProviderOf(hProv);
    if (prov == nullptr) {
        return Fail(static_cast<DWORD>(NTE_BAD_UID));
    }
    const core::ContainerCTX* container = ContainerOf(prov);
    if (container == nullptr) {
        return Fail(static_cast<DWORD>(NTE_BAD_KEYSET));
    }
    core::KeyCTX* key = nullptr;
    if (const DWORD error = core::UserKey_Open(container, dwKeySpec, &key); error != 0) {
        return Fail(error);
    }
    if (!core::Alloc_Init_CryptoHandle(phUserKey, core::HANDLE_KEY_TYPE, key, hProv)) {
        const DWORD error = GetLastError();
        core::Free_KeyCTX(key);
        return Fail(error);
    }
    return TRUE;
}

BOOL WINAPI CPGetKeyParam(HCRYPTPROV hProv, HCRYPTKEY hKey, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                          DWORD /*dwFlags*/) {
    using namespace kelm;
    using namespace kelm::csp;
    platform::Trace("begin CPGetKeyParam()");
    const kelm::core::ObjectsInUse in_use;
    core::ProvCTX* prov = ProviderOf(hProv);
    if (prov == nullptr) {
        return Fail(static_cast<DWORD>(NTE_BAD_UID));
    }
    const core::KeyCTX* key = KeyOf(hProv, hKey);
    if (key == nullptr) {
        return Fail(static_cast<DWORD>(NTE_BAD_KEY));
    }
    if (ContainerOf(prov) == nullptr) {
        return Fail(static_cast<DWORD>(NTE_BAD_KEYSET));
    }
    if (pdwDataLen == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    return Result(core::KeyParam_Get(key, dwParam, pbData, pdwDataLen));
}

BOOL WINAPI CPSetKeyParam(HCRYPTPROV hProv, HCRYPTKEY hKey, DWORD dwParam, const BYTE* pbData, DWORD /*dwFlags*/) {
    using namespace kelm;
    using namespace kelm::csp;
    platform::Trace("begin CPSetKeyParam()");
    const kelm::core::ObjectsInUse in_use;
    core::ProvCTX* prov = ProviderOf(hProv);
    if (prov == nullptr) {
        return Fail(static_cast<DWORD>(NTE_BAD_UID));
    }
    core::KeyCTX* key = KeyOf(hProv, hKey);
    if (key == nullptr) {
        return Fail(static_cast<DWORD>(NTE_BAD_KEY));
    }
    core::ContainerCTX* container = ContainerOf(prov);
    if (container == nullptr) {
        return Fail(static_cast<DWORD>(NTE_BAD_KEYSET));
    }
    return Result(core::KeyParam_Set(key, container, dwParam, pbData));
}

BOOL WINAPI CPDestroyKey(HCRYPTPROV hProv, HCRYPTKEY hKey) {
    using namespace kelm;
    using namespace kelm::csp;
    platform::Trace("begin CPDestroyKey()");
    const kelm::core::ObjectsInUse in_use;
    core::ProvCTX* prov = ProviderOf(hProv);
    if (prov == nullptr) {
        return Fail(static_cast<DWORD>(NTE_BAD_UID));
    }
    core::ContainerCTX* container = ContainerOf(prov);
    if (container == nullptr) {
        return Fail(static_cast<DWORD>(NTE_BAD_KEYSET));
    }
    core::KeyCTX* key = KeyOf(hProv, hKey);
    if (key == nullptr) {
        return Fail(static_cast<DWORD>(NTE_BAD_KEY));
    }
    // A key of another container stays: this context cannot speak for it.
    if (!core::KeyBelongsTo(key, container->Name)) {
        return Fail(static_cast<DWORD>(NTE_BAD_KEYSET));
    }
    if (const DWORD error = core::UserKey_Release(key, container); error != 0) {
        return Fail(error);
    }
    if (!core::Release_CryptoObject(hKey)) {
        return Fail(static_cast<DWORD>(NTE_BAD_KEY));  // destroyed by another thread meanwhile
    }
    return TRUE;
}
