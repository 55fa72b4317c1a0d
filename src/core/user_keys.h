// The card's RSA keys as key objects: which key slot an identifier names, opening a container's
// signature or exchange key and its release (the PIN step, Key_EnsurePin, is new_keys.h's). An RSA
// KeyCTX carries only the container's name and a copy of its status record; the key itself
// stays on the card.
//
// Functions that can fail return 0 or the error code for the caller's last error.
#pragma once

#include <cstddef>

#include "core/contexts.h"

namespace kelm::core {

// A key slot of a container: the card's slot number (1 signature, 2 exchange) and the slot's
// key status byte in Card_ContainerStatus. From StatusOffset: +2 size code, +3 certificate file,
// +4 certificate status, +5 capacity in 256-byte units, +6..+7 certificate length (big-endian).
// The status byte of a key that key generation made but has not kept yet.
constexpr BYTE STATUS_KEY_PENDING = 0x12;

struct KeySlot {
    BYTE Slot;
    size_t StatusOffset;
};

// AT_SIGNATURE or CALG_RSA_SIGN: the signature slot; AT_KEYEXCHANGE or CALG_RSA_KEYX: the
// exchange slot. False for anything else.
bool KeySlotOf(ALG_ID algid, KeySlot* slot);

// The key belongs to the container named `name` (its first 36 bytes).
bool KeyBelongsTo(const KeyCTX* key, const char* name);

// Bits of an RSA key by its status record's size code: 2 -> 1024, 4 -> 2048, else 512.
DWORD RsaKeyBits(const BYTE* container_status, const KeySlot& slot);

// A key object for the container's AT_SIGNATURE or AT_KEYEXCHANGE key: NTE_NO_KEY for any other
// value (CALG_ identifiers included) or an empty slot; the allocation's error otherwise. No
// card command is sent: the object names the card's key by container and slot.
DWORD UserKey_Open(const ContainerCTX* container, DWORD which_key, KeyCTX** out);

// What releasing a key object does on the card: a key whose status byte is 0x12 (made but not
// yet kept) is erased from its slot and the container's status refreshed (NTE_BAD_KEY when the
// card refuses); any other key leaves the card alone. The caller frees the record on 0.
DWORD UserKey_Release(KeyCTX* key, ContainerCTX* container);


}  // namespace kelm::core
