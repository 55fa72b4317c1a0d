// CPAcquireContext and CPReleaseContext: open a provider context on the card's container
// (opening, creating or deleting it), and close it again, ending the process's card session.
#include <cstring>
#include <string>

#include "card/card_conversation.h"
#include "card/pin_verify.h"
#include "card/reader_session.h"
#include "core/container_registry.h"
#include "core/context_records.h"
#include "core/handles.h"
#include "core/objects_in_use.h"
#include "csp/entry_checks.h"
#include "kelm/csp.h"
#include "kelm/winapi.h"
#include "platform/process/trace.h"

namespace kelm::csp {
namespace {

constexpr DWORD kAcceptedFlags =
    CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET | CRYPT_MACHINE_KEYSET | CRYPT_SILENT | CRYPT_VERIFYCONTEXT;

// Releases the container record and its handle without touching the card or the registry (the
// record itself once no running call holds it).
void ForgetContainer(uint64_t chnd) {
    if (chnd != 0) {
        core::Release_CryptoObject(chnd);
    }
}

// The common ending of an acquisition that returns no handle: the container is closed (an
// empty one leaves the card and the registry), the records are freed and the card is
// disconnected. A failure's last error survives the clean-up.
BOOL CleanUp(core::ProvCTX* prov, uint64_t handle, BOOL result) {
    const DWORD error = GetLastError();
    if (prov->CHnd != 0) {
        core::Morva_Default_CloseContainer(prov->CHnd);
        prov->CHnd = 0;
    }
    core::Free_ProvCTX(prov);
    if (handle != 0) {
        core::Free_CryptoHandle(handle);
    }
    card::Card_Disconnect();
    platform::Trace("CPAcquireContext() return");
    if (!result) {
        SetLastError(error);
    }
    return result;
}

// The PIN step of creating or deleting a container: the conversation is held again, in the
// connection where the PIN was verified, when it returns true. A refused or cancelled PIN ends
// the card connection; the caller returns at once with VerifyPIN's error.
bool PinStep(DWORD dwFlags, card::CardConversation& conversation) {
    if ((dwFlags & CRYPT_SILENT) != 0) {
        return true;
    }
    if (card::HoldVerifiedConversation(dwFlags, conversation) != 0) {
        return true;
    }
    platform::Trace("call VerifyPIN() return : FALSE");
    const DWORD error = GetLastError();
    card::Card_Disconnect();
    SetLastError(error);
    return false;
}

// Reads the card's container list and hands out the provider handle; with CRYPT_DELETEKEYSET
// the context served its purpose and is closed again at once.
BOOL Finish(core::ProvCTX* prov, HCRYPTPROV* phProv) {
    core::Prov_ReadContainerNames(prov);
    uint64_t handle = 0;
    if (!core::Alloc_Init_CryptoHandle(&handle, core::HANDLE_PROVIDER_TYPE, prov, 0)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return CleanUp(prov, 0, FALSE);
    }
    if ((prov->dwFlags & CRYPT_DELETEKEYSET) != 0) {
        return CleanUp(prov, handle, TRUE);
    }
    *phProv = handle;
    platform::Trace("CPAcquireContext() return");
    return TRUE;
}

}  // namespace
}  // namespace kelm::csp

