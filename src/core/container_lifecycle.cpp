// Creating, opening, deleting and closing a container: the card's directory record, the
// registry record and the in-memory ContainerCTX behind a container handle, kept together.
#include <cstring>

#include "card/card_files.h"
#include "core/container_registry.h"
#include "core/context_records.h"
#include "core/handles.h"
#include "kelm/winapi.h"
#include "platform/process/trace.h"

namespace kelm::core {

namespace {

// A caller's name cut to 36 characters and terminated; the card and the registry get the same.
struct ContainerName {
    char text[kContainerNameEntry];
};

ContainerName CutName(const char* name) {
    ContainerName cut{};
    std::memcpy(cut.text, name, strnlen(name, kContainerNameMax));
    return cut;
}

DWORD Fail(DWORD lastError, DWORD result) {
    SetLastError(lastError);
    return result;
}

DWORD CreateErrorFromCard(DWORD status) {
    switch (status) {
        case 0x6602:
            return static_cast<DWORD>(NTE_EXISTS);
        case 0x6A84:
        case 0x6604:
        case 0x6640:
            return static_cast<DWORD>(NTE_NO_MEMORY);
        default:
            return status;
    }
}

// Steps shared by create and open once the card has answered: a context with fresh card
// randomness, its registry record unless verify, and its handle. On failure nothing made here
// is left behind (context, handle or subkey); the card record is the caller's.
DWORD FinishContainer(const ContainerName& name, DWORD dwFlags, const BYTE* status, bool opening, uint64_t* CHnd) {
    const DWORD challengeError = opening ? kOpenChallengeFailed : 1;
    ContainerCTX* container = Alloc_Init_ContainerCTX(name.text, 0, dwFlags);
    if (container == nullptr) return Fail(ERROR_NOT_ENOUGH_MEMORY, ERROR_NOT_ENOUGH_MEMORY);

    container->RandSeedLen = kRandSeedLen;
    if (card::Card_GetChallenge(kRandSeedLen, container->RandSeed) != 0) {
        Free_ContainerCTX(container);
        return Fail(challengeError, 1);
    }

    const bool verify = IsVerifyContext(dwFlags);
    const bool machine = IsMachineKeyset(dwFlags);
    if (!verify) {
        const LONG result = Reg_WriteContainerValues(container, machine);
        if (result == ERROR_BADDB && opening) {
            // A registry file that cannot be read (malformed) cannot tell whether the record is
            // current. The card holds the container and nothing reads the record back, so the
            // open goes on unregistered rather than leaving every existing container unusable.
            platform::Trace("Reg_WriteContainerValues(): registry unreadable, container opened unregistered");
        } else if (result != ERROR_SUCCESS) {
            // Nothing is left in the registry (a half-made subkey is dropped where it was made),
            // and the registry's description of the failure stays for the caller to read.
            Free_ContainerCTX(container);
            return Fail(static_cast<DWORD>(NTE_BAD_KEYSET_PARAM), static_cast<DWORD>(result));
        }
    }

    std::memcpy(container->Card_ContainerStatus, status, kContainerStatusSize);
    uint64_t handle = 0;
    if (!Alloc_Init_CryptoHandle(&handle, HANDLE_CONTAINER_TYPE, container, 0)) {
        if (!verify) Reg_DeleteContainerValues(container->Name, machine);
        Free_ContainerCTX(container);
        return Fail(static_cast<DWORD>(NTE_FAIL), static_cast<DWORD>(NTE_FAIL));
    }
    *CHnd = handle;
    return 0;
}

bool HoldsNothing(const ContainerCTX& container) {
    const BYTE* status = container.Card_ContainerStatus;
    return status[STATUS_OFFSET_SIGNATURE] != STATUS_USED && status[kSignatureCertificateStatus] != STATUS_USED &&
           status[STATUS_OFFSET_EXCHANGE] != STATUS_USED && status[kExchangeCertificateStatus] != STATUS_USED;
}

}  // namespace

DWORD Morva_Default_CreateContainer(const char* name, DWORD dwFlags, uint64_t* CHnd) {
    platform::Trace("begin Morva_Default_CreateContainer()");
    if (name == nullptr || CHnd == nullptr) return Fail(ERROR_INVALID_PARAMETER, ERROR_INVALID_PARAMETER);
    const ContainerName cut = CutName(name);

    // Zero but for each slot's certificate capacity; the card's answer fills in the rest.
    BYTE status[kContainerStatusSize] = {};
    status[kSignatureCapacityByte] = card::kDefaultCertificateUnits;
    status[kExchangeCapacityByte] = card::kDefaultCertificateUnits;

    if (IsVerifyContext(dwFlags)) {
        // No card record stands behind a verify context: its status says it holds nothing.
        const BYTE empty[kContainerStatusSize] = {};
        return FinishContainer(cut, dwFlags, empty, false, CHnd);
    }
    const DWORD result = card::Card_CreateContainer(cut.text, status, sizeof(status));
    if (result != 0) {
        platform::Trace("call Card_CreateContainer() return : FALSE");
        return Fail(CreateErrorFromCard(result), result);
    }
    const DWORD finished = FinishContainer(cut, dwFlags, status, false, CHnd);
    if (finished != 0) {
        // The card record was made for this creation only: without it the card and the registry
        // are as they were, and a retry does not meet NTE_EXISTS. The failure's last error stays.
        const DWORD lastError = GetLastError();
        card::Card_DeleteContainer(cut.text);
        SetLastError(lastError);
    }
    return finished;
}

DWORD Morva_Default_OpenContainer(const char* name, DWORD dwFlags, uint64_t* CHnd) {
    platform::Trace("begin Morva_Default_OpenContainer()");
    if (name == nullptr || CHnd == nullptr) return Fail(ERROR_INVALID_PARAMETER, ERROR_INVALID_PARAMETER);
    const ContainerName cut = CutName(name);

    BYTE status[kContainerStatusSize] = {};
    const DWORD result = card::Card_OpenContainer(cut.text, status);
    if (result != 0) {
        platform::Trace("call Card_OpenContainer() return : FALSE");
        return Fail(static_cast<DWORD>(NTE_BAD_KEYSET), result);
    }
    return FinishContainer(cut, dwFlags, status, true, CHnd);
}

DWORD Morva_Default_DeleteContainer(uint64_t CHnd) {
    platform::Trace("begin Morva_Default_DeleteContainer()");
    auto* container = static_cast<ContainerCTX*>(Get_CryptoCTX(CHnd, HANDLE_CONTAINER_TYPE, CHnd));
    if (container == nullptr) {
        return Fail(static_cast<DWORD>(NTE_BAD_UID), static_cast<DWORD>(NTE_BAD_UID));
    }
    const DWORD cardResult = card::Card_DeleteContainer(container->Name);
    if (cardResult != 0) return Fail(cardResult, cardResult);

    LONG rootError = ERROR_SUCCESS;
    HKEY root = Reg_OpenKeysRoot(IsMachineKeyset(container->dwFlags), &rootError);
    if (root == nullptr) return Fail(static_cast<DWORD>(NTE_BAD_KEYSET_PARAM), static_cast<DWORD>(rootError));
    char subkey[kContainerSubkeySize];
    ContainerSubkeyName(container->Name, subkey);
    const LONG result = RegDeleteKeyA(root, subkey);
    RegCloseKey(root);
    return static_cast<DWORD>(result);
}

DWORD Morva_Default_CloseContainer(uint64_t CHnd) {
    platform::Trace("begin Morva_Default_CloseContainer()");
    LONG result = ERROR_SUCCESS;
    auto* container = static_cast<ContainerCTX*>(Get_CryptoCTX(CHnd, HANDLE_CONTAINER_TYPE, CHnd));
    if (container != nullptr) {
        // A verify context never made a card record, so there is nothing to drop from the card.
        if (!IsVerifyContext(container->dwFlags) && HoldsNothing(*container)) {
            card::Card_DeleteContainer(container->Name);
        }
        card::Card_SelectApplication();
        if (container->RegKey != nullptr) {
            // The context and its handle are released even when the registry refuses, so a
            // failing registry never leaks them; the caller still learns the registry's code.
            HKEY root = Reg_OpenKeysRoot(IsMachineKeyset(container->dwFlags), &result);
            if (root != nullptr) {
                char subkey[kContainerSubkeySize];
                ContainerSubkeyName(container->Name, subkey);
                result = RegDeleteKeyA(root, subkey);
                RegCloseKey(root);
            }
        }
        Free_ContainerCTX(container);
    }
    if (CHnd != 0) Free_CryptoHandle(CHnd);
    return static_cast<DWORD>(result);
}

}  // namespace kelm::core
