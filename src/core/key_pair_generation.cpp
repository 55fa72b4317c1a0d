#include "core/key_pair_generation.h"

#include <cstring>

#include "card/apdu_transport.h"
#include "card/key_generation.h"
#include "core/handles.h"
#include "kelm/winapi.h"

namespace kelm::core {

DWORD RSA_GenerateKeyPair(KeyCTX* key, uint64_t chnd, DWORD algid, DWORD /*bits*/) {
    auto* container = static_cast<ContainerCTX*>(Get_CryptoCTX(chnd, HANDLE_CONTAINER_TYPE, chnd));
    if (container == nullptr) {
        return static_cast<DWORD>(NTE_BAD_UID);
    }
    BYTE slot = 0;
    size_t status_offset = 0;
    if (algid == AT_SIGNATURE || algid == CALG_RSA_SIGN) {
        slot = 1, status_offset = STATUS_OFFSET_SIGNATURE;
    } else if (algid == AT_KEYEXCHANGE || algid == CALG_RSA_KEYX) {
        slot = 2, status_offset = STATUS_OFFSET_EXCHANGE;
    } else {
        return static_cast<DWORD>(NTE_BAD_ALGID);
    }
    if (key == nullptr) {
        return static_cast<DWORD>(ERROR_INVALID_PARAMETER);
    }
    if (container->Card_ContainerStatus[status_offset] == STATUS_USED) {
        return static_cast<DWORD>(NTE_EXISTS);
    }
    BYTE status[kContainerStatusSize] = {};
    const DWORD result = card::Card_GenerateRSAKey(container->Name, slot, 0, status);
    if (!card::Card_StatusSucceeded(result)) {
        return result;
    }
    std::memcpy(container->Card_ContainerStatus, status, kContainerStatusSize);
    std::memcpy(key->Card_ContainerStatus, status, kContainerStatusSize);
    return 0;
}

}  // namespace kelm::core
