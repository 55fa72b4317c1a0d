// What the entry points share: resolving each kind of handle under its
// provider handle, and failing with one last-error value.
#pragma once

#include "core/contexts.h"
#include "core/handles.h"
#include "kelm/winapi.h"
#include "platform/process/trace.h"

namespace kelm::csp {

// The call's one last-error value, traced by its name.
inline BOOL Fail(DWORD error) {
    platform::TraceLastError(error);
    SetLastError(error);
    return FALSE;
}

// 0 from a subsystem step is success; anything else is the call's error.
inline BOOL Result(DWORD status) { return status == 0 ? TRUE : Fail(status); }

inline core::ProvCTX* ProviderOf(HCRYPTPROV hProv) {
    if (hProv == 0) {
        return nullptr;
    }
    return static_cast<core::ProvCTX*>(core::Get_CryptoCTX(hProv, core::HANDLE_PROVIDER_TYPE, hProv));
}

// The provider context's container (a verify context has one too, known to neither the card
// nor the registry).
inline core::ContainerCTX* ContainerOf(const core::ProvCTX* prov) {
    if (prov->CHnd == 0) {
        return nullptr;
    }
    return static_cast<core::ContainerCTX*>(core::Get_CryptoCTX(prov->CHnd, core::HANDLE_CONTAINER_TYPE, prov->CHnd));
}

inline core::KeyCTX* KeyOf(HCRYPTPROV hProv, HCRYPTKEY hKey) {
    if (hKey == 0) {
        return nullptr;
    }
    return static_cast<core::KeyCTX*>(core::Get_CryptoCTX(hKey, core::HANDLE_KEY_TYPE, hProv));
}

inline core::HashCTX* HashOf(HCRYPTPROV hProv, HCRYPTHASH hHash) {
    if (hHash == 0) {
        return nullptr;
    }
    return static_cast<core::HashCTX*>(core::Get_CryptoCTX(hHash, core::HANDLE_HASH_TYPE, hProv));
}

}  // namespace kelm::csp
