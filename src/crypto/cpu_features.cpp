#include "crypto/cpu_features.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace kelm::crypto {
namespace {

bool AskProcessor() {
#if defined(__x86_64__) || defined(__i386__)
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) {
        return false;
    }
    const bool ssse3_sse41 = (ecx & bit_SSSE3) && (ecx & bit_SSE4_1);
    if (!ssse3_sse41 || !__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) {
        return false;
    }
    return (ebx & (1u << 29)) != 0;  // CPUID.(EAX=7,ECX=0):EBX.SHA
#else
    return false;
#endif
}

}  // namespace

bool CpuHasShaExtensions() {
    static const bool has = AskProcessor();
    return has;
}

}  // namespace kelm::crypto
