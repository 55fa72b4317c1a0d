// SHA-256 message digest (FIPS 180-4), 32-byte digest, 64-byte block. On a processor with the
// SHA instructions the blocks are compressed by them over a running state of our own; anywhere
// else mbed TLS's SHA-256 context computes the whole digest. The path is chosen once per
// process, so a state is always continued on the path that started it.
#pragma once

#include <mbedtls/sha256.h>

#include <cstddef>
#include <cstdint>

namespace kelm::crypto {

// The accelerated path's state, buffered as MD5 and SHA-1 are.
struct SHA256_BLOCKS {
    uint32_t State[8];
    uint32_t BitCount[2];  // message length in bits, low word first
    uint8_t Buffer[64];
};

union SHA256_STATE {
    mbedtls_sha256_context Portable;
    SHA256_BLOCKS Accelerated;
};

void Sha256_Init(SHA256_STATE* state);
void Sha256_Update(SHA256_STATE* state, const uint8_t* data, size_t length);
// Writes the digest and wipes the state.
void Sha256_Final(SHA256_STATE* state, uint8_t digest[32]);

// True when this process's SHA-256 states run on the SHA instructions.
bool Sha256_Accelerated();

}  // namespace kelm::crypto
