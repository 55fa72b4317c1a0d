#include "core/secure_wipe.h"

namespace kelm::core {

void SecureZero(void* buffer, size_t length) {
    if (buffer == nullptr || length == 0) {
        return;
    }
    // Volatile stores are never elided; the barrier keeps the compiler from treating the bytes
    // as dead before a following free.
    volatile unsigned char* bytes = static_cast<volatile unsigned char*>(buffer);
    for (size_t i = 0; i < length; ++i) {
        bytes[i] = 0;
    }
    __asm__ __volatile__("" : : "r"(buffer) : "memory");
}

}  // namespace kelm::core
