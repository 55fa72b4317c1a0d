// Zeroing of secrets that the compiler may not drop, even when the memory is freed right after.
#pragma once

#include <cstddef>

namespace kelm::core {

// Writes `length` zero bytes at `buffer`; a null buffer or a length of 0 does nothing.
void SecureZero(void* buffer, size_t length);

}  // namespace kelm::core
