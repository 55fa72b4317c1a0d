// SHA-1 message digest (FIPS 180-4), 20-byte digest, 64-byte block. Blocks are compressed with
// the processor's SHA instructions when it has them, otherwise by the portable rounds.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kelm::crypto {

struct SHA1_STATE {
    uint32_t State[5];
    uint32_t BitCount[2];  // message length in bits, low word first
    uint8_t Buffer[64];
};

void Sha1_Init(SHA1_STATE* state);
void Sha1_Update(SHA1_STATE* state, const uint8_t* data, size_t length);
void Sha1_Final(SHA1_STATE* state, uint8_t digest[20]);

// Block compression: Sha1_Compress uses the fastest rounds this processor has; the portable
// rounds are reachable on their own so that both can be checked on any machine.
void Sha1_Compress(uint32_t state[5], const uint8_t* data, size_t blocks);
void Sha1_CompressPortable(uint32_t state[5], const uint8_t* data, size_t blocks);

}  // namespace kelm::crypto
