// The card's cryptographic engine: its random generator and raw RSA, on mbed TLS.
#pragma once

#include <cstddef>
#include <vector>

#include "sim/card_state.h"

namespace kelm::sim {

// Fills `out` from the card's DRBG (seeded once per process from the system's entropy).
void CardRandom(BYTE* out, size_t length);

// A new key pair with public exponent 65537 and a random 8-byte public-key code.
bool GenerateKey(unsigned bits, RsaKey* key);

// Raw RSA on one block of exactly the modulus length; false when the block is not below the
// modulus or the key is unusable.
bool RsaPrivate(const RsaKey& key, const BYTE* block, std::vector<BYTE>* out);
bool RsaPublic(const RsaKey& key, const BYTE* block, std::vector<BYTE>* out);

}  // namespace kelm::sim
