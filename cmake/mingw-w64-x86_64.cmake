# Cross build for 64-bit Windows with Debian's mingw-w64 (the POSIX-threads variant, so that
# std::mutex and std::thread are available). Used by the "windows" preset.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KELM_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KELM_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KELM_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${KELM_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KELM_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
