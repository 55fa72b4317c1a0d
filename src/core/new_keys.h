// Key objects made inside the provider: session keys generated from card randomness, RSA key
// pairs generated on the card (CPGenKey), and keys taken from CryptoAPI key BLOBs (CPImportKey).
// Each function returns 0 and the new KeyCTX in *out, or the error for the caller's last error
// with nothing left behind. Session key material read or unwrapped here is wiped after use.
#pragma once

#include "card/card_conversation.h"
#include "core/contexts.h"

namespace kelm::core {

// Key BLOB header: bType, bVersion, reserved (2), aiKeyAlg (4, little-endian).
constexpr DWORD kBlobHeaderSize = 8;
constexpr BYTE kBlobVersion = 2;
// SIMPLEBLOB: the header, algidEncrypt (4), then the wrapped key, least significant byte first.
constexpr DWORD kSimpleBlobHeaderSize = 12;
// PUBLICKEYBLOB: the header, "RSA1", bitlen (4), pubexp (4), then the modulus.
constexpr DWORD kPublicKeyBlobHeaderSize = 20;
constexpr DWORD kRsaPublicMagic = 0x31415352;  // "RSA1"

// Makes sure the card has the PIN in this connection: VerifyPIN unless the session's
// PIN-verified flag is set. A refused or cancelled PIN ends the card connection; its error is
// returned. On success `conversation` is held, so that the card work done before it is let go
// runs in the connection where the PIN was verified (card::HoldVerifiedConversation).
DWORD Key_EnsurePin(DWORD context_flags, card::CardConversation& conversation);
// The same for a caller with no card work to follow in the same conversation.
DWORD Key_EnsurePin(DWORD context_flags);

// CPGenKey's work once the provider context and its container are known. CALG_DES, CALG_3DES
// and CALG_3DES_112 make a session key from card randomness; AT_SIGNATURE and AT_KEYEXCHANGE
// make the container's key pair on the card (after the PIN, unless the context is silent), which
// a verify context may not (NTE_PERM). CRYPT_EXPORTABLE in `flags` lets the key be exported
// wrapped. Either kind refreshes the container's status from the card, so a context whose
// container is not on the card (a verify context's) gets NTE_BAD_KEYSET.
DWORD Key_Generate(const ProvCTX* prov, ContainerCTX* container, ALG_ID algid, DWORD flags, KeyCTX** out);

// CPImportKey's work once the provider context is known (and the unwrapping key, which may be
// null). A SIMPLEBLOB's key is unwrapped by the card with `unwrap` (an RSA key of the context's
// container) or, when none is given, with the container's exchange key, after the PIN; the
// unwrapped key must have its algorithm's length. A PUBLICKEYBLOB names a slot of the context's
// container: the key object uses the card's key in that slot, and the blob's modulus and exponent
// are not kept. Private key BLOBs are refused (NTE_BAD_TYPE).
DWORD Key_ImportBlob(const ProvCTX* prov, const BYTE* blob, DWORD length, const KeyCTX* unwrap, DWORD flags,
                     KeyCTX** out);

}  // namespace kelm::core
