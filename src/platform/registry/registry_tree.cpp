// The key tree of the emulated registry: name rules, lookups and edits. No I/O here.
#include "platform/registry/registry_tree.h"

#include <algorithm>

namespace kelm::platform {

namespace {

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Case-insensitive ordering of subkey names (the order in which they are written out).
bool NameLess(std::string_view a, std::string_view b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                        [](char x, char y) {
                                            return static_cast<unsigned char>(AsciiLower(x)) <
                                                   static_cast<unsigned char>(AsciiLower(y));
                                        });
}

bool HasControlCharacter(std::string_view name) {
    return std::any_of(name.begin(), name.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
}

template <typename Key>
Key* FindSubkeyIn(Key& key, std::string_view name) {
    for (auto& sub : key.subkeys)
        if (RegistryNamesEqual(sub.name, name)) return &sub;
    return nullptr;
}

template <typename Key>
Key* FindPathIn(Key& root, const std::vector<std::string>& path) {
    Key* key = &root;
    for (const auto& component : path) {
        key = FindSubkeyIn(*key, component);
        if (key == nullptr) return nullptr;
    }
    return key;
}

}  // namespace

const char* RegistryRootName(RegistryRoot root) {
    return root == RegistryRoot::CurrentUser ? "HKEY_CURRENT_USER" : "HKEY_LOCAL_MACHINE";
}

bool RegistryNamesEqual(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
    return true;
}

LONG SplitRegistryPath(const char* path, std::vector<std::string>& components) {
    if (path == nullptr || *path == '\0') return ERROR_SUCCESS;
    std::string_view rest(path);
    if (rest.back() == '\\') rest.remove_suffix(1);
    std::vector<std::string> parts;
    while (true) {
        const size_t cut = rest.find('\\');
        const std::string_view part = rest.substr(0, cut);
        if (part.empty() || part.size() > kMaxKeyNameLength || HasControlCharacter(part))
            return ERROR_INVALID_PARAMETER;
        parts.emplace_back(part);
        if (cut == std::string_view::npos) break;
        rest.remove_prefix(cut + 1);
    }
    components.insert(components.end(), parts.begin(), parts.end());
    return ERROR_SUCCESS;
}

bool IsValidValueName(std::string_view name) {
    return name.size() <= kMaxValueNameLength && !HasControlCharacter(name);
}

RegistryKey* FindSubkey(RegistryKey& key, std::string_view name) { return FindSubkeyIn(key, name); }

const RegistryKey* FindSubkey(const RegistryKey& key, std::string_view name) { return FindSubkeyIn(key, name); }

RegistryKey* FindKeyPath(RegistryKey& root, const std::vector<std::string>& path) {
    return FindPathIn(root, path);
}

const RegistryKey* FindKeyPath(const RegistryKey& root, const std::vector<std::string>& path) {
    return FindPathIn(root, path);
}

const RegistryValue* FindValue(const RegistryKey& key, std::string_view name) {
    for (const auto& value : key.values)
        if (RegistryNamesEqual(value.name, name)) return &value;
    return nullptr;
}

RegistryKey& EnsureSubkey(RegistryKey& key, std::string_view name, bool* created) {
    if (RegistryKey* existing = FindSubkey(key, name)) {
        if (created != nullptr) *created = false;
        return *existing;
    }
    const auto place = std::find_if(key.subkeys.begin(), key.subkeys.end(),
                                    [&](const RegistryKey& sub) { return NameLess(name, sub.name); });
    RegistryKey fresh;
    fresh.name = std::string(name);
    if (created != nullptr) *created = true;
    return *key.subkeys.insert(place, std::move(fresh));
}

bool SetRegistryValue(RegistryKey& key, std::string_view name, DWORD type, std::vector<BYTE> data) {
    for (auto& value : key.values) {
        if (!RegistryNamesEqual(value.name, name)) continue;
        if (value.type == type && value.data == data) return false;
        value.type = type;
        value.data = std::move(data);
        return true;
    }
    key.values.push_back(RegistryValue{std::string(name), type, std::move(data)});
    return true;
}

bool RemoveRegistryValue(RegistryKey& key, std::string_view name) {
    const auto it = std::find_if(key.values.begin(), key.values.end(),
                                 [&](const RegistryValue& value) { return RegistryNamesEqual(value.name, name); });
    if (it == key.values.end()) return false;
    key.values.erase(it);
    return true;
}

bool RemoveSubkey(RegistryKey& key, std::string_view name) {
    const auto it = std::find_if(key.subkeys.begin(), key.subkeys.end(),
                                 [&](const RegistryKey& sub) { return RegistryNamesEqual(sub.name, name); });
    if (it == key.subkeys.end()) return false;
    key.subkeys.erase(it);
    return true;
}

}  // namespace kelm::platform
