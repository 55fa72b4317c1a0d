# Dependencies of the Windows build (the "windows" preset).
#
# mbed TLS is cross-built from Debian's own source package of the version the Linux build uses
# (libmbedtls-dev), fetched with `apt-get source` and built once into the build tree; later
# builds reuse it. Only the two libraries the provider and the card simulator link are built.
include(ExternalProject)

execute_process(COMMAND dpkg-query -W -f=\${Version} libmbedtls-dev
                OUTPUT_VARIABLE KELM_MBEDTLS_VERSION RESULT_VARIABLE result)
if(NOT result EQUAL 0 OR NOT KELM_MBEDTLS_VERSION)
  message(FATAL_ERROR "libmbedtls-dev is not installed: its version names the source package to cross-build")
endif()

# Everything else waits for these libraries, so their build may use every core.
cmake_host_system_information(RESULT cores QUERY NUMBER_OF_LOGICAL_CORES)
set(mbedtls_dir ${CMAKE_BINARY_DIR}/mbedtls)
set(mbedtls_libs ${mbedtls_dir}/build/library/libmbedx509.a ${mbedtls_dir}/build/library/libmbedcrypto.a)
ExternalProject_Add(mbedtls_windows
  PREFIX ${mbedtls_dir}
  SOURCE_DIR ${mbedtls_dir}/source
  BINARY_DIR ${mbedtls_dir}/build
  DOWNLOAD_COMMAND ${CMAKE_COMMAND} -DPACKAGE=mbedtls -DVERSION=${KELM_MBEDTLS_VERSION}
                   -DDEST=${mbedtls_dir}/source -P ${CMAKE_CURRENT_LIST_DIR}/FetchDebianSource.cmake
  UPDATE_COMMAND ""
  CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${CMAKE_TOOLCHAIN_FILE} -DCMAKE_BUILD_TYPE=Release
             -DENABLE_PROGRAMS=OFF -DENABLE_TESTING=OFF -DMBEDTLS_FATAL_WARNINGS=OFF
             -DUSE_SHARED_MBEDTLS_LIBRARY=OFF -DUSE_STATIC_MBEDTLS_LIBRARY=ON
  BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> --target mbedx509 mbedcrypto --parallel ${cores}
  INSTALL_COMMAND ""
  BUILD_BYPRODUCTS ${mbedtls_libs})

add_library(kelm_mbedtls INTERFACE)
add_dependencies(kelm_mbedtls mbedtls_windows)
target_include_directories(kelm_mbedtls SYSTEM INTERFACE ${mbedtls_dir}/source/include)
target_link_libraries(kelm_mbedtls INTERFACE ${mbedtls_libs})

# nlohmann-json is header-only: the simulator's image code uses the host's copy (Debian
# nlohmann-json3-dev) through a folder that holds just that, not the host's other headers.
find_path(KELM_NLOHMANN_INCLUDE nlohmann/json.hpp PATHS /usr/include NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH REQUIRED)
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/host-headers)
file(CREATE_LINK ${KELM_NLOHMANN_INCLUDE}/nlohmann ${CMAKE_BINARY_DIR}/host-headers/nlohmann SYMBOLIC)
add_library(kelm_nlohmann_json INTERFACE)
target_include_directories(kelm_nlohmann_json SYSTEM INTERFACE ${CMAKE_BINARY_DIR}/host-headers)

# The PKCS #11 header is p11-kit's (Debian libp11-kit-dev), portable C that packs its structures
# for Windows itself; it comes through the same folder.
find_path(KELM_P11KIT_INCLUDE p11-kit/pkcs11.h PATHS /usr/include/p11-kit-1 NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH
          REQUIRED)
file(CREATE_LINK ${KELM_P11KIT_INCLUDE}/p11-kit ${CMAKE_BINARY_DIR}/host-headers/p11-kit SYMBOLIC)
add_library(kelm_p11kit_headers INTERFACE)
target_include_directories(kelm_p11kit_headers SYSTEM INTERFACE ${CMAKE_BINARY_DIR}/host-headers)

# What the DLL imports instead of libkelmplatform.so: the Windows interfaces themselves (crypt32
# and ncrypt for the key storage provider's certificate lookup and software-provider calls).
set(KELM_PLATFORM_LIBRARIES kernel32 advapi32 user32 winscard crypt32 ncrypt)
