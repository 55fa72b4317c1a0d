// The one trace sink. It discards its labels; a debug build prints them to stderr when
// KELM_TRACE is set. Never pass a PIN or key bytes.
#pragma once

#include <cstdint>

#include "platform/export.h"

namespace kelm::platform {

#ifdef _WIN32
// The Windows DLL carries no platform layer: the sink is the hook alone, and discards.
inline void Trace(const char*) {}
inline void TraceLastError(uint32_t) {}
#else
KELM_PLATFORM_API void Trace(const char* label);
// "SetLastError : NAME" for a last-error value, named from the platform's table of error names
// (its number in hexadecimal when the table does not know it).
KELM_PLATFORM_API void TraceLastError(uint32_t error);
#endif

}  // namespace kelm::platform
