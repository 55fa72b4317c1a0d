// MD5 message digest (RFC 1321), 16-byte digest, 64-byte block.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kelm::crypto {

struct MD5_STATE {
    uint32_t State[4];
    uint32_t BitCount[2];  // message length in bits, low word first
    uint8_t Buffer[64];
};

void Md5_Init(MD5_STATE* state);
void Md5_Update(MD5_STATE* state, const uint8_t* data, size_t length);
void Md5_Final(MD5_STATE* state, uint8_t digest[16]);

}  // namespace kelm::crypto
