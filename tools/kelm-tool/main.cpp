// kelm-tool: the provider's command-line tool. The command line is built with CLI11 from the
// commands' registrations: options are accepted before or after the command, every command
// has --help (and `kelm-tool help COMMAND`), and every error is one line on stderr with an
// exit status of its own.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <exception>
#include <iterator>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "commands.h"
#include "output.h"
#include "pin_entry.h"
#include "platform/ui/ui_responders.h"
#include "resources/resources.h"

namespace kelm::tool {
namespace {

constexpr unsigned kEveryCommand = 0;

// One shared option: added to the main command line and to every command that takes it, so
// that it is accepted on either side of the command and each command's help lists it.
struct SharedSpec {
    unsigned bit;             // SharedOption, or kEveryCommand
    const char* names;        // CLI11 names: "-y,--yes"
    const char* value;        // the value's name, nullptr for a flag
    const char* description;
    bool Options::*flag;
    std::string Options::*text;
    std::string (*check)(const std::string& value);
};

std::string CardProblem(const std::string& value) {
    return value.rfind("sim:", 0) == 0 && value.size() > 4 ? "" : "takes sim:IMAGE (the file of a simulated card)";
}

const SharedSpec kShared[] = {
    {kCardChoice, "--card", "sim:IMAGE", "use the embedded simulated card stored in IMAGE", nullptr, &Options::card,
     CardProblem},
    {kCardChoice, "--reader", "NAME", "use the PC/SC reader NAME", nullptr, &Options::reader, nullptr},
    {kPinInput, "--pin", "PIN", "the PIN (other users of this machine can see it: prefer --pin-source)", nullptr,
     &Options::pin, nullptr},
    {kPinInput, "--pin-source", "SOURCE", "read the PIN from pass:TEXT, env:VAR, file:PATH, fd:N or stdin", nullptr,
     &Options::pin_source, PinSourceProblem},
    {kJsonOutput, "--json", nullptr, "print the result as one JSON document (its shape is in the command's help)",
     &Options::json, nullptr, nullptr},
    {kConfirmation, "-y,--yes", nullptr, "do not ask before deleting", &Options::yes, nullptr, nullptr},
    {kMachineKeyset, "--machine", nullptr, "the machine's key containers instead of the user's", &Options::machine,
     nullptr, nullptr},
    {kEveryCommand, "-v,--verbose", nullptr, "show the APDUs exchanged with the card (the PIN's bytes masked)",
     &Options::verbose, nullptr, nullptr},
    {kEveryCommand, "-q,--quiet", nullptr, "no notes on stderr (which card, what was written) and no progress bar",
     &Options::quiet, nullptr, nullptr},
};

constexpr const char* kGroupOrder[] = {kGroupReaders, kGroupProvider, kGroupKeyStorage, kGroupStore, kGroupSimulator,
                                        kGroupOther};

constexpr const char kExitStatuses[] =
    "Exit status: 0 success, 1 the operation failed, 2 the command line (or the PIN it gave) was\n"
    "wrong, 3 the card refused the PIN, 4 the card's PIN is locked, 5 the PIN entry was cancelled\n"
    "or nobody could be asked.\n";

// The name among `names` nearest to `word` (at most two edits away), or "".
std::string Nearest(const std::string& word, const std::vector<std::string>& names) {
    std::string best;
    size_t best_distance = 3;
    for (const std::string& name : names) {
        std::vector<size_t> row(name.size() + 1);
        for (size_t j = 0; j <= name.size(); ++j) row[j] = j;
        for (size_t i = 1; i <= word.size(); ++i) {
            size_t diagonal = row[0];
            row[0] = i;
            for (size_t j = 1; j <= name.size(); ++j) {
                const size_t above = row[j];
                row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (word[i - 1] == name[j - 1] ? 0 : 1)});
                diagonal = above;
            }
        }
        if (row[name.size()] < best_distance) best_distance = row[name.size()], best = name;
    }
    return best;
}

std::vector<std::string> SubcommandNames(const CLI::App& app) {
    std::vector<std::string> names;
    for (const CLI::App* sub : app.get_subcommands({})) names.push_back(sub->get_name());
    return names;
}

