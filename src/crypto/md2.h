// MD2 message digest (RFC 1319), 16-byte digest, 16-byte block.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kelm::crypto {

struct MD2_STATE {
    uint32_t Count;        // bytes waiting in Buffer, 0..15
    uint8_t Buffer[16];
    uint8_t Checksum[16];
    uint8_t X[48];
};

void Md2_Init(MD2_STATE* state);
void Md2_Update(MD2_STATE* state, const uint8_t* data, size_t length);
void Md2_Final(MD2_STATE* state, uint8_t digest[16]);

}  // namespace kelm::crypto
