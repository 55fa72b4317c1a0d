// The one trace sink. It discards its labels; a debug build prints them to stderr when
// KELM_TRACE is set. Never pass a PIN or key bytes.
#pragma once

#include "platform/export.h"

namespace kelm::platform {

#ifdef _WIN32
// The Windows DLL carries no platform layer: the sink is the hook alone, and discards.
inline void Trace(const char*) {}
#else
KELM_PLATFORM_API void Trace(const char* label);
#endif

}  // namespace kelm::platform
