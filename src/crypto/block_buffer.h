// The 64-byte block buffering shared by MD5, SHA-1 and SHA-256's accelerated path: the bit
// count, the partial block kept between updates, whole blocks handed to the compression
// function straight from the input, and the closing padding (0x80, zeros, then the 8-byte
// length that the caller encodes).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kelm::crypto {

// `state` has State[], BitCount[2] (low word first) and Buffer[64]; `compress(words, data,
// blocks)` runs the compression function over `blocks` whole blocks.
template <typename HashState, typename Compress>
void BlockBuffer_Update(HashState* state, const uint8_t* data, size_t length, Compress compress) {
    if (length == 0) {
        return;
    }
    size_t used = (state->BitCount[0] >> 3) & 63;
    const uint64_t bits = (static_cast<uint64_t>(state->BitCount[1]) << 32 | state->BitCount[0]) +
                          (static_cast<uint64_t>(length) << 3);
    state->BitCount[0] = static_cast<uint32_t>(bits);
    state->BitCount[1] = static_cast<uint32_t>(bits >> 32);

    if (used > 0) {
        const size_t take = length < 64 - used ? length : 64 - used;
        std::memcpy(state->Buffer + used, data, take);
        used += take;
        data += take;
        length -= take;
        if (used < 64) {
            return;
        }
        compress(state->State, state->Buffer, 1);
    }
    if (length >= 64) {
        compress(state->State, data, length / 64);
        data += length & ~static_cast<size_t>(63);
        length &= 63;
    }
    if (length > 0) {
        std::memcpy(state->Buffer, data, length);
    }
}

// Appends the padding and `length_field` (the message length as the hash encodes it) so that
// the last block is compressed.
template <typename HashState, typename Compress>
void BlockBuffer_Pad(HashState* state, const uint8_t length_field[8], Compress compress) {
    const size_t used = (state->BitCount[0] >> 3) & 63;
    static const uint8_t kPadding[64] = {0x80};
    BlockBuffer_Update(state, kPadding, used < 56 ? 56 - used : 120 - used, compress);
    BlockBuffer_Update(state, length_field, 8, compress);
}

}  // namespace kelm::crypto
