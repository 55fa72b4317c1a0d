// kelm-tool ksp keys: the key names the key storage provider enumerates.
#include <cstdio>

#include "card_access.h"
#include "commands.h"
#include "key_storage.h"
#include "output.h"

namespace kelm::tool {
namespace {

const char* SpecName(DWORD key_spec) {
    return key_spec == AT_SIGNATURE ? "signature" : key_spec == AT_KEYEXCHANGE ? "exchange" : "none";
}

int RunKeys(const Options& options) {
    CardAccess access(options, CardUse::Provider);
    KeyStorage storage;
    Json keys = Json::array();
    PVOID state = nullptr;
    NCryptKeyName* name = nullptr;
    SECURITY_STATUS status = 0;
    if (!options.json) std::printf("%-10s %s\n", "first key", "name");
    while ((status = storage.table().EnumKeys(storage.provider(), nullptr, &name, &state, 0)) == 0) {
        const std::string text = Utf8(name->pszName);
        if (options.json) keys.push_back({{"name", text}, {"algorithm", Utf8(name->pszAlgid)}, {"key", SpecName(name->dwLegacyKeySpec)}});
        else std::printf("%-10s %s\n", SpecName(name->dwLegacyKeySpec), Printable(text).c_str());
        storage.table().FreeBuffer(name);
    }
    if (state != nullptr) storage.table().FreeBuffer(state);
    if (status != NTE_NO_MORE_ITEMS) storage.Check(status, "cannot enumerate the keys");
    if (options.json) PrintJson({{"keys", keys}});
    return kExitOk;
}

Action Setup(CLI::App&) { return RunKeys; }

const Registrar kRegistered{{
    .name = "ksp keys",
    .group = kGroupKeyStorage,
    .summary = "list the key names the key storage provider enumerates",
    .help = "Enumerates the keys through the key storage provider: the first four entries of the\n"
            "card's container table, empty names included, each with the key it opens first.\n"
            "Examples:\n"
            "  kelm-tool ksp keys\n"
            "JSON: {\"keys\": [{\"name\": \"NAME\", \"algorithm\": \"RSA\", \"key\": \"signature\"}]}\n",
    .shared = kCardChoice | kJsonOutput,
    .setup = Setup,
}};

}  // namespace
}  // namespace kelm::tool
