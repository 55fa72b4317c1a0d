// CPExportKey: a key as a PUBLICKEYBLOB (an RSA key's public part, read from the card) or a
// SIMPLEBLOB (a session key wrapped by the card with the container's exchange key). Resolves the
// provider (NTE_BAD_UID), the key and, when given, the wrapping key (NTE_BAD_KEY); the BLOB is
// core::Key_Export's. dwFlags is never consulted.
#include "core/key_export.h"
#include "core/objects_in_use.h"
#include "csp/entry_checks.h"
#include "kelm/csp.h"

BOOL WINAPI CPExportKey(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTKEY hPubKey, DWORD dwBlobType, DWORD /*dwFlags*/,
                        BYTE* pbData, DWORD* pdwDataLen) {
    using namespace kelm;
    using namespace kelm::csp;
    platform::Trace("begin CPExportKey()");
    const kelm::core::ObjectsInUse in_use;
    const core::ProvCTX* prov = ProviderOf(hProv);
    if (prov == nullptr) {
        return Fail(static_cast<DWORD>(NTE_BAD_UID));
    }
    const core::KeyCTX* key = KeyOf(hProv, hKey);
    const core::KeyCTX* wrapping = KeyOf(hProv, hPubKey);
    if (key == nullptr || (hPubKey != 0 && wrapping == nullptr)) {
        return Fail(static_cast<DWORD>(NTE_BAD_KEY));
    }
    if (pdwDataLen == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    const DWORD stated = *pdwDataLen;
    if (const DWORD error = core::Key_Export(prov, key, wrapping, dwBlobType, pbData, pdwDataLen); error != 0) {
        return Fail(error);
    }
    // A size query succeeds; it still says ERROR_MORE_DATA when the stated length was short.
    if (pbData == nullptr && stated < *pdwDataLen) {
        SetLastError(ERROR_MORE_DATA);
    }
    return TRUE;
}
