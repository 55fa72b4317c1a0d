// Signatures with the card's keys over a hash object's value, and random bytes from the card.
// The hash object is finished first (its running state turned into its value); one that never
// received data nor a value cannot be signed or verified (NTE_BAD_HASH_STATE). Signatures are
// exchanged with callers least significant byte first.
//
// Functions return 0 or the error code for the caller's last error.
#pragma once

#include "core/contexts.h"
#include "core/user_keys.h"

namespace kelm::core {

// CPSignHash's flag that signs without asking for the PIN.
constexpr DWORD SIGN_WITHOUT_PIN = 0x40;

// The container's key that signs for `which_key` (AT_SIGNATURE / CALG_RSA_SIGN or
// AT_KEYEXCHANGE / CALG_RSA_KEYX): NTE_BAD_ALGID for anything else, NTE_NO_KEY for an empty slot.
DWORD Signature_SigningSlot(const ContainerCTX* container, DWORD which_key, KeySlot* slot);

// Signs the hash with the slot's key. The signature is (size code x 64) bytes: with no buffer
// or a shorter *length, ERROR_MORE_DATA and that size in *length (the hash is finished all the
// same). NTE_BAD_ALGID for a hash the card cannot sign (only MD5, SHA-1, SHA-256 and the 36-byte
// SSL3 SHA+MD5 value). The PIN is asked first unless `flags` has SIGN_WITHOUT_PIN or the card
// has it; a refused PIN ends the card connection.
DWORD Signature_Sign(const ProvCTX* prov, const ContainerCTX* container, const KeySlot& slot, HashCTX* hash,
                     DWORD flags, BYTE* signature, DWORD* length);

// Checks a 128-byte signature of the hash with the public part of `key`, which must belong to
// `container` (NTE_BAD_KEYSET; a null container too) and be an RSA key (NTE_BAD_KEY) that is
// present (NTE_NO_KEY). Any other signature length, and any signature the card does not confirm,
// is NTE_BAD_SIGNATURE; the card knows only the SHA-1 and MD5 DigestInfo, so SHA-256 hashes never
// verify here. An SSL3 SHA+MD5 hash is NTE_BAD_ALGID.
DWORD Signature_Verify(const ContainerCTX* container, const KeyCTX* key, HashCTX* hash, const BYTE* signature,
                       DWORD length);

// `length` random bytes from the card into out, at most 240 per card-layer call (8 per card
// command). NTE_FAIL when the card fails or gives fewer bytes than asked for.
DWORD Random_FromCard(DWORD length, BYTE* out);

}  // namespace kelm::core
