// Wiping of key bytes, chaining values and running states before their storage is reused or
// released. A plain memset runs at memory speed; the barrier after it takes the buffer's address
// and clobbers memory, so the compiler must assume the zeros are read and cannot drop the stores.
#pragma once

#include <cstddef>
#include <cstring>

namespace kelm::crypto {

inline void SecureZero(void* data, size_t length) {
    if (data == nullptr || length == 0) {
        return;
    }
    std::memset(data, 0, length);
    __asm__ __volatile__("" : : "r"(data) : "memory");
}

}  // namespace kelm::crypto
