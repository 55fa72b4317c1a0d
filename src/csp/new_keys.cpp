// CPGenKey and CPImportKey: the entry points that make key objects, a generated session key or
// card key pair, or a key from a SIMPLEBLOB or PUBLICKEYBLOB. Each checks its arguments and
// handles in order (the provider: NTE_BAD_UID; its container or the unwrapping key), hands the
// work to core::Key_Generate / core::Key_ImportBlob and sets the last error once.
#include "core/container_registry.h"
#include "core/context_records.h"
#include "core/handles.h"
#include "core/new_keys.h"
#include "core/objects_in_use.h"
#include "kelm/csp.h"
#include "kelm/winapi.h"
#include "platform/process/trace.h"

namespace kelm::csp {
namespace {

// Flags CPGenKey refuses; the accepted ones (CRYPT_EXPORTABLE, CRYPT_USER_PROTECTED,
// CRYPT_CREATE_SALT, CRYPT_NO_SALT, CRYPT_PREGEN and a key length in the upper 16 bits) are
// taken, and only CRYPT_EXPORTABLE has an effect.
constexpr DWORD kRefusedGenKeyFlags = 0xFDE8;

BOOL Fail(DWORD error, const char* entry) {
    platform::TraceLastError(error);
    platform::Trace(entry);
    SetLastError(error);
    return FALSE;
}

core::ProvCTX* ProviderOf(HCRYPTPROV hProv) {
    return hProv == 0 ? nullptr
                      : static_cast<core::ProvCTX*>(core::Get_CryptoCTX(hProv, core::HANDLE_PROVIDER_TYPE, hProv));
}

// Hands out the new key's handle; without one the key is released.
BOOL HandOut(core::KeyCTX* key, HCRYPTPROV hProv, HCRYPTKEY* phKey, const char* entry) {
    uint64_t handle = 0;
    if (!core::Alloc_Init_CryptoHandle(&handle, core::HANDLE_KEY_TYPE, key, hProv)) {
        const DWORD error = GetLastError();
        core::Free_KeyCTX(key);
        return Fail(error, entry);
    }
    *phKey = handle;
    platform::Trace(entry);
    return TRUE;
}

}  // namespace
}  // namespace kelm::csp

BOOL WINAPI CPGenKey(HCRYPTPROV hProv, ALG_ID Algid, DWORD dwFlags, HCRYPTKEY* phKey) {
    using namespace kelm;
    using namespace kelm::csp;
    constexpr const char* kReturn = "CPGenKey() return";
    platform::Trace("begin CPGenKey()");
    const kelm::core::ObjectsInUse in_use;
    if (phKey == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER, kReturn);
    }
    if ((dwFlags & kRefusedGenKeyFlags) != 0) {
        return Fail(static_cast<DWORD>(NTE_BAD_FLAGS), kReturn);
    }
    core::ProvCTX* prov = ProviderOf(hProv);
    if (prov == nullptr) {
        return Fail(static_cast<DWORD>(NTE_BAD_UID), kReturn);
    }
    auto* container =
        static_cast<core::ContainerCTX*>(core::Get_CryptoCTX(prov->CHnd, core::HANDLE_CONTAINER_TYPE, prov->CHnd));
    if (container == nullptr) {
        return Fail(static_cast<DWORD>(NTE_BAD_KEYSET), kReturn);
    }
    core::KeyCTX* key = nullptr;
    const DWORD error = core::Key_Generate(prov, container, Algid, dwFlags, &key);
    if (error != 0) {
        return Fail(error, kReturn);
    }
    return HandOut(key, hProv, phKey, kReturn);
}

BOOL WINAPI CPImportKey(HCRYPTPROV hProv, const BYTE* pbData, DWORD dwDataLen, HCRYPTKEY hPubKey, DWORD dwFlags,
                        HCRYPTKEY* phKey) {
    using namespace kelm;
    using namespace kelm::csp;
    constexpr const char* kReturn = "CPImportKey() return";
    platform::Trace("begin CPImportKey()");
    const kelm::core::ObjectsInUse in_use;
    if (phKey == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER, kReturn);
    }
    const core::ProvCTX* prov = ProviderOf(hProv);
    if (prov == nullptr) {
        return Fail(static_cast<DWORD>(NTE_BAD_UID), kReturn);
    }
    const core::KeyCTX* unwrap = nullptr;
    if (hPubKey != 0) {
        unwrap = static_cast<const core::KeyCTX*>(core::Get_CryptoCTX(hPubKey, core::HANDLE_KEY_TYPE, hProv));
        if (unwrap == nullptr) {
            return Fail(static_cast<DWORD>(NTE_BAD_KEY), kReturn);
        }
    }
    core::KeyCTX* key = nullptr;
    const DWORD error = core::Key_ImportBlob(prov, pbData, dwDataLen, unwrap, dwFlags, &key);
    if (error != 0) {
        return Fail(error, kReturn);
    }
    return HandOut(key, hProv, phKey, kReturn);
}
