#include "core/user_keys.h"

#include <cstring>

#include "card/apdu_transport.h"
#include "card/card_files.h"
#include "core/context_records.h"
#include "kelm/winapi.h"

namespace kelm::core {
bool KeySlotOf(ALG_ID algid, KeySlot* slot) {
    switch (algid) {
    case AT_SIGNATURE:
    case CALG_RSA_SIGN:
        *slot = {card::SLOT_SIGNATURE, STATUS_OFFSET_SIGNATURE};
        return true;
    case AT_KEYEXCHANGE:
    case CALG_RSA_KEYX:
        *slot = {card::SLOT_EXCHANGE, STATUS_OFFSET_EXCHANGE};
        return true;
    default:
        return false;
    }
}

bool KeyBelongsTo(const KeyCTX* key, const char* name) {
    return std::strncmp(key->ContainerName, name, kContainerNameMax) == 0;
}

DWORD RsaKeyBits(const BYTE* container_status, const KeySlot& slot) {
    switch (container_status[slot.StatusOffset + 2]) {
    case 2: return 1024;
    case 4: return 2048;
    default: return 512;
    }
}

DWORD UserKey_Open(const ContainerCTX* container, DWORD which_key, KeyCTX** out) {
    KeySlot slot{};
    // Only AT_SIGNATURE and AT_KEYEXCHANGE name a user key; their CALG_ identifiers do not.
    if ((which_key != AT_SIGNATURE && which_key != AT_KEYEXCHANGE) || !KeySlotOf(which_key, &slot) ||
        container->Card_ContainerStatus[slot.StatusOffset] != STATUS_USED) {
        return static_cast<DWORD>(NTE_NO_KEY);
    }
    KeyCTX* key = Alloc_Init_KeyCTX(which_key == AT_SIGNATURE ? CALG_RSA_SIGN : CALG_RSA_KEYX);
    if (key == nullptr) {
        return GetLastError();
    }
    std::memcpy(key->Card_ContainerStatus, container->Card_ContainerStatus, kContainerStatusSize);
    std::memcpy(key->ContainerName, container->Name, kContainerNameMax);
    key->KeyLen = RsaKeyBits(container->Card_ContainerStatus, slot);
    key->BlockLen = key->KeyLen;
    *out = key;
    return 0;
}

DWORD UserKey_Release(KeyCTX* key, ContainerCTX* container) {
    KeySlot slot{};
    if (!KeySlotOf(key->Algid, &slot) || key->Card_ContainerStatus[slot.StatusOffset] != STATUS_KEY_PENDING) {
        return 0;
    }
    BYTE status[kContainerStatusSize];
    std::memcpy(status, container->Card_ContainerStatus, sizeof status);
    const DWORD deleted = card::Card_DeleteRSAKey(container->Name, slot.Slot, (key->KeyLen + 7) / 8, status);
    if (!card::Card_StatusSucceeded(deleted)) {
        return static_cast<DWORD>(NTE_BAD_KEY);
    }
    std::memcpy(container->Card_ContainerStatus, status, sizeof status);
    std::memcpy(key->Card_ContainerStatus, status, sizeof status);
    return 0;
}

}  // namespace kelm::core
