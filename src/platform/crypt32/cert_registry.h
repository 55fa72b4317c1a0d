// Where the certificate stores live: one subkey per certificate, named for its thumbprint,
// under HKEY_CURRENT_USER\Software\Microsoft\SystemCertificates\<store>\Certificates, holding
// the serialized certificate in the REG_BINARY value "Blob".
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "kelm/windows_types.h"

namespace kelm::platform {

struct StoreEntry {
    std::string key_name;
    bool has_blob = false;  // a REG_BINARY "Blob" value is present
    std::vector<BYTE> blob;
};

// The path of a store's "Certificates" key below HKEY_CURRENT_USER; empty when `store_name`
// cannot name a registry key (empty, too long, a backslash or a control character).
std::vector<std::string> StoreRegistryPath(std::string_view store_name);

// Every entry of the store, in the registry's order; none when the store has no key yet.
LONG ReadStoreEntries(const std::vector<std::string>& path, std::vector<StoreEntry>& entries);

// Creates or replaces one entry's "Blob", creating the store's keys as needed.
LONG WriteStoreEntry(const std::vector<std::string>& path, const std::string& key_name, const std::vector<BYTE>& blob);

// Removes one entry with everything below it; an entry already gone is no error.
LONG DeleteStoreEntry(const std::vector<std::string>& path, const std::string& key_name);

}  // namespace kelm::platform
