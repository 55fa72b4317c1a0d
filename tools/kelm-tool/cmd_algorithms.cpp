// kelm-tool algorithms: the provider's algorithm table as PP_ENUMALGS_EX reports it.
#include <cstdio>
#include <string>
#include <vector>

#include "commands.h"
#include "provider_card.h"
#include "kelm/csp.h"
#include "kelm/winapi.h"

namespace kelm::tool {
namespace {

int RunAlgorithms(const Options& global, const std::vector<std::string>& args) {
    if (!args.empty()) {
        PrintError("algorithms: unexpected argument '" + args[0] + "'");
        return kExitUsage;
    }
    ProviderCard card;
    if (const int status = PrepareProviderCard("algorithms", global, &card); status != kExitOk) return status;
    HCRYPTPROV prov = 0;
    if (!CPAcquireContext(&prov, nullptr, CRYPT_VERIFYCONTEXT, nullptr)) {
        PrintError("algorithms: cannot open the provider: " + ProviderErrorText(GetLastError()));
        return kExitFailure;
    }
    std::printf("%-6s  %5s  %-9s  %-13s %s\n", "ALG_ID", "bits", "protocols", "name", "long name");
    int status = kExitOk;
    for (DWORD flags = CRYPT_FIRST;; flags = 0) {
        PROV_ENUMALGS_EX row{};
        DWORD size = sizeof row;
        if (!CPGetProvParam(prov, PP_ENUMALGS_EX, reinterpret_cast<BYTE*>(&row), &size, flags)) {
            if (GetLastError() != ERROR_NO_MORE_ITEMS) {
                PrintError("algorithms: " + ProviderErrorText(GetLastError()));
                status = kExitFailure;
            }
            break;
        }
        row.szName[sizeof row.szName - 1] = '\0';
        row.szLongName[sizeof row.szLongName - 1] = '\0';
        std::printf("0x%04X  %5u  0x%02X       %-13s %s\n", row.aiAlgid, row.dwDefaultLen, row.dwProtocols, row.szName,
                    row.szLongName);
    }
    CPReleaseContext(prov, 0);
    return status;
}

}  // namespace

KELM_TOOL_COMMAND("algorithms", "list the provider's algorithms",
                  "Usage: kelm-tool [--card sim:IMAGE | --reader NAME] algorithms\n"
                  "Prints the algorithm table (PP_ENUMALGS_EX): identifier, key or hash length in\n"
                  "bits, protocol flags, name and long name.\n",
                  RunAlgorithms);

}  // namespace kelm::tool