std::vector<Command>& Registry() {
    static std::vector<Command> commands;
    return commands;
}

void AddSharedOptions(CLI::App& app, Options& options, unsigned taken) {
    for (const SharedSpec& shared : kShared) {
        if (shared.bit != kEveryCommand && (taken & shared.bit) == 0) continue;
        CLI::Option* option = shared.flag != nullptr ? app.add_flag(shared.names, options.*shared.flag, shared.description)
                                                   : app.add_option(shared.names, options.*shared.text, shared.description);
        if (shared.value != nullptr) option->type_name(shared.value);
        if (shared.check != nullptr) {
            option->check(CLI::Validator([check = shared.check](std::string& value) { return check(value); }, "", ""));
        }
    }
}

// The registered commands (and help) in the order the help lists them: by group.
std::vector<const Command*> SortedCommands() {
    static const Command kHelp{"help [COMMAND]", kGroupOther, "this help, or a command's own", "", 0, nullptr};
    std::vector<const Command*> sorted;
    for (const Command& command : Commands()) sorted.push_back(&command);
    sorted.push_back(&kHelp);
    auto rank = [](const char* group) {
        const auto* found = std::find_if(std::begin(kGroupOrder), std::end(kGroupOrder),
                                         [&](const char* known) { return std::string(known) == group; });
        return found - std::begin(kGroupOrder);
    };
    std::stable_sort(sorted.begin(), sorted.end(), [&](const Command* a, const Command* b) {
        return rank(a->group) != rank(b->group) ? rank(a->group) < rank(b->group) : std::string(a->group) < b->group;
    });
    return sorted;
}

// The command list of the top-level help, by group, with the two-word names written out.
std::string CommandList() {
    const std::vector<const Command*> sorted = SortedCommands();
    std::ostringstream out;
    std::string group;
    char line[256];
    for (const Command* command : sorted) {
        if (command->group != group) {
            group = command->group;
            out << "\n" << group << ":\n";
        }
        std::snprintf(line, sizeof line, "  %-22s %s\n", command->name, command->summary);
        out << line;
    }
    return out.str();
}

std::string TopHelp() {
    std::ostringstream out;
    char line[256];
    out << "Usage: kelm-tool [OPTIONS] COMMAND [ARGS...]\n"
           "The KELM CSP V5 provider's command-line tool: readers, the card, and the provider's\n"
           "entry points on a PC/SC reader or an embedded simulated card.\n"
        << CommandList()
        << "\nOptions (before or after the command; a command's help lists those it takes):\n";
    for (const SharedSpec& shared : kShared) {
        std::string names = shared.names;
        if (const size_t comma = names.find(','); comma != std::string::npos) names.insert(comma + 1, " ");
        if (shared.value != nullptr) names += std::string(" ") + shared.value;
        std::snprintf(line, sizeof line, "  %-22s %s\n", names.c_str(), shared.description);
        out << line;
    }
    out << "  -h, --help             this help\n"
           "  --version              the tool's version\n"
           "Without --pin or --pin-source the PIN is asked through pinentry (KELM_PINENTRY) or on\n"
           "the terminal.\n\n"
        << kExitStatuses;
    return out.str();
}

// The help of one command: usage, what it does, then its arguments and options.
class Formatter : public CLI::Formatter {
public:
    std::string make_help(const CLI::App* app, std::string name, CLI::AppFormatMode mode) const override {
        if (app->get_parent() == nullptr) return TopHelp();
        if (mode == CLI::AppFormatMode::Sub) return make_expanded(app);
        std::ostringstream out;
        std::string summary = app->get_description();
        if (!summary.empty()) summary[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(summary[0])));
        out << make_usage(app, name) << summary << ".\n"
            << app->get_footer() << make_positionals(app) << make_groups(app, mode) << make_subcommands(app, mode);
        return out.str();
    }
};

struct Parsed {
    std::vector<CLI::App*> chain;  // main, then the command (and the family above it)
    std::string path;              // "kelm-tool card new"
};

