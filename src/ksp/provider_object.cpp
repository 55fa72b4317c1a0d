// KELMKSPOpenProvider and KELMKSPFreeProvider: the provider object, a thin wrapper around the
// same provider context (ProvCTX) the CryptoAPI side makes, over the process's card session.
#include <cstring>
#include <string_view>

#include "card/card_conversation.h"
#include "card/reader_session.h"
#include "core/container_registry.h"
#include "core/context_records.h"
#include "core/handles.h"
#include "kelm/winapi.h"
#include "ksp/ksp_functions.h"
#include "ksp/ksp_objects.h"
#include "ksp/ksp_text.h"
#include "platform/process/trace.h"

namespace kelm::ksp {
namespace {

// The name the provider is registered under, or one of the registration record's aliases.
bool AcceptedProviderName(LPCWSTR name) {
    if (SameText(name, KELM_KSP_NAME)) return true;
    const CRYPT_PROVIDER_REG& registration = ProviderRegistration();
    for (ULONG i = 0; i < registration.cAliases; ++i) {
        if (SameText(name, registration.rgpszAliases[i])) return true;
    }
    return false;
}

// What a failed open made is released, and a card connection of the process is dropped (the
// next card operation reconnects); the result is also the thread's last error.
SECURITY_STATUS FailOpen(SECURITY_STATUS status, core::ProvCTX* prov, uint64_t handle) {
    if (prov != nullptr) core::Free_ProvCTX(prov);
    if (handle != 0) core::Free_CryptoHandle(handle);
    if (card::Session().Card != 0) card::Card_Disconnect();
    platform::Trace("KELMKSPOpenProvider() return : FAILED");
    SetLastError(static_cast<DWORD>(status));
    return status;
}

}  // namespace

SECURITY_STATUS WINAPI KELMKSPOpenProvider(NCRYPT_PROV_HANDLE* phProvider, LPCWSTR pszProviderName, DWORD dwFlags) {
    platform::Trace("begin KELMKSPOpenProvider()");
    if (phProvider == nullptr || pszProviderName == nullptr) return FailOpen(NTE_INVALID_PARAMETER, nullptr, 0);
    const size_t length = BoundedLength(pszProviderName, kProviderNameUnits);
    if (length + 1 >= kProviderNameUnits || !AcceptedProviderName(pszProviderName)) {
        return FailOpen(NTE_INVALID_PARAMETER, nullptr, 0);
    }
    // Connecting and reading the container names is one card conversation.
    const card::CardConversation conversation;
    if (card::Init_PCSC_Object(dwFlags) != 1) return FailOpen(ERROR_INVALID_FUNCTION, nullptr, 0);

    core::ProvCTX* prov = core::Alloc_ProvCTX();
    if (prov == nullptr) return FailOpen(ERROR_NOT_ENOUGH_MEMORY, nullptr, 0);
    prov->dwFlags = CRYPT_VERIFYCONTEXT;
    prov->ProvType = PROV_RSA_FULL;
    // A card whose names cannot be read now still gives a provider; enumeration reads again.
    core::Prov_ReadContainerNames(prov);

    uint64_t handle = 0;
    if (!core::Alloc_Init_CryptoHandle(&handle, core::HANDLE_PROVIDER_TYPE, prov, 0)) {
        return FailOpen(ERROR_NOT_ENOUGH_MEMORY, prov, 0);
    }
    auto* provider = static_cast<KSP_PROVIDER*>(HeapAllocZero(sizeof(KSP_PROVIDER)));
    if (provider == nullptr) return FailOpen(NTE_NO_MEMORY, prov, handle);
    provider->cbLength = sizeof(KSP_PROVIDER);
    provider->dwMagic = KSP_PROVIDER_MAGIC;
    provider->dwFlags = 0;
    provider->pProvCTX = prov;
    provider->hProv = handle;
    std::memcpy(provider->szName, pszProviderName, (length + 1) * sizeof(WCHAR));
    const ULONG_PTR provider_handle = RegisterRecord(provider, ObjectKind::Provider);
    if (provider_handle == 0) {
        HeapFreeWiped(provider, sizeof(KSP_PROVIDER));
        return FailOpen(NTE_NO_MEMORY, prov, handle);
    }
    *phProvider = provider_handle;
    platform::Trace("KELMKSPOpenProvider() return");
    SetLastError(ERROR_SUCCESS);
    return ERROR_SUCCESS;
}

SECURITY_STATUS WINAPI KELMKSPFreeProvider(NCRYPT_PROV_HANDLE hProvider) {
    platform::Trace("begin KELMKSPFreeProvider()");
    const core::ObjectsInUse in_use;
    KSP_PROVIDER* provider = KELMKSPValidateProvHandle(hProvider);
    // Whoever takes the record out of the table first frees the provider; the record itself is
    // wiped and freed when this call, and any other holding it, has returned.
    if (provider == nullptr || !RetireRecord(provider)) {
        SetLastError(static_cast<DWORD>(NTE_INVALID_HANDLE));
        return NTE_INVALID_HANDLE;
    }
    // Keys made through the provider go with it, and so do the containers they were opened in;
    // the containers stay on the card and registered.
    while (KSP_KEY* key = FindKeyOfProvider(provider, 0)) {
        const uint64_t container = key->hContainer;
        FreeKeyObject(key);
        ReleaseContainerIfUnused(provider, container);
    }
    ForgetContainer(provider->pProvCTX->CHnd);
    provider->pProvCTX->CHnd = 0;
    core::Release_CryptoObject(provider->hProv);
    // One release ends the card session of every provider and CryptoAPI context in the process
    // (and waits a second); the next card operation reconnects and asks for the PIN again.
    card::End_CardSession();
    platform::Trace("KELMKSPFreeProvider() return");
    SetLastError(ERROR_SUCCESS);
    return ERROR_SUCCESS;
}

}  // namespace kelm::ksp
