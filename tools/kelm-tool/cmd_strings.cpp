// kelm-tool strings: the provider's user-visible texts in one of its three languages.
#include <cstdio>

#include "commands.h"
#include "kelm/winapi.h"
#include "resources/resources.h"

namespace kelm::tool {
namespace {

int RunStrings(const Options&, const std::vector<std::string>& args) {
    UINT column = 0;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string lang;
        if (args[i] == "--lang" && i + 1 < args.size()) {
            lang = args[++i];
        } else if (args[i].rfind("--lang=", 0) == 0) {
            lang = args[i].substr(7);
        } else {
            PrintError("strings: unexpected argument '" + args[i] + "'");
            return kExitUsage;
        }
        if (lang == "en") {
            column = 0;
        } else if (lang == "zh-TW") {
            column = 1;
        } else if (lang == "zh-CN") {
            column = 2;
        } else {
            PrintError("strings: unknown language '" + lang + "' (en, zh-TW or zh-CN)");
            return kExitUsage;
        }
    }
    HMODULE module = resources::ModuleHandle();
    for (UINT id = resources::kFirstString + column; id <= resources::kLastString; id += 3) {
        char text[260];
        if (LoadStringA(module, id, text, sizeof text) <= 0) {
            PrintError("strings: string " + std::to_string(id) + " is missing");
            return kExitFailure;
        }
        std::printf("%u\t%s\n", id, text);
    }
    return kExitOk;
}

}  // namespace

KELM_TOOL_COMMAND("strings", "print the provider's user-visible texts",
                  "Usage: kelm-tool strings [--lang en|zh-TW|zh-CN]\n"
                  "Prints the string table (numbers and texts) in the chosen language (default en).\n",
                  RunStrings);

}  // namespace kelm::tool