Parsed ParsedChain(CLI::App& app) {
    Parsed parsed{{&app}, "kelm-tool"};
    for (CLI::App* current = &app; !current->get_subcommands().empty();) {
        current = current->get_subcommands().front();
        parsed.chain.push_back(current);
        parsed.path += " " + current->get_name();
    }
    return parsed;
}

int UsageError(const Parsed& parsed, const std::string& message) {
    // A mistyped command: the one it was probably meant to be.
    const std::string unknown = "unknown command '";
    if (message.rfind(unknown, 0) == 0 && message.find("did you mean") == std::string::npos) {
        const std::string word = message.substr(unknown.size(), message.find('\'', unknown.size()) - unknown.size());
        if (const std::string near = Nearest(word, SubcommandNames(*parsed.chain.back())); !near.empty()) {
            return UsageError(parsed, message + "; did you mean '" + near + "'?");
        }
    }
    const std::string command = parsed.path.size() > 9 ? parsed.path.substr(10) + ": " : "";
    std::fprintf(stderr, "kelm-tool: %s%s (see %s --help)\n", command.c_str(), message.c_str(), parsed.path.c_str());
    return kExitUsage;
}

CLI::App* FindCommand(CLI::App& app, const std::vector<std::string>& words) {
    CLI::App* current = &app;
    for (const std::string& word : words) {
        CLI::App* next = nullptr;
        for (CLI::App* sub : current->get_subcommands({})) {
            if (sub->get_name() == word) next = sub;
        }
        if (next == nullptr) return nullptr;
        current = next;
    }
    return current;
}

// The help of `command`, whose full name is `path` ("kelm-tool card new").
void PrintHelp(const CLI::App* command, const std::string& path) {
    std::printf("%s", command->get_formatter()->make_help(command, path, CLI::AppFormatMode::Normal).c_str());
}

void PrintVersion() {
    const auto& v = resources::Version();
    std::printf("kelm-tool %u.%u.%u.%u (%s, %s)\n", v.file_version[0], v.file_version[1], v.file_version[2],
                v.file_version[3], v.product_name, v.original_filename);
}

// The command line: CLI11's application with every registered command under it.
struct CommandLine {
    CLI::App app{"", "kelm-tool"};
    std::map<const CLI::App*, const Command*> commands;
    std::map<const CLI::App*, Action> actions;
    CLI::App* help = nullptr;
    std::vector<std::string> help_words;
    bool version = false;
    bool help_all = false;    // every command's help, for the manual page
    bool completion = false;  // the bash completion script
};

void Build(CommandLine& line, Options& options) {
    CLI::App& app = line.app;
    app.formatter(std::make_shared<Formatter>());
    app.get_formatter()->label("SUBCOMMAND", "COMMAND");
    app.fallthrough();  // what a command does not know is looked up on the main command line
    app.require_subcommand(0, 1);
    AddSharedOptions(app, options, ~0u);
    app.add_flag("--version", line.version);
    app.add_flag("--help-all", line.help_all)->group("");
    app.add_flag("--bash-completion", line.completion)->group("");
    for (const Command& command : Commands()) {
        std::istringstream words(command.name);
        const std::vector<std::string> path((std::istream_iterator<std::string>(words)), std::istream_iterator<std::string>());
        CLI::App* parent = &app;
        for (size_t i = 0; i + 1 < path.size(); ++i) {
            CLI::App* family = FindCommand(*parent, {path[i]});
            if (family == nullptr) {
                family = parent->add_subcommand(path[i], "the " + path[i] + " commands")->require_subcommand(1);
            }
            parent = family;
        }
        CLI::App* sub = parent->add_subcommand(path.back(), command.summary);
        sub->group(command.group);
        sub->footer(command.help);
        line.actions[sub] = command.setup(*sub);
        AddSharedOptions(*sub, options, command.shared);
        line.commands[sub] = &command;
    }
    line.help = app.add_subcommand("help", "this help, or a command's own");
    line.help->add_option("COMMAND", line.help_words, "the command")->type_name("");
    // Set last, so that the commands refuse what they do not know and it ends up here.
    app.allow_extras();
}

