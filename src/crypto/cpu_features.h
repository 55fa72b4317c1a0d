// What this processor offers beyond the baseline instruction set, asked once per process.
#pragma once

namespace kelm::crypto {

// True when the processor has the SHA instructions (SHA-1 and SHA-256 rounds) together with
// the SSSE3 and SSE4.1 shuffles that the accelerated rounds need. Always false off x86.
bool CpuHasShaExtensions();

}  // namespace kelm::crypto
