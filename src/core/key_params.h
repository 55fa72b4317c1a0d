// Key parameters (KP_…) of a key object, read and set: a session key's IV, salt, padding, mode
// and lengths, every key's permissions and lengths, and the certificate that the card keeps
// beside an RSA key.
//
// Reading follows the platform's buffer convention: with no buffer only the size is reported;
// a buffer whose stated length is shorter than the value fails with ERROR_MORE_DATA and the
// size, and nothing is written. Every function returns 0 or the caller's last error.
#pragma once

#include "core/contexts.h"

namespace kelm::core {

// The largest certificate kept beside a key: 8 units of 256 bytes.
constexpr DWORD kMaxKeyCertificate = 2048;

// Reads `param` of `key` into data (or only its size when data is null). NTE_BAD_TYPE for a
// parameter the key does not have; KP_CERTIFICATE of a session key is NTE_BAD_KEY. An IV of
// length 0 (ECB mode) is reported as nothing at all: *length is left as the caller set it.
DWORD KeyParam_Get(const KeyCTX* key, DWORD param, BYTE* data, DWORD* length);

// Sets `param` of `key` from data. KP_MODE stores the new mode before checking it, so a refused
// mode (NTE_FAIL) still reads back. KP_CERTIFICATE writes the certificate to the card and
// refreshes the status records of the key and of `container` (the provider context's, which
// must be the key's: NTE_BAD_KEYSET).
DWORD KeyParam_Set(KeyCTX* key, ContainerCTX* container, DWORD param, const BYTE* data);

// The certificate stored beside an RSA key, as the DER bytes the card holds. A slot without
// one: 0x8009200C with *length 0.
DWORD KeyCertificate_Read(const KeyCTX* key, BYTE* data, DWORD* length);

// Stores a DER certificate (its outer element's length, 1 to 2048 bytes, is what is written)
// beside an RSA key, giving the slot a certificate file first when it has none. NTE_FAIL for a
// certificate whose length cannot be read, is over 2048 bytes or exceeds the slot's file; the
// card's status when the card refuses. No PIN: the card's write authorisation governs the write.
DWORD KeyCertificate_Write(KeyCTX* key, ContainerCTX* container, const BYTE* der);

}  // namespace kelm::core