// The top-level help and then every command's, as the manual page shows them.
void PrintAllHelp(CommandLine& line) {
    std::printf("%s\nCommands:\n", TopHelp().c_str());
    for (const Command* command : SortedCommands()) {
        if (command->setup == nullptr) continue;
        std::istringstream words(command->name);
        const std::vector<std::string> path((std::istream_iterator<std::string>(words)), std::istream_iterator<std::string>());
        std::printf("\n");
        PrintHelp(FindCommand(line.app, path), std::string("kelm-tool ") + command->name);
    }
}

// The options a command's help shows (hidden spellings left out), each name on its own.
std::string OptionWords(const CLI::App& app) {
    std::string words;
    for (const CLI::Option* option : app.get_options()) {
        if (option->get_group().empty() || option->get_positional()) continue;
        for (const std::string& name : option->get_snames()) words += " -" + name;
        for (const std::string& name : option->get_lnames()) words += " --" + name;
    }
    if ((words + " ").find(" --help ") == std::string::npos) words += " -h --help";
    return words.empty() ? words : words.substr(1);
}

// A bash completion script made from the command table: the command words, then each command's
// options; file names where nothing else fits.
void PrintBashCompletion(CommandLine& line) {
    std::vector<std::string> known;
    std::string cases;
    std::printf("# bash completion for kelm-tool, generated from its command table by kelm-tool --bash-completion\n"
                "_kelm_tool() {\n"
                "    local cur=\"${COMP_WORDS[COMP_CWORD]}\" command=\"\" word i words\n"
                "    for ((i = 1; i < COMP_CWORD; i++)); do\n"
                "        word=\"${COMP_WORDS[i]}\"\n"
                "        case \"$command|$word\" in\n");
    std::string top = "help";
    for (const CLI::App* sub : line.app.get_subcommands({})) {
        if (sub == line.help) continue;
        known.push_back("\"|" + sub->get_name() + "\"");
        top += " " + sub->get_name();
        const bool family = !sub->get_subcommands({}).empty();
        std::string words = family ? "" : OptionWords(*sub);
        for (const CLI::App* leaf : sub->get_subcommands({})) {
            known.push_back("\"" + sub->get_name() + "|" + leaf->get_name() + "\"");
            words += (words.empty() ? "" : " ") + leaf->get_name();
            cases += "        \"" + sub->get_name() + " " + leaf->get_name() + "\") words=\"" + OptionWords(*leaf) + "\" ;;\n";
        }
        cases += "        \"" + sub->get_name() + "\") words=\"" + words + "\" ;;\n";
    }
    for (const std::string& pattern : known) {
        std::printf("            %s) command=\"${command:+$command }$word\" ;;\n", pattern.c_str());
    }
    std::printf("        esac\n"
                "    done\n"
                "    case \"$command\" in\n"
                "        \"\") words=\"%s %s --version\" ;;\n"
                "%s"
                "    esac\n"
                "    COMPREPLY=($(compgen -W \"$words\" -- \"$cur\"))\n"
                "    [[ ${#COMPREPLY[@]} -eq 0 && $cur != -* ]] && COMPREPLY=($(compgen -f -- \"$cur\"))\n"
                "    return 0\n"
                "}\n"
                "complete -F _kelm_tool kelm-tool\n",
                top.c_str(), OptionWords(line.app).c_str(), cases.c_str());
}