BOOL WINAPI CPAcquireContext(HCRYPTPROV* phProv, LPCSTR szContainer, DWORD dwFlags, PVTableProvStruc /*pVTable*/) {
    using namespace kelm;
    using namespace kelm::csp;
    platform::Trace("begin CPAcquireContext()");
    if (phProv == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    *phProv = 0;
    if ((dwFlags & ~kAcceptedFlags) != 0) {
        return Fail(static_cast<DWORD>(NTE_BAD_FLAGS));
    }
    const bool verify = (dwFlags & CRYPT_VERIFYCONTEXT) != 0;
    const bool named = szContainer != nullptr && szContainer[0] != '\0';
    if (verify && named) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    // From the connection on, the acquisition is one card conversation: a release or a failed
    // acquisition in another thread waits for it instead of disconnecting in its middle. Only
    // the PIN dialog runs without it.
    card::CardConversation conversation;
    if (card::Init_PCSC_Object(dwFlags) != 1) {
        platform::Trace("call Init_PCSC_Object() return : FALSE");
        return Fail(ERROR_INVALID_FUNCTION);
    }
    core::ProvCTX* prov = core::Alloc_ProvCTX();
    if (prov == nullptr) {
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    prov->dwFlags = dwFlags;
    prov->ProvType = PROV_RSA_FULL;

    if (verify) {
        // A verify context works without keys: its container is a nameless one of 36 blanks
        // that exists neither on the card nor in the registry.
        std::memset(prov->ContainerName, ' ', core::kContainerNameMax);
        prov->ContainerName[core::kContainerNameMax] = '\0';
        if (core::Morva_Default_CreateContainer(prov->ContainerName, dwFlags, &prov->CHnd) != 0) {
            const DWORD error = GetLastError();
            core::Free_ProvCTX(prov);
            SetLastError(error);
            return FALSE;
        }
        return Finish(prov, phProv);
    }

    const std::string name = named ? std::string(szContainer) : core::DefaultContainerName(dwFlags);
    std::strncpy(prov->ContainerName, name.c_str(), core::kContainerNameMax);
    prov->ContainerName[core::kContainerNameMax] = '\0';

    if ((dwFlags & CRYPT_NEWKEYSET) != 0) {
        if (!PinStep(dwFlags, conversation)) {
            const DWORD error = GetLastError();
            core::Free_ProvCTX(prov);
            SetLastError(error);
            return FALSE;
        }
        if (core::Morva_Default_CreateContainer(prov->ContainerName, dwFlags, &prov->CHnd) != 0) {
            return CleanUp(prov, 0, FALSE);
        }
        return Finish(prov, phProv);
    }

    if (core::Morva_Default_OpenContainer(prov->ContainerName, dwFlags, &prov->CHnd) != 0) {
        return CleanUp(prov, 0, FALSE);
    }
    if ((dwFlags & CRYPT_DELETEKEYSET) != 0) {
        if (!PinStep(dwFlags, conversation)) {
            // Nothing on the card or in the registry changes when the PIN was not given.
            const DWORD error = GetLastError();
            ForgetContainer(prov->CHnd);
            core::Free_ProvCTX(prov);
            SetLastError(error);
            return FALSE;
        }
        if (core::Morva_Default_DeleteContainer(prov->CHnd) != 0) {
            return CleanUp(prov, 0, FALSE);
        }
        return CleanUp(prov, 0, TRUE);
    }
    return Finish(prov, phProv);
}

BOOL WINAPI CPReleaseContext(HCRYPTPROV hProv, DWORD /*dwFlags*/) {
    using namespace kelm;
    platform::Trace("begin CPReleaseContext()");
    const kelm::core::ObjectsInUse in_use;
    auto* prov = hProv == 0 ? nullptr
                            : static_cast<core::ProvCTX*>(core::Get_CryptoCTX(hProv, core::HANDLE_PROVIDER_TYPE, hProv));
    if (prov == nullptr) {
        return csp::Fail(static_cast<DWORD>(NTE_BAD_UID));
    }
    // Whoever takes the handle out of use first releases the context; calls of other threads
    // that hold it finish with it first.
    if (!core::Release_CryptoObject(hProv)) {
        return csp::Fail(static_cast<DWORD>(NTE_BAD_UID));
    }
    // The container stays on the card and registered; only its in-memory record goes.
    csp::ForgetContainer(prov->CHnd);
    // One release ends the card session of every context in the process (and waits a second).
    card::End_CardSession();
    platform::Trace("CPReleaseContext() return");
    return TRUE;
}
