// CPGetProvParam and CPSetProvParam: the provider's identity, its algorithm table and the
// card's container names, delivered by the size-query / ERROR_MORE_DATA convention.
#include <cstring>

#include "core/contexts.h"
#include "core/handles.h"
#include "core/objects_in_use.h"
#include "csp/algorithm_table.h"
#include "csp/entry_checks.h"
#include "kelm/csp.h"
#include "kelm/winapi.h"
#include "platform/process/trace.h"

namespace kelm::csp {
namespace {

constexpr char kProviderName[] = "KELM CSP V5";
constexpr DWORD kProviderVersion = 0x100;
constexpr DWORD kImplementationType = CRYPT_IMPL_REMOVABLE | CRYPT_IMPL_MIXED;
constexpr DWORD kKeysetType = CRYPT_MACHINE_KEYSET;

enum class Delivery { Delivered, SizeOnly, TooSmall };

// Size query (no buffer), too small a buffer, or the bytes themselves; *length is the size
// in every case.
Delivery Deliver(const void* bytes, DWORD size, BYTE* out, DWORD* length) {
    if (out == nullptr) {
        *length = size;
        return Delivery::SizeOnly;
    }
    if (*length < size) {
        *length = size;
        return Delivery::TooSmall;
    }
    std::memcpy(out, bytes, size);
    *length = size;
    return Delivery::Delivered;
}

BOOL Result(Delivery delivery) {
    if (delivery == Delivery::TooSmall) {
        return Fail(ERROR_MORE_DATA);
    }
    return TRUE;
}

BOOL DeliverDword(DWORD value, BYTE* out, DWORD* length) { return Result(Deliver(&value, sizeof value, out, length)); }

// One cursor serves both algorithm enumerations. An undelivered row is handed out again by
// the next call, so a size query between two calls skips nothing.
BOOL EnumAlgorithms(core::ProvCTX* prov, bool extended, BYTE* out, DWORD* length, DWORD flags) {
    if ((flags & CRYPT_FIRST) != 0) {
        prov->EnumAlgIndex = 0;
    } else {
        if (prov->EnumAlgIndex >= kAlgorithmCount - 1) {
            return Fail(ERROR_NO_MORE_ITEMS);
        }
        ++prov->EnumAlgIndex;
    }
    const AlgorithmRow& row = AlgorithmAt(prov->EnumAlgIndex);
    Delivery delivery;
    if (extended) {
        const PROV_ENUMALGS_EX record = ToEnumAlgsEx(row);
        delivery = Deliver(&record, sizeof record, out, length);
    } else {
        const PROV_ENUMALGS record = ToEnumAlgs(row);
        delivery = Deliver(&record, sizeof record, out, length);
    }
    if (delivery != Delivery::Delivered && prov->EnumAlgIndex > 0) {
        --prov->EnumAlgIndex;
    }
    return Result(delivery);
}

// The container cursor moves on every call that reaches it, delivered or not. The list is
// the card's as it was when the context was opened.
BOOL EnumContainers(core::ProvCTX* prov, BYTE* out, DWORD* length, DWORD flags) {
    if (prov->ContainerCount == 0 || prov->ContainerNames == nullptr) {
        return Fail(ERROR_NO_MORE_ITEMS);
    }
    if ((flags & CRYPT_FIRST) != 0) {
        prov->EnumContainerIndex = 0;
    } else {
        if (prov->EnumContainerIndex + 1 >= prov->ContainerCount) {
            return Fail(ERROR_NO_MORE_ITEMS);
        }
        ++prov->EnumContainerIndex;
    }
    char entry[core::kContainerNameEntry] = {};
    std::memcpy(entry, prov->ContainerNames + static_cast<size_t>(prov->EnumContainerIndex) * core::kContainerNameEntry,
                core::kContainerNameMax);
    const DWORD size = static_cast<DWORD>(strnlen(entry, core::kContainerNameMax) + 1);
    return Result(Deliver(entry, size, out, length));
}

}  // namespace
}  // namespace kelm::csp

BOOL WINAPI CPGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen, DWORD dwFlags) {
    using namespace kelm;
    using namespace kelm::csp;
    platform::Trace("begin CPGetProvParam()");
    const kelm::core::ObjectsInUse in_use;
    core::ProvCTX* prov = ProviderOf(hProv);
    if (prov == nullptr) {
        return Fail(static_cast<DWORD>(NTE_BAD_UID));
    }
    if (pdwDataLen == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    switch (dwParam) {
    case PP_ENUMALGS:
        return EnumAlgorithms(prov, false, pbData, pdwDataLen, dwFlags);
    case PP_ENUMALGS_EX:
        return EnumAlgorithms(prov, true, pbData, pdwDataLen, dwFlags);
    case PP_ENUMCONTAINERS:
        return EnumContainers(prov, pbData, pdwDataLen, dwFlags);
    case PP_IMPTYPE:
        return DeliverDword(kImplementationType, pbData, pdwDataLen);
    case PP_NAME:
        return Result(Deliver(kProviderName, sizeof kProviderName, pbData, pdwDataLen));
    case PP_VERSION:
        return DeliverDword(kProviderVersion, pbData, pdwDataLen);
    case PP_CONTAINER: {
        char name[core::kContainerNameEntry] = {};
        std::memcpy(name, prov->ContainerName, core::kContainerNameMax);
        return Result(Deliver(name, static_cast<DWORD>(strnlen(name, core::kContainerNameMax) + 1), pbData, pdwDataLen));
    }
    case PP_PROVTYPE:
        return DeliverDword(prov->ProvType, pbData, pdwDataLen);
    case PP_KEYSET_TYPE:
        // Reported whichever keyset the context uses.
        return DeliverDword(kKeysetType, pbData, pdwDataLen);
    case PP_USE_HARDWARE_RNG:
    case PP_KEYSPEC:
        return Fail(static_cast<DWORD>(E_NOTIMPL));
    default:
        return Fail(static_cast<DWORD>(NTE_BAD_TYPE));
    }
}

BOOL WINAPI CPSetProvParam(HCRYPTPROV hProv, DWORD /*dwParam*/, const BYTE* /*pbData*/, DWORD /*dwFlags*/) {
    using namespace kelm;
    using namespace kelm::csp;
    platform::Trace("begin CPSetProvParam()");
    const kelm::core::ObjectsInUse in_use;
    if (ProviderOf(hProv) == nullptr) {
        return Fail(static_cast<DWORD>(NTE_BAD_UID));
    }
    // No provider parameter can be set.
    return Fail(static_cast<DWORD>(NTE_FAIL));
}