// Parses; the status to exit with when there is nothing to run (help printed, a usage error).
std::optional<int> Parse(CommandLine& line, int argc, char** argv) {
    try {
        line.app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        const Parsed parsed = ParsedChain(line.app);
        PrintHelp(parsed.chain.back(), parsed.path);
        return kExitOk;
    } catch (const CLI::RequiredError& e) {
        const Parsed parsed = ParsedChain(line.app);
        if (!parsed.chain.back()->get_subcommands({}).empty()) {
            const std::vector<std::string> extra = line.app.remaining(true);
            if (!extra.empty() && extra[0][0] != '-') return UsageError(parsed, "unknown command '" + extra[0] + "'");
            return UsageError(parsed, "a command is required");
        }
        return UsageError(parsed, e.what());
    } catch (const CLI::ArgumentMismatch& e) {
        const std::string what = e.what();
        return UsageError(ParsedChain(line.app), what.substr(0, what.find(':')) + " needs a value");
    } catch (const CLI::ParseError& e) {
        return UsageError(ParsedChain(line.app), e.what());
    }
    const Parsed parsed = ParsedChain(line.app);
    if (line.version) {
        PrintVersion();
        return kExitOk;
    }
    if (line.help_all) {
        PrintAllHelp(line);
        return kExitOk;
    }
    if (line.completion) {
        PrintBashCompletion(line);
        return kExitOk;
    }
    if (const std::vector<std::string> extra = line.app.remaining(); !extra.empty()) {
        if (extra[0][0] == '-') return UsageError(parsed, "unknown option '" + extra[0] + "'");
        if (parsed.chain.size() == 1 || !parsed.chain.back()->get_subcommands({}).empty()) {
            return UsageError(parsed, "unknown command '" + extra[0] + "'");
        }
        return UsageError(parsed, "unexpected argument '" + extra[0] + "'");
    }
    if (parsed.chain.back() == line.help) {
        CLI::App* target = FindCommand(line.app, line.help_words);
        if (target == nullptr) return UsageError(parsed, "no command '" + line.help_words.back() + "'");
        std::string path = "kelm-tool";
        for (const std::string& word : line.help_words) path += " " + word;
        PrintHelp(target, path);
        return kExitOk;
    }
    if (parsed.chain.size() == 1) return UsageError(parsed, "a command is required");
    return std::nullopt;
}

// One line on stderr; with --json the same as a JSON document on stdout, for programs that read it.
int Failed(const Options& options, const Command& command, const std::string& message, int status) {
    std::fprintf(stderr, "kelm-tool: %s: %s\n", command.name, message.c_str());
    if (options.json && (command.shared & kJsonOutput) != 0) {
        std::fflush(stdout);
        PrintJson({{"error", message}, {"command", command.name}, {"status", status}});
    }
    return status;
}

int Run(int argc, char** argv, Options& options) {
    CommandLine line;
    Build(line, options);
    if (const std::optional<int> status = Parse(line, argc, argv)) return *status;

    const Parsed parsed = ParsedChain(line.app);
    CLI::App* leaf = parsed.chain.back();
    const Command& command = *line.commands.at(leaf);
    // A shared option given before the command counts only when the command takes it.
    for (const SharedSpec& shared : kShared) {
        const std::string name = std::string(shared.names).substr(std::string(shared.names).rfind(',') + 1);
        if (shared.bit != kEveryCommand && (command.shared & shared.bit) == 0 && line.app.count(name) > 0) {
            return UsageError(parsed, "does not take " + name);
        }
    }
    options.has_pin = line.app.count("--pin") > 0 || ((command.shared & kPinInput) != 0 && leaf->count("--pin") > 0);
    try {
        return line.actions.at(leaf)(options);
    } catch (const ToolError& e) {
        return Failed(options, command, e.what(), e.status);
    } catch (const std::exception& e) {
        return Failed(options, command, e.what(), kExitFailure);
    }
}

}  // namespace

Registrar::Registrar(const Command& command) { Registry().push_back(command); }

void AddOutOption(CLI::App& command, std::string* out, const std::string& description) {
    command.add_option("-o,--out", *out, description)->type_name("FILE");
    AddHiddenAlias(command, "--output", out);
}

CLI::Option* AddHiddenAlias(CLI::App& command, const std::string& name, std::string* value) {
    return command.add_option(name, *value)->group("");
}
const std::vector<Command>& Commands() { return Registry(); }

}  // namespace kelm::tool

int main(int argc, char** argv) {
    kelm::tool::Options options;
    const int status = kelm::tool::Run(argc, argv, options);
    kelm::platform::WipeString(options.pin);
    kelm::platform::WipeString(options.pin_source);
    return status;
}
