// Wiping of key bytes, chaining values and running states before their storage is reused or
// released. The stores go through a volatile pointer so that the compiler cannot drop them.
#pragma once

#include <cstddef>

namespace kelm::crypto {

inline void SecureZero(void* data, size_t length) {
    volatile unsigned char* p = static_cast<volatile unsigned char*>(data);
    while (length--) {
        *p++ = 0;
    }
}

}  // namespace kelm::crypto
