// Visibility of the platform layer's own C++ seams (the Windows-named functions carry
// KELM_WINAPI_EXPORT from kelm/windows_types.h).
#pragma once

#define KELM_PLATFORM_API __attribute__((visibility("default")))
