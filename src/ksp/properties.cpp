// Provider and key properties, and the algorithms the provider offers: RSA encryption and
// signatures only.
#include <cstring>

#include "kelm/winapi.h"
#include "ksp/ksp_functions.h"
#include "ksp/ksp_objects.h"
#include "ksp/ksp_text.h"
#include "platform/process/trace.h"

namespace kelm::ksp {
namespace {

constexpr size_t kPropertyNameMax = 64;  // units of a property name
constexpr DWORD kVersion = 0x10000;
constexpr DWORD kMaxNameLength = 260;
constexpr DWORD kRsaOperations = NCRYPT_ASYMMETRIC_ENCRYPTION_OPERATION | NCRYPT_SIGNATURE_OPERATION;

struct ProviderProperty {
    LPCWSTR name;
    DWORD value;
};

// The provider's readable properties, all four-byte values. "Impl Type" is the software flag,
// not the hardware one, although the keys live on a card.
const ProviderProperty kProviderProperties[] = {
    {NCRYPT_IMPL_TYPE_PROPERTY, NCRYPT_IMPL_SOFTWARE_FLAG},
    {NCRYPT_MAX_NAME_LENGTH_PROPERTY, kMaxNameLength},
    {NCRYPT_VERSION_PROPERTY, kVersion},
    {NCRYPT_SECURITY_DESCR_SUPPORT_PROPERTY, 1},
};

bool OnlySilentFlag(DWORD flags) { return (flags & ~static_cast<DWORD>(NCRYPT_SILENT_FLAG)) == 0; }

bool PropertyNameTooLong(LPCWSTR name) { return BoundedLength(name, kPropertyNameMax + 1) > kPropertyNameMax; }

// The algorithm list handed out by KELMKSPEnumAlgorithms: one entry and its name in one block.
struct AlgorithmList {
    NCryptAlgorithmName entry;
    WCHAR name[4];
};

}  // namespace

SECURITY_STATUS WINAPI KELMKSPGetProviderProperty(NCRYPT_PROV_HANDLE hProvider, LPCWSTR pszProperty, PBYTE pbOutput,
                                                  DWORD cbOutput, DWORD* pcbResult, DWORD dwFlags) {
    KeepLastError keep;
    const core::ObjectsInUse in_use;
    platform::Trace("begin KELMKSPGetProviderProperty()");
    SECURITY_STATUS status = ERROR_SUCCESS;
    const ProviderProperty* property = nullptr;
    if (KELMKSPValidateProvHandle(hProvider) == nullptr) {
        status = NTE_INVALID_HANDLE;
    } else if (pszProperty == nullptr || pcbResult == nullptr || PropertyNameTooLong(pszProperty)) {
        status = NTE_INVALID_PARAMETER;
    } else if (!OnlySilentFlag(dwFlags)) {
        status = NTE_BAD_FLAGS;
    } else {
        for (const ProviderProperty& candidate : kProviderProperties) {
            if (SameText(pszProperty, candidate.name)) property = &candidate;
        }
        if (property == nullptr) status = NTE_NOT_SUPPORTED;
    }
    if (status != ERROR_SUCCESS) {
        if (pcbResult != nullptr) *pcbResult = 0;
        return status;
    }
    *pcbResult = sizeof(DWORD);
    if (pbOutput == nullptr) return ERROR_SUCCESS;
    if (cbOutput < sizeof(DWORD)) return NTE_BUFFER_TOO_SMALL;
    std::memcpy(pbOutput, &property->value, sizeof(DWORD));
    return ERROR_SUCCESS;
}

SECURITY_STATUS WINAPI KELMKSPSetProviderProperty(NCRYPT_PROV_HANDLE hProvider, LPCWSTR pszProperty, PBYTE pbInput,
                                                  DWORD /*cbInput*/, DWORD dwFlags) {
    KeepLastError keep;
    const core::ObjectsInUse in_use;
    platform::Trace("begin KELMKSPSetProviderProperty()");
    if (KELMKSPValidateProvHandle(hProvider) == nullptr) return NTE_INVALID_HANDLE;
    if (pszProperty == nullptr || PropertyNameTooLong(pszProperty) || pbInput == nullptr) return NTE_INVALID_PARAMETER;
    if (!OnlySilentFlag(dwFlags)) return NTE_BAD_FLAGS;
    return NTE_NOT_SUPPORTED;
}

SECURITY_STATUS WINAPI KELMKSPGetKeyProperty(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey,
                                             LPCWSTR pszProperty, PBYTE pbOutput, DWORD cbOutput, DWORD* pcbResult,
                                             DWORD /*dwFlags*/) {
    static const WCHAR kGroup[] = NCRYPT_RSA_ALGORITHM_GROUP;
    KeepLastError keep;
    const core::ObjectsInUse in_use;
    platform::Trace("begin KELMKSPGetKeyProperty()");
    if (KELMKSPValidateHandles(hProvider, hKey) == nullptr) {
        return NTE_INVALID_HANDLE;
    }
    if (pszProperty == nullptr || pcbResult == nullptr) return NTE_INVALID_PARAMETER;
    if (!SameText(pszProperty, NCRYPT_ALGORITHM_GROUP_PROPERTY)) return NTE_NOT_SUPPORTED;
    if (pbOutput == nullptr) {
        *pcbResult = sizeof kGroup;
        return ERROR_SUCCESS;
    }
    // A buffer shorter than the value is refused with NTE_NO_MEMORY, not NTE_BUFFER_TOO_SMALL,
    // and *pcbResult is left alone.
    if (cbOutput < sizeof kGroup) return NTE_NO_MEMORY;
    std::memcpy(pbOutput, kGroup, sizeof kGroup);
    *pcbResult = sizeof kGroup;
    return ERROR_SUCCESS;
}

SECURITY_STATUS WINAPI KELMKSPSetKeyProperty(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey,
                                             LPCWSTR pszProperty, PBYTE /*pbInput*/, DWORD /*cbInput*/,
                                             DWORD /*dwFlags*/) {
    KeepLastError keep;
    const core::ObjectsInUse in_use;
    platform::Trace("begin KELMKSPSetKeyProperty()");
    if (KELMKSPValidateHandles(hProvider, hKey) == nullptr) {
        return NTE_INVALID_HANDLE;
    }
    if (pszProperty == nullptr) return NTE_INVALID_PARAMETER;
    // The window for the PIN dialog is accepted and not used: the dialog finds its own owner.
    return SameText(pszProperty, NCRYPT_WINDOW_HANDLE_PROPERTY) ? ERROR_SUCCESS : NTE_NOT_SUPPORTED;
}

SECURITY_STATUS WINAPI KELMKSPIsAlgSupported(NCRYPT_PROV_HANDLE hProvider, LPCWSTR pszAlgId, DWORD dwFlags) {
    KeepLastError keep;
    const core::ObjectsInUse in_use;
    platform::Trace("begin KELMKSPIsAlgSupported()");
    if (KELMKSPValidateProvHandle(hProvider) == nullptr) return NTE_INVALID_HANDLE;
    if (pszAlgId == nullptr) return NTE_INVALID_PARAMETER;
    if (!OnlySilentFlag(dwFlags)) return NTE_BAD_FLAGS;
    return SameText(pszAlgId, NCRYPT_RSA_ALGORITHM) ? ERROR_SUCCESS : NTE_NOT_SUPPORTED;
}

SECURITY_STATUS WINAPI KELMKSPEnumAlgorithms(NCRYPT_PROV_HANDLE hProvider, DWORD dwAlgOperations,
                                             DWORD* pdwAlgCount, NCryptAlgorithmName** ppAlgList, DWORD dwFlags) {
    KeepLastError keep;
    const core::ObjectsInUse in_use;
    platform::Trace("begin KELMKSPEnumAlgorithms()");
    if (KELMKSPValidateProvHandle(hProvider) == nullptr) return NTE_INVALID_HANDLE;
    if (pdwAlgCount == nullptr || ppAlgList == nullptr) return NTE_INVALID_PARAMETER;
    if (!OnlySilentFlag(dwFlags)) return NTE_BAD_FLAGS;
    if (dwAlgOperations != 0 && (dwAlgOperations & kRsaOperations) == 0) return NTE_NOT_SUPPORTED;
    auto* list = static_cast<AlgorithmList*>(HeapAllocZero(sizeof(AlgorithmList)));
    if (list == nullptr) return NTE_NO_MEMORY;
    if (!RegisterObject(list, ObjectKind::AlgorithmList, sizeof(AlgorithmList))) {
        HeapFreeWiped(list, sizeof(AlgorithmList));
        return NTE_NO_MEMORY;
    }
    static const WCHAR kRsa[] = NCRYPT_RSA_ALGORITHM;
    std::memcpy(list->name, kRsa, sizeof kRsa);
    list->entry = NCryptAlgorithmName{list->name, NCRYPT_ASYMMETRIC_ENCRYPTION_INTERFACE, kRsaOperations, 0};
    *pdwAlgCount = 1;
    *ppAlgList = &list->entry;
    return ERROR_SUCCESS;
}

}  // namespace kelm::ksp
