// The one trace sink. It discards its labels; a debug build prints them to stderr when
// KELM_TRACE is set. Never pass a PIN or key bytes.
#pragma once

#include "platform/export.h"

namespace kelm::platform {

KELM_PLATFORM_API void Trace(const char* label);

}  // namespace kelm::platform
