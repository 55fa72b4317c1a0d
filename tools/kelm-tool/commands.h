// kelm-tool's subcommands. Each lives in a file of its own and registers itself with
// KELM_TOOL_COMMAND; main.cpp dispatches by name.
#pragma once

#include <string>
#include <vector>

#include "kelm/windows_types.h"

namespace kelm::tool {

// Exit statuses: 0 success, 1 the operation failed, 2 the command line was wrong.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

struct Options {
    bool verbose = false;        // --verbose: show the APDUs exchanged
    std::string card;            // --card sim:IMAGE
    std::string reader;          // --reader NAME
};

struct Command {
    const char* name;     // "strings", "card init", ...
    const char* summary;  // one line for --help
    const char* usage;    // the full help text of the subcommand
    int (*run)(const Options& options, const std::vector<std::string>& args);
};

void RegisterCommand(const Command& command);
const std::vector<Command>& Commands();

// "NTE_BAD_KEYSET (0x80090016)", or just the hexadecimal code when it has no known name.
std::string ErrorText(DWORD code);
// Prints "kelm-tool: <message>" to stderr.
void PrintError(const std::string& message);

struct Registrar {
    explicit Registrar(const Command& command) { RegisterCommand(command); }
};

}  // namespace kelm::tool

#define KELM_TOOL_CONCAT_INNER(a, b) a##b
#define KELM_TOOL_CONCAT(a, b) KELM_TOOL_CONCAT_INNER(a, b)
#define KELM_TOOL_COMMAND(...) \
    static const ::kelm::tool::Registrar KELM_TOOL_CONCAT(kelm_tool_registrar_, __LINE__)(::kelm::tool::Command{__VA_ARGS__})
