// kelm-tool ksp properties and ksp algorithms: what the key storage provider says of itself,
// of a key, and of its algorithms.
#include <cstdio>
#include <memory>

#include "card_access.h"
#include "card_keys.h"
#include "commands.h"
#include "key_storage.h"
#include "output.h"

namespace kelm::tool {
namespace {

int RunProperties(const Options& options, KeyChoice& choice) {
    const bool of_key = !choice.container.empty() || choice.key != "signature" || !choice.kind.empty();
    if (of_key) choice.Resolve();
    CardAccess access(options, CardUse::Provider);
    KeyStorage storage;
    Json properties = Json::object();
    for (const char16_t* name : {NCRYPT_IMPL_TYPE_PROPERTY, NCRYPT_MAX_NAME_LENGTH_PROPERTY, NCRYPT_VERSION_PROPERTY,
                                 NCRYPT_SECURITY_DESCR_SUPPORT_PROPERTY}) {
        DWORD value = 0, size = 0;
        storage.Check(storage.table().GetProviderProperty(storage.provider(), reinterpret_cast<LPCWSTR>(name),
                                                          reinterpret_cast<PBYTE>(&value), sizeof value, &size, 0),
                      "cannot read the provider's '" + Utf8(name) + "'");
        properties[Utf8(name)] = value;
    }
    if (of_key) {
        const NCRYPT_KEY_HANDLE key = storage.OpenKey(choice.container, choice.key);
        char16_t group[16] = {};
        DWORD size = 0;
        storage.Check(storage.table().GetKeyProperty(storage.provider(), key, NCRYPT_ALGORITHM_GROUP_PROPERTY,
                                                     reinterpret_cast<PBYTE>(group), sizeof group - 2, &size, 0),
                      "cannot read the key's algorithm group");
        properties[Utf8(NCRYPT_ALGORITHM_GROUP_PROPERTY)] = Utf8(group);
    }
    if (options.json) {
        PrintJson({{"properties", properties}});
    } else {
        for (const auto& [name, value] : properties.items()) {
            std::printf("%-24s %s\n", name.c_str(), value.is_string() ? value.get<std::string>().c_str() : value.dump().c_str());
        }
    }
    return kExitOk;
}

int RunAlgorithms(const Options& options) {
    CardAccess access(options, CardUse::Provider);
    KeyStorage storage;
    DWORD count = 0;
    NCryptAlgorithmName* list = nullptr;
    storage.Check(storage.table().EnumAlgorithms(storage.provider(), 0, &count, &list, 0), "cannot list the algorithms");
    Json algorithms = Json::array();
    for (DWORD i = 0; i < count; ++i) {
        algorithms.push_back({{"name", Utf8(list[i].pszName)}, {"class", list[i].dwClass}, {"operations", list[i].dwAlgOperations}});
        if (!options.json) {
            std::printf("%-6s class %u operations 0x%02X\n", Utf8(list[i].pszName).c_str(), list[i].dwClass,
                        list[i].dwAlgOperations);
        }
    }
    storage.table().FreeBuffer(list);
    if (options.json) PrintJson({{"algorithms", algorithms}});
    return kExitOk;
}

Action SetupProperties(CLI::App& command) {
    auto choice = std::make_shared<KeyChoice>();
    AddKeyOptions(command, choice.get());
    return [choice](const Options& options) { return RunProperties(options, *choice); };
}
Action SetupAlgorithms(CLI::App&) { return RunAlgorithms; }

const Registrar kProperties{{
    .name = "ksp properties",
    .group = kGroupKeyStorage,
    .summary = "the key storage provider's properties, and a key's",
    .help = "Reads the provider's properties (Impl Type, Max Name Length, Version, Security Descr\n"
            "Support) and, with --container, the key's Algorithm Group.\n"
            "Examples:\n"
            "  kelm-tool ksp properties --container alice --key exchange\n"
            "JSON: {\"properties\": {\"Impl Type\": 2, ..., \"Algorithm Group\": \"RSA\"}}\n",
    .shared = kCardChoice | kJsonOutput,
    .setup = SetupProperties,
}};

const Registrar kAlgorithms{{
    .name = "ksp algorithms",
    .group = kGroupKeyStorage,
    .summary = "the key storage provider's algorithms",
    .help = "Lists the algorithms the key storage provider offers: name, interface class and\n"
            "operations.\n"
            "Examples:\n"
            "  kelm-tool ksp algorithms --json\n"
            "JSON: {\"algorithms\": [{\"name\": \"RSA\", \"class\": 3, \"operations\": 20}]}\n",
    .shared = kCardChoice | kJsonOutput,
    .setup = SetupAlgorithms,
}};

}  // namespace
}  // namespace kelm::tool
