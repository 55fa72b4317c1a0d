// GetLastError / SetLastError: one value per thread, as on Windows.
#include "kelm/winapi.h"

namespace {
thread_local DWORD t_last_error = 0;
}

KELM_WINAPI_EXPORT DWORD WINAPI GetLastError(void) { return t_last_error; }
KELM_WINAPI_EXPORT void WINAPI SetLastError(DWORD dwErrCode) { t_last_error = dwErrCode; }
