// kelm-tool algorithms: the provider's algorithm table as PP_ENUMALGS_EX reports it.
#include <cstdio>

#include "card_access.h"
#include "commands.h"
#include "kelm/csp.h"
#include "kelm/winapi.h"
#include "output.h"
#include "provider_call.h"

namespace kelm::tool {
namespace {

int RunAlgorithms(const Options& options) {
    CardAccess access(options, CardUse::Provider);
    ProviderContext provider(nullptr, CRYPT_VERIFYCONTEXT, "cannot open the provider");
    if (!options.json) std::printf("%-6s  %5s  %-9s  %-13s %s\n", "ALG_ID", "bits", "protocols", "name", "long name");
    Json algorithms = Json::array();
    for (DWORD flags = CRYPT_FIRST;; flags = 0) {
        PROV_ENUMALGS_EX row{};
        DWORD size = sizeof row;
        if (!CPGetProvParam(provider.handle(), PP_ENUMALGS_EX, reinterpret_cast<BYTE*>(&row), &size, flags)) {
            if (GetLastError() != ERROR_NO_MORE_ITEMS) FailCall("listing the algorithms");
            break;
        }
        row.szName[sizeof row.szName - 1] = '\0';
        row.szLongName[sizeof row.szLongName - 1] = '\0';
        if (options.json) {
            algorithms.push_back({{"alg_id", row.aiAlgid},
                                  {"bits", row.dwDefaultLen},
                                  {"min_bits", row.dwMinLen},
                                  {"max_bits", row.dwMaxLen},
                                  {"protocols", row.dwProtocols},
                                  {"name", row.szName},
                                  {"long_name", row.szLongName}});
        } else {
            std::printf("0x%04X  %5u  0x%02X       %-13s %s\n", row.aiAlgid, row.dwDefaultLen, row.dwProtocols,
                        row.szName, row.szLongName);
        }
    }
    if (options.json) PrintJson({{"algorithms", algorithms}});
    return kExitOk;
}

Action Setup(CLI::App&) { return RunAlgorithms; }

const Registrar kRegistered{{
    .name = "algorithms",
    .group = kGroupProvider,
    .summary = "list the provider's algorithms",
    .help = "Prints the algorithm table (PP_ENUMALGS_EX): identifier, key or hash length in bits,\n"
            "protocol flags, name and long name.\n"
            "Examples:\n"
            "  kelm-tool algorithms\n"
            "JSON: {\"algorithms\": [{\"alg_id\": 26113, \"bits\": 56, \"min_bits\": 56, \"max_bits\": 56,\n"
            "       \"protocols\": 0, \"name\": \"DES\", \"long_name\": \"...\"}]}\n",
    .shared = kCardChoice | kJsonOutput,
    .setup = Setup,
}};

}  // namespace
}  // namespace kelm::tool
