// What the key storage commands share: the provider as a program that loads it sees it
// (libKelmKSPv5.so opened with dlopen, its function table from GetKeyStorageInterface, one
// provider handle), key handles that are always freed, and the files they read and write.
#pragma once

#include <string>
#include <vector>

#include "commands.h"
#include "kelm/ksp.h"
#include "pin_entry.h"

namespace kelm::tool {

// $KELM_PROVIDER_LIBRARY, else the provider built with this tool.
std::string ProviderLibraryPath();

class KeyStorage {
public:
    // Loads the library and opens the provider; Fails when either cannot be done.
    KeyStorage();
    ~KeyStorage();  // keys, then the provider, are freed; the library stays loaded
    KeyStorage(const KeyStorage&) = delete;
    KeyStorage& operator=(const KeyStorage&) = delete;

    const NCRYPT_KEY_STORAGE_FUNCTION_TABLE& table() const { return *table_; }
    NCRYPT_PROV_HANDLE provider() const { return provider_; }

    // The signature ("signature") or exchange ("exchange") key of the container `name`.
    NCRYPT_KEY_HANDLE OpenKey(const std::string& name, const std::string& kind);

    // Fails with `what` and the status's name unless it is 0; a refused PIN is explained by
    // `pin` first and has the exit status it has on the provider's entry points.
    void Check(SECURITY_STATUS status, const std::string& what, const PinEntry* pin = nullptr) const;

private:
    NCRYPT_KEY_STORAGE_FUNCTION_TABLE* table_ = nullptr;
    NCRYPT_PROV_HANDLE provider_ = 0;
    std::vector<NCRYPT_KEY_HANDLE> keys_;
};

struct KeyChoice;

// What the key storage provider does to find a key's public half: the first certificate of the
// current user's "My" store whose key provider information names the key's container, whichever
// of the container's keys it certifies. "" when that certificate is the one of the chosen key,
// else why the provider would take the wrong one (or none).
std::string StoreCertificateProblem(const KeyChoice& choice);

// UTF-8 and the provider's UTF-16.
std::u16string Utf16(const std::string& text);
std::string Utf8(const char16_t* text);

// A whole file's bytes ("-": standard input); Fails when it cannot be read.
std::vector<BYTE> ReadBytes(const std::string& path);
// Writes `bytes` to `path`; Fails when it cannot be written.
void WriteBytes(const std::string& path, const std::vector<BYTE>& bytes);

// The digest of a file ("-": standard input), read in pieces, by name ("md5", "sha1", "sha256",
// "sha384", "sha512", any case); Fails (usage) for another name.
std::vector<BYTE> Digest(const std::string& name, const std::string& path);

}  // namespace kelm::tool
