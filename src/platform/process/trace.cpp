// The trace sink: labels are discarded, except in a debug build with KELM_TRACE set, where
// they go to stderr. Callers never pass secrets.
#include "platform/process/trace.h"

#include <cstdio>
#include <cstdlib>

namespace kelm::platform {

void Trace(const char* label) {
#ifndef NDEBUG
    static const bool enabled = std::getenv("KELM_TRACE") != nullptr;
    if (enabled && label != nullptr) std::fprintf(stderr, "[kelm] %s\n", label);
#else
    (void)label;
#endif
}

}  // namespace kelm::platform
