// kelm-tool containers, create-container, delete-container: the card's key containers through
// the provider's entry points, as an application sees them.
#include <cstdio>
#include <string>
#include <vector>

#include "commands.h"
#include "provider_card.h"
#include "kelm/csp.h"
#include "kelm/winapi.h"
#include "pin_answer.h"

namespace kelm::tool {
namespace {

int Failed(const std::string& command, const std::string& what) {
    PrintError(command + ": " + what + ": " + ProviderErrorText(GetLastError()));
    return kExitFailure;
}

int RunContainers(const Options& global, const std::vector<std::string>& args) {
    ProviderOptions options;
    if (!ParseProviderOptions("containers", args, &options)) return kExitUsage;
    if (!options.positional.empty()) {
        PrintError("containers: unexpected argument '" + options.positional[0] + "'");
        return kExitUsage;
    }
    ProviderCard card;
    if (const int status = PrepareProviderCard("containers", global, &card); status != kExitOk) return status;
    PinAnswer answer(options);

    HCRYPTPROV prov = 0;
    if (!CPAcquireContext(&prov, nullptr, CRYPT_VERIFYCONTEXT | KeysetFlags(options), nullptr)) {
        return Failed("containers", "cannot open the provider");
    }
    int status = kExitOk;
    for (DWORD flags = CRYPT_FIRST;; flags = 0) {
        char name[64] = {};
        DWORD size = sizeof name;
        if (!CPGetProvParam(prov, PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(name), &size, flags)) {
            if (GetLastError() != ERROR_NO_MORE_ITEMS) status = Failed("containers", "listing failed");
            break;
        }
        name[sizeof name - 1] = '\0';
        std::printf("%s\n", name);
    }
    CPReleaseContext(prov, 0);
    return status;
}

// Opens NAME with `flags` and releases the context again; the container change is the point.
int RunContainerChange(const char* command, DWORD flags, const char* done, const Options& global,
                       const std::vector<std::string>& args) {
    ProviderOptions options;
    if (!ParseProviderOptions(command, args, &options)) return kExitUsage;
    if (options.positional.size() != 1 || options.positional[0].empty()) {
        PrintError(std::string(command) + ": expects one container NAME");
        return kExitUsage;
    }
    const std::string& name = options.positional[0];
    if (name.size() > 36) {
        std::fprintf(stderr, "kelm-tool: %s: note: the card keeps only the first 36 characters of the name\n", command);
    }
    ProviderCard card;
    if (const int status = PrepareProviderCard(command, global, &card); status != kExitOk) return status;
    PinAnswer answer(options);

    HCRYPTPROV prov = 0;
    if (!CPAcquireContext(&prov, name.c_str(), flags | KeysetFlags(options), nullptr)) {
        return Failed(command, "container '" + name + "'");
    }
    if (prov != 0) CPReleaseContext(prov, 0);
    std::printf("%s: %s\n", done, name.substr(0, 36).c_str());
    return kExitOk;
}

int RunCreate(const Options& global, const std::vector<std::string>& args) {
    return RunContainerChange("create-container", CRYPT_NEWKEYSET, "created", global, args);
}

int RunDelete(const Options& global, const std::vector<std::string>& args) {
    return RunContainerChange("delete-container", CRYPT_DELETEKEYSET, "deleted", global, args);
}

}  // namespace

KELM_TOOL_COMMAND("containers", "list the key containers on the card",
                  "Usage: kelm-tool [--card sim:IMAGE | --reader NAME] containers [--machine]\n"
                  "Lists the card's key containers, one name a line.\n",
                  RunContainers);

KELM_TOOL_COMMAND("create-container", "create an empty key container on the card",
                  "Usage: kelm-tool [--card sim:IMAGE | --reader NAME] create-container NAME [--pin PIN] [--machine]\n"
                  "Creates the container NAME (at most 36 characters are kept) and records it in the\n"
                  "registry. The PIN is asked in the PIN dialog unless --pin gives it.\n",
                  RunCreate);

KELM_TOOL_COMMAND("delete-container", "delete a key container and its keys from the card",
                  "Usage: kelm-tool [--card sim:IMAGE | --reader NAME] delete-container NAME [--pin PIN] [--machine]\n"
                  "Deletes the container NAME, its keys and its registry record. The PIN is asked in\n"
                  "the PIN dialog unless --pin gives it.\n",
                  RunDelete);

}  // namespace kelm::tool
