// DES (FIPS 46-3) and triple DES (TDEA): the single-block functions used by the MAC and the
// padding-byte generator, and key schedules that the cipher modes compute once per call and
// reuse for every block. Blocks are handled as two big-endian 32-bit halves.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kelm/windows_types.h"

namespace kelm::crypto {

// The sixteen round keys of one DES key, two words per round in the order the rounds use them.
struct DES_KEY_SCHEDULE {
    uint32_t Subkeys[32];
};

// A DES, two-key or three-key triple DES key. For DES only Keys[0] is used; for two-key
// triple DES Keys[2] repeats Keys[0].
struct TDEA_SCHEDULE {
    DES_KEY_SCHEDULE Keys[3];
    bool Triple;
};

// One 8-byte DES key; the parity bit of each byte is ignored.
void Des_SetKey(DES_KEY_SCHEDULE* schedule, const BYTE key[8]);

// keyLenBits 128: two-key triple DES from 16 key bytes; 192: three-key triple DES from 24 key
// bytes; any other value: DES from 8 key bytes.
void Tdea_SetKey(TDEA_SCHEDULE* schedule, DWORD keyLenBits, const BYTE* key);

// Encrypt or decrypt one block held as two big-endian halves, in place.
void Tdea_EncryptHalves(const TDEA_SCHEDULE* schedule, uint32_t* left, uint32_t* right);
void Tdea_DecryptHalves(const TDEA_SCHEDULE* schedule, uint32_t* left, uint32_t* right);

// The same on an 8-byte block; in and out may be the same buffer.
void Tdea_EncryptBlock(const TDEA_SCHEDULE* schedule, const BYTE in[8], BYTE out[8]);
void Tdea_DecryptBlock(const TDEA_SCHEDULE* schedule, const BYTE in[8], BYTE out[8]);

// Single DES on one block with one 8-byte key; the key schedule is made for this block alone.
void DES_EncryptBlock(const BYTE key[8], const BYTE in[8], BYTE out[8]);
void DES_DecryptBlock(const BYTE key[8], const BYTE in[8], BYTE out[8]);

inline uint32_t LoadBlockHalf(const BYTE* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

inline void StoreBlockHalf(BYTE* p, uint32_t v) {
    p[0] = static_cast<BYTE>(v >> 24);
    p[1] = static_cast<BYTE>(v >> 16);
    p[2] = static_cast<BYTE>(v >> 8);
    p[3] = static_cast<BYTE>(v);
}

}  // namespace kelm::crypto
