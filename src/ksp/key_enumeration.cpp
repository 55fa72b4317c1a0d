// Key enumeration over the provider context's table of the card's container names, and the
// release of every buffer the provider hands out.
#include <cstring>

#include "card/card_files.h"
#include "core/container_registry.h"
#include "core/handles.h"
#include "kelm/winapi.h"
#include "ksp/ksp_functions.h"
#include "ksp/ksp_objects.h"
#include "ksp/ksp_text.h"
#include "platform/process/trace.h"

namespace kelm::ksp {
namespace {

// One enumeration yields this many names, one per entry of the name table, whatever the card
// holds; entries past the card's containers give the empty name.
constexpr DWORD kEnumeratedEntries = 4;
constexpr size_t kKeyNameUnits = 260;
constexpr size_t kAlgorithmNameBytes = 8;  // "RSA" and its terminator

// The enumeration state handed to the caller: the index of the current table entry.
struct EnumState {
    DWORD index;
};

// The 36 name bytes of table entry `index`, terminated; all zero past the card's containers.
void TableEntry(const core::ProvCTX* prov, DWORD index, char (&name)[core::kContainerNameEntry]) {
    std::memset(name, 0, sizeof name);
    if (prov->ContainerNames == nullptr || index >= prov->ContainerCount) return;
    std::memcpy(name, prov->ContainerNames + static_cast<size_t>(index) * core::kContainerNameEntry,
                core::kContainerNameMax);
}

// The key name record of table entry `index`: one block holding the NCryptKeyName, the name
// and "RSA", registered so that KELMKSPFreeBuffer knows it.
SECURITY_STATUS ReadKeyNameFromProvCTX(DWORD index, const core::ProvCTX* prov, NCryptKeyName** out) {
    if (index >= kEnumeratedEntries) return NTE_NO_MORE_ITEMS;
    char entry[core::kContainerNameEntry];
    TableEntry(prov, index, entry);
    WCHAR name[kKeyNameUnits];
    ContainerNameToWide(entry, name, kKeyNameUnits);
    const size_t name_bytes = (BoundedLength(name, kKeyNameUnits) + 1) * sizeof(WCHAR);
    const size_t size = sizeof(NCryptKeyName) + name_bytes + kAlgorithmNameBytes;
    auto* record = static_cast<NCryptKeyName*>(HeapAllocZero(size));
    if (record == nullptr) return NTE_NO_MEMORY;
    if (!RegisterObject(record, ObjectKind::KeyName, size)) {
        HeapFreeWiped(record, size);
        return NTE_NO_MEMORY;
    }
    auto* strings = reinterpret_cast<WCHAR*>(record + 1);
    static const WCHAR kRsa[] = NCRYPT_RSA_ALGORITHM;
    static_assert(sizeof kRsa == kAlgorithmNameBytes);
    std::memcpy(strings, name, name_bytes);
    record->pszName = strings;
    record->pszAlgid = strings + name_bytes / sizeof(WCHAR);
    std::memcpy(record->pszAlgid, kRsa, sizeof kRsa);
    *out = record;
    return ERROR_SUCCESS;
}

// The key a container reports first: AT_KEYEXCHANGE only when it holds an exchange key and no
// signature key (by the slot entries' slot numbers and size codes), else AT_SIGNATURE.
DWORD LegacyKeySpecOf(const core::ContainerCTX& container) {
    const BYTE* status = container.Card_ContainerStatus;
    const BYTE* signature = status + card::kSlotEntryOffset[card::SLOT_SIGNATURE];
    const BYTE* exchange = status + card::kSlotEntryOffset[card::SLOT_EXCHANGE];
    const bool no_signature = signature[2] == 0 && signature[3] == 0;
    const bool has_exchange = exchange[2] != 0 && exchange[3] != 0;
    return no_signature && has_exchange ? AT_KEYEXCHANGE : AT_SIGNATURE;
}

}  // namespace

SECURITY_STATUS WINAPI KELMKSPEnumKeys(NCRYPT_PROV_HANDLE hProvider, LPCWSTR /*pszScope*/, NCryptKeyName** ppKeyName,
                                       PVOID* ppEnumState, DWORD /*dwFlags*/) {
    KeepLastError keep;
    const core::ObjectsInUse in_use;
    platform::Trace("begin KELMKSPEnumKeys()");
    KSP_PROVIDER* provider = KELMKSPValidateProvHandle(hProvider);
    if (provider == nullptr) return NTE_INVALID_HANDLE;
    if (ppKeyName == nullptr || ppEnumState == nullptr) return NTE_INVALID_PARAMETER;
    core::ProvCTX* prov = provider->pProvCTX;

    NCryptKeyName* record = nullptr;
    auto* state = static_cast<EnumState*>(*ppEnumState);
    if (state == nullptr) {
        // A provider opened while the card's names could not be read tries again now; a table
        // that still cannot be read has nothing to enumerate.
        if (prov->ContainerNames == nullptr && core::Prov_ReadContainerNames(prov) != 0) return NTE_FAIL;
        state = static_cast<EnumState*>(HeapAllocZero(sizeof(EnumState)));
        if (state == nullptr) return NTE_NO_MEMORY;
        const SECURITY_STATUS first = ReadKeyNameFromProvCTX(0, prov, &record);
        if (first != ERROR_SUCCESS || !RegisterObject(state, ObjectKind::EnumState, sizeof(EnumState))) {
            if (record != nullptr) KELMKSPFreeBuffer(record);
            HeapFreeWiped(state, sizeof(EnumState));
            return first != ERROR_SUCCESS ? first : NTE_NO_MEMORY;
        }
    } else {
        ObjectKind kind{};
        if (!LookupMemoryBuffer(state, &kind) || kind != ObjectKind::EnumState) return NTE_INVALID_PARAMETER;
        const SECURITY_STATUS next = ReadKeyNameFromProvCTX(state->index + 1, prov, &record);
        if (next != ERROR_SUCCESS) return next;
        ++state->index;
    }

    // The enumerated container becomes the provider's current one, and tells which of its keys
    // comes first. A name that cannot be opened (an empty entry) is reported with no key.
    TableEntry(prov, state->index, prov->ContainerName);
    uint64_t chnd = 0;
    if (core::Morva_Default_OpenContainer(prov->ContainerName, prov->dwFlags, &chnd) == 0) {
        ReplaceContainer(provider, chnd);
        if (const core::ContainerCTX* container = CurrentContainer(provider)) {
            record->dwLegacyKeySpec = LegacyKeySpecOf(*container);
        }
    }
    *ppKeyName = record;
    *ppEnumState = state;
    return ERROR_SUCCESS;
}

SECURITY_STATUS WINAPI KELMKSPFreeBuffer(PVOID pvInput) {
    KeepLastError keep;
    const core::ObjectsInUse in_use;
    platform::Trace("begin KELMKSPFreeBuffer()");
    // Only what the provider handed out is released; any other address is left alone.
    size_t bytes = 0;
    if (pvInput != nullptr && RemoveMemoryBuffer(pvInput, &bytes)) HeapFreeWiped(pvInput, bytes);
    return ERROR_SUCCESS;
}

}  // namespace kelm::ksp
