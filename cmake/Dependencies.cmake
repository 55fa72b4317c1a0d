if(WIN32)
  include(${CMAKE_CURRENT_LIST_DIR}/WindowsDependencies.cmake)
  return()
endif()

# mbed TLS 2.28 (Debian libmbedtls-dev): X.509 parsing, base64, SHA-256, and RSA in the card simulator.
find_path(MBEDTLS_INCLUDE_DIR mbedtls/x509_crt.h REQUIRED)
find_library(MBEDCRYPTO_LIBRARY mbedcrypto REQUIRED)
find_library(MBEDX509_LIBRARY mbedx509 REQUIRED)
add_library(kelm_mbedtls INTERFACE)
target_include_directories(kelm_mbedtls SYSTEM INTERFACE ${MBEDTLS_INCLUDE_DIR})
target_link_libraries(kelm_mbedtls INTERFACE ${MBEDX509_LIBRARY} ${MBEDCRYPTO_LIBRARY})

# pcsc-lite (Debian libpcsclite-dev): only its headers are used at build time; the library is
# loaded at run time so that its names never clash with the Windows-named PC/SC functions.
find_package(PkgConfig REQUIRED)
pkg_check_modules(PCSCLITE REQUIRED IMPORTED_TARGET libpcsclite)
# libassuan (Debian libassuan-dev) speaks the Assuan protocol with pinentry programs.
pkg_check_modules(ASSUAN REQUIRED IMPORTED_TARGET libassuan gpg-error)

# p11-kit (Debian libp11-kit-dev): only its PKCS #11 header, for the PKCS #11 module.
pkg_check_modules(P11KIT REQUIRED p11-kit-1)
add_library(kelm_p11kit_headers INTERFACE)
target_include_directories(kelm_p11kit_headers SYSTEM INTERFACE ${P11KIT_INCLUDE_DIRS})

# nlohmann-json (Debian nlohmann-json3-dev, header-only): the simulated card's image files and
# kelm-tool's --json output.
find_package(nlohmann_json 3 REQUIRED)
# CLI11 (Debian libcli11-dev, header-only) parses kelm-tool's command line.
find_package(CLI11 2.1 CONFIG REQUIRED)

find_package(Threads REQUIRED)
if(KELM_BUILD_TESTS)
  find_package(GTest REQUIRED)
  include(GoogleTest)
endif()
if(KELM_BUILD_BENCH)
  find_package(benchmark REQUIRED)
endif()

# What the provider links for the Windows interfaces it calls: their Linux stand-ins.
set(KELM_PLATFORM_LIBRARIES kelmplatform)
