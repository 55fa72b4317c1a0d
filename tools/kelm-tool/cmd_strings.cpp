// kelm-tool strings: the provider's user-visible texts in one of its three languages.
#include <cstdio>
#include <map>
#include <memory>
#include <string>

#include "commands.h"
#include "kelm/winapi.h"
#include "output.h"
#include "resources/resources.h"

namespace kelm::tool {
namespace {

const std::map<std::string, UINT> kColumns = {{"en", 0}, {"zh-TW", 1}, {"zh-CN", 2}};

int RunStrings(const Options& options, const std::string& language) {
    HMODULE module = resources::ModuleHandle();
    Json strings = Json::array();
    for (UINT id = resources::kFirstString + kColumns.at(language); id <= resources::kLastString; id += 3) {
        char text[260];
        if (LoadStringA(module, id, text, sizeof text) <= 0) Fail("string " + std::to_string(id) + " is missing");
        strings.push_back({{"id", id}, {"text", text}});
        if (!options.json) std::printf("%u\t%s\n", id, text);
    }
    if (options.json) PrintJson({{"language", language}, {"strings", strings}});
    return kExitOk;
}

Action Setup(CLI::App& command) {
    auto language = std::make_shared<std::string>("en");
    command.add_option("--lang", *language, "en (the default), zh-TW or zh-CN")
        ->type_name("LANG")
        ->check(CLI::IsMember({"en", "zh-TW", "zh-CN"}).description(""));
    return [language](const Options& options) { return RunStrings(options, *language); };
}

const Registrar kRegistered{{
    .name = "strings",
    .group = kGroupOther,
    .summary = "print the provider's user-visible texts",
    .help = "Prints the string table in the chosen language, one text a line: its number, a tab, the text.\n"
            "Examples:\n"
            "  kelm-tool strings --lang zh-TW\n"
            "JSON: {\"language\": \"en\", \"strings\": [{\"id\": 200, \"text\": \"...\"}, ...]}\n",
    .shared = kJsonOutput,
    .setup = Setup,
}};

}  // namespace
}  // namespace kelm::tool
