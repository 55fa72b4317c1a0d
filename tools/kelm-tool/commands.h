// kelm-tool's commands and what they share. A command is one file, cmd_<name>.cpp, that ends
// with one registration line:
//
//     const Registrar kRegistered{{.name = "containers", .group = kGroupProvider,
//                                  .summary = "...", .help = "...",
//                                  .shared = kCardChoice | kJsonOutput, .setup = Setup}};
//
// `setup` adds the command's own options and arguments to its CLI11 subcommand and returns
// the function that runs it. main.cpp builds the command line from the registrations, adds
// the shared options each command names, prints the help, and turns a ToolError into one
// line on stderr and its exit status.
#pragma once

#include <CLI/App.hpp>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace kelm::tool {

// Exit statuses (listed in --help and README).
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;        // the operation failed
constexpr int kExitUsage = 2;          // the command line, or the PIN it gave, was wrong
constexpr int kExitWrongPin = 3;       // the card refused the PIN (a try was spent)
constexpr int kExitPinLocked = 4;      // the card's PIN is locked
constexpr int kExitPinCancelled = 5;   // the PIN entry was cancelled, or nobody could be asked

// The shared options a command may take; anything else among them is refused. --verbose and
// --help are taken by every command.
enum SharedOption : unsigned {
    kCardChoice = 1u << 0,     // --card sim:IMAGE, --reader NAME
    kPinInput = 1u << 1,       // --pin PIN, --pin-source SOURCE
    kJsonOutput = 1u << 2,     // --json
    kConfirmation = 1u << 3,   // --yes
    kMachineKeyset = 1u << 4,  // --machine
};

// The values of the shared options, wherever on the command line they were given.
struct Options {
    bool verbose = false;
    bool json = false;
    bool yes = false;
    bool machine = false;
    bool quiet = false;      // no notes, no progress bar
    std::string card;        // "sim:IMAGE"
    std::string reader;
    std::string pin;         // --pin
    std::string pin_source;  // --pin-source
    bool has_pin = false;    // --pin was given (an empty one is refused as too short)
};

// A failure to report: main prints "kelm-tool: COMMAND: message" and exits with `status`.
struct ToolError : std::runtime_error {
    ToolError(int exit_status, const std::string& message) : std::runtime_error(message), status(exit_status) {}
    int status;
};
[[noreturn]] inline void Fail(int status, const std::string& message) { throw ToolError(status, message); }
[[noreturn]] inline void Fail(const std::string& message) { throw ToolError(kExitFailure, message); }

using Action = std::function<int(const Options&)>;

// -o/--out FILE (with the hidden spelling --output of earlier releases).
void AddOutOption(CLI::App& command, std::string* out, const std::string& description);
// An option of an earlier release, kept for one more and left out of the help.
CLI::Option* AddHiddenAlias(CLI::App& command, const std::string& name, std::string* value);

// Headings of the command list, in the order they are listed.
inline constexpr const char* kGroupReaders = "Readers and cards";
inline constexpr const char* kGroupProvider = "Through the provider's entry points";
inline constexpr const char* kGroupKeyStorage = "Through the key storage provider's function table";
inline constexpr const char* kGroupStore = "The current user's certificate store";
inline constexpr const char* kGroupSimulator = "Simulated cards";
inline constexpr const char* kGroupOther = "Other";

struct Command {
    const char* name;     // "containers", or two words for a command of a family: "card new"
    const char* group;    // one of the headings above
    const char* summary;  // one line for the command list
    const char* help;     // what it does, what it prints, and its JSON shape
    unsigned shared;      // SharedOption bits
    Action (*setup)(CLI::App& command);
};

struct Registrar {
    explicit Registrar(const Command& command);
};
const std::vector<Command>& Commands();

}  // namespace kelm::tool
