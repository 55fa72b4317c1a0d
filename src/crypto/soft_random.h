// Soft_GenRandom: the non-zero padding bytes of PKCS #1 v1.5 encryption blocks. A 20-byte pool
// lives for the whole process and is stirred on every 8-byte pass with the calendar time, the C
// runtime's seeded generator, a caller-supplied entropy string, MD5, SHA-1 and one DES block.
//
// The pool is shared by all threads and not locked: concurrent callers may produce correlated
// bytes, never zero bytes and never an overrun.
#pragma once

#include <cstdint>
#include <functional>

#include "kelm/windows_types.h"

namespace kelm::crypto {

constexpr size_t kRandPoolSize = 20;
constexpr size_t kRandEntropyWindow = 11;  // entropy bytes read: offsets 0..10

// Replacements for the calendar time (its low 32 bits), srand and rand, so that a pass can be
// reproduced exactly. An empty member keeps the C runtime's function; nullptr restores all.
struct RandomSeam {
    std::function<uint32_t()> time_low;
    std::function<void(unsigned)> seed;
    std::function<int()> next;
};
void SetRandomSeam(const RandomSeam* seam);

// The process-wide pool (kRandPoolSize bytes), all zero at load.
BYTE* Soft_RandPool();

// Writes bits/8 non-zero random bytes to `out`. bits <= 0 writes nothing. A null entropy string
// reads as zeros. Always returns 0.
int Soft_GenRandom(const BYTE* entropy, BYTE* out, int bits);

}  // namespace kelm::crypto
