#include "platform/crypt32/cert_registry.h"

#include "platform/registry/registry_backend.h"

namespace kelm::platform {
namespace {

constexpr const char* kValueName = "Blob";

}  // namespace

std::vector<std::string> StoreRegistryPath(std::string_view store_name) {
    if (store_name.empty() || store_name.size() > kMaxKeyNameLength) return {};
    for (const char c : store_name) {
        if (c == '\\' || static_cast<unsigned char>(c) < 0x20) return {};
    }
    return {"Software", "Microsoft", "SystemCertificates", std::string(store_name), "Certificates"};
}

LONG ReadStoreEntries(const std::vector<std::string>& path, std::vector<StoreEntry>& entries) {
    entries.clear();
    return ReadRegistryRoot(RegistryRoot::CurrentUser, [&](const RegistryKey& root) -> LONG {
        const RegistryKey* store = FindKeyPath(root, path);
        if (store == nullptr) return ERROR_SUCCESS;
        for (const RegistryKey& key : store->subkeys) {
            StoreEntry entry{key.name, false, {}};
            const RegistryValue* value = FindValue(key, kValueName);
            if (value != nullptr && value->type == REG_BINARY) {
                entry.has_blob = true;
                entry.blob = value->data;
            }
            entries.push_back(std::move(entry));
        }
        return ERROR_SUCCESS;
    });
}

LONG WriteStoreEntry(const std::vector<std::string>& path, const std::string& key_name, const std::vector<BYTE>& blob) {
    if (blob.size() > kMaxValueDataSize) return ERROR_INVALID_PARAMETER;
    return ChangeRegistryRoot(RegistryRoot::CurrentUser, [&](RegistryKey& root, bool& changed) -> LONG {
        RegistryKey* key = &root;
        for (const std::string& component : path) key = &EnsureSubkey(*key, component);
        key = &EnsureSubkey(*key, key_name);
        SetRegistryValue(*key, kValueName, REG_BINARY, blob);
        changed = true;
        return ERROR_SUCCESS;
    });
}

LONG DeleteStoreEntry(const std::vector<std::string>& path, const std::string& key_name) {
    return ChangeRegistryRoot(RegistryRoot::CurrentUser, [&](RegistryKey& root, bool& changed) -> LONG {
        RegistryKey* store = FindKeyPath(root, path);
        changed = store != nullptr && RemoveSubkey(*store, key_name);
        return ERROR_SUCCESS;
    });
}

}  // namespace kelm::platform
