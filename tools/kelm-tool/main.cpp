// kelm-tool: the provider's command-line tool. One verb a subcommand, --help everywhere,
// quiet by default, errors as one line on stderr with the code and its name.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "card_selection.h"
#include "commands.h"
#include "platform/pcsc/pcsc_backend.h"
#include "resources/resources.h"

namespace kelm::tool {
namespace {

std::vector<Command>& Registry() {
    static std::vector<Command> commands;
    return commands;
}

void PrintVersion() {
    const auto& v = resources::Version();
    std::printf("kelm-tool %u.%u.%u.%u (%s, %s)\n", v.file_version[0], v.file_version[1], v.file_version[2],
                v.file_version[3], v.product_name, v.original_filename);
}

void PrintHelp() {
    std::printf(
        "Usage: kelm-tool [--verbose] [--card sim:IMAGE | --reader NAME] COMMAND [ARGS...]\n"
        "\n"
        "Commands:\n");
    for (const Command& command : Commands()) std::printf("  %-22s %s\n", command.name, command.summary);
    std::printf(
        "\n"
        "Global options:\n"
        "  --card sim:IMAGE   use the embedded simulated card stored in IMAGE\n"
        "  --reader NAME      use the PC/SC reader NAME\n"
        "  --verbose          show the commands sent to the card\n"
        "  --help, --version\n"
        "\n"
        "Run 'kelm-tool COMMAND --help' for a command's own help.\n"
        "Exit status: 0 success, 1 the operation failed, 2 the command line was wrong.\n");
}

// How many words of args[from..] name the command (commands may be two words, "card init").
size_t MatchWords(const Command& command, const std::vector<std::string>& args, size_t from) {
    std::string name = command.name;
    size_t words = 0;
    size_t pos = 0;
    while (pos <= name.size()) {
        size_t end = name.find(' ', pos);
        if (end == std::string::npos) end = name.size();
        if (from + words >= args.size() || args[from + words] != name.substr(pos, end - pos)) return 0;
        ++words;
        pos = end + 1;
    }
    return words;
}

}  // namespace

void RegisterCommand(const Command& command) { Registry().push_back(command); }
const std::vector<Command>& Commands() { return Registry(); }

std::string ErrorText(DWORD code) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08X", code);
    const char* name = platform::PcscErrorName(static_cast<LONG>(code));
    if (name == nullptr || *name == '\0') return hex;
    return std::string(name) + " (" + hex + ")";
}

void PrintError(const std::string& message) { std::fprintf(stderr, "kelm-tool: %s\n", message.c_str()); }

}  // namespace kelm::tool

int main(int argc, char** argv) {
    using namespace kelm::tool;
    std::vector<std::string> args(argv + 1, argv + argc);
    Options options;
    size_t i = 0;
    for (; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--verbose" || a == "-v") {
            options.verbose = true;
        } else if (a == "--help" || a == "-h") {
            PrintHelp();
            return kExitOk;
        } else if (a == "--version") {
            PrintVersion();
            return kExitOk;
        } else if ((a == "--card" || a == "--reader") && i + 1 < args.size()) {
            (a == "--card" ? options.card : options.reader) = args[++i];
        } else if (a.rfind("--card=", 0) == 0) {
            options.card = a.substr(7);
        } else if (a.rfind("--reader=", 0) == 0) {
            options.reader = a.substr(9);
        } else if (!a.empty() && a[0] == '-') {
            PrintError("unknown option '" + a + "' (see kelm-tool --help)");
            return kExitUsage;
        } else {
            break;
        }
    }
    if (i >= args.size()) {
        PrintHelp();
        return kExitUsage;
    }
    const Command* best = nullptr;
    size_t best_words = 0;
    for (const Command& command : Commands()) {
        size_t words = MatchWords(command, args, i);
        if (words > best_words) {
            best = &command;
            best_words = words;
        }
    }
    if (best == nullptr) {
        PrintError("unknown command '" + args[i] + "' (see kelm-tool --help)");
        return kExitUsage;
    }
    std::vector<std::string> rest(args.begin() + static_cast<long>(i + best_words), args.end());
    for (const std::string& a : rest) {
        if (a == "--help" || a == "-h") {
            std::printf("%s", best->usage);
            return kExitOk;
        }
    }
    // --card sim:IMAGE puts the simulated card behind the PC/SC functions for the whole command.
    CardSelection selection;
    std::string selection_error;
    if (int status = SelectCard(options, &selection, &selection_error); status != kExitOk) {
        PrintError(selection_error);
        return status;
    }
    return best->run(options, rest);
}
