// A container's RSA key pair made on the card: the step shared by CryptoAPI key generation and
// the key storage provider's persisted keys.
#pragma once

#include <cstdint>

#include "core/contexts.h"

namespace kelm::core {

// Generates the key pair of the slot that `algid` names (AT_SIGNATURE or CALG_RSA_SIGN: the
// signature key; AT_KEYEXCHANGE or CALG_RSA_KEYX: the exchange key) in the container behind
// `chnd`. The key size is the receiving key file's; `bits` is not sent to the card.
// On success the slot's entry of the new status record (the other slot's entry zero) replaces
// the container's Card_ContainerStatus and the key's copy; callers refresh both from the card.
// Returns 0, NTE_BAD_UID (no container behind chnd), NTE_BAD_ALGID, NTE_EXISTS (the slot holds a
// key; nothing is sent), ERROR_INVALID_PARAMETER (no key), or the card's status.
DWORD RSA_GenerateKeyPair(KeyCTX* key, uint64_t chnd, DWORD algid, DWORD bits);

}  // namespace kelm::core
