// A program that knows the provider only as a shared library with GetKeyStorageInterface: it
// loads the library with dlopen and drives one certified card key through the function table as
// the platform's key storage router would, checking every result it can with OpenSSL.
#pragma once

#include <string>

#include "crypto/openssl_peer.h"

namespace kelm::ksp::testing {

// The card key the program works with: the signature key of `container`, whose certificate is in
// the current user's "My" store, and its numbers (big-endian) for OpenSSL.
struct ProgramKey {
    std::u16string container;
    test::Bytes modulus, exponent, private_exponent;
};

// Opens the provider, enumerates the keys, opens the key, reads properties and algorithms, signs,
// verifies, encrypts (PKCS #1 v1.5 and OAEP) and decrypts, and frees everything it was handed.
// The PIN dialog is answered by the caller's responder; failures are reported as test failures.
void RunTableProgram(const char* library_path, const ProgramKey& key);

}  // namespace kelm::ksp::testing
