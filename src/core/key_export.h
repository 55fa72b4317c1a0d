// Keys leaving the provider as CryptoAPI key BLOBs: an RSA key's public part read from the card
// (PUBLICKEYBLOB), or a session key wrapped by the card with the container's exchange key
// (SIMPLEBLOB). Private keys never leave the card: every other BLOB type is NTE_BAD_TYPE.
#pragma once

#include "core/contexts.h"

namespace kelm::core {

// Writes the BLOB of `key` into out, *length bytes long. The size is known before the card is
// asked: with out null only *length is set (0 returned); a shorter *length gives ERROR_MORE_DATA
// with the size. PUBLICKEYBLOB asks for the PIN unless the card has it (the card reads the
// public key only then), and on card types 1 and 5 records the key's 8-byte code ("PKMac") and
// the card type ("CardType") in the provider's registry key, ignoring registry failures.
// SIMPLEBLOB needs an exportable session key and `wrapping`, an exchange key of the context's
// container; it asks no PIN.
DWORD Key_Export(const ProvCTX* prov, const KeyCTX* key, const KeyCTX* wrapping, DWORD blob_type, BYTE* out,
                 DWORD* length);

}  // namespace kelm::core
