// The trace sink: labels are discarded, except in a debug build with KELM_TRACE set, where
// they go to stderr. Callers never pass secrets.
#include "platform/process/trace.h"

#include <cstdio>
#include <cstdlib>

#include "platform/pcsc/pcsc_backend.h"

namespace kelm::platform {
namespace {

[[maybe_unused]] bool Enabled() {
    static const bool enabled = std::getenv("KELM_TRACE") != nullptr;
    return enabled;
}

}  // namespace

void Trace(const char* label) {
#ifndef NDEBUG
    if (Enabled() && label != nullptr) std::fprintf(stderr, "[kelm] %s\n", label);
#else
    (void)label;
#endif
}

void TraceLastError(uint32_t error) {
#ifndef NDEBUG
    if (!Enabled()) return;
    const char* name = PcscErrorName(static_cast<LONG>(error));
    if (name[0] != '\0') {
        std::fprintf(stderr, "[kelm] SetLastError : %s\n", name);
    } else {
        std::fprintf(stderr, "[kelm] SetLastError : 0x%08X\n", static_cast<unsigned>(error));
    }
#else
    (void)error;
#endif
}

}  // namespace kelm::platform
