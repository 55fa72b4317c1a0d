// kelm-tool's command line: every command's help (and README listing it), command-line mistakes
// refused with exit 2 and one line on stderr before anything reaches the card, and the PIN: every
// source gives it, the card's refusals count down to a locked card with exit statuses of their
// own whichever path (the card, the CryptoAPI provider, the key storage provider) sent it, and a
// PIN nobody can give is said plainly.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tool_fixture.h"

namespace kelm::test {
namespace {

using ToolCli = ToolTest;
using ToolPin = ToolTest;

// The commands the top-level help lists: "  name  summary" lines under the group headings.
std::vector<std::string> ListedCommands(const std::string& help) {
    std::vector<std::string> commands;
    std::istringstream lines(help.substr(0, help.find("\nOptions")));
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("  ", 0) != 0) continue;
        const std::string command = line.substr(2, line.find("  ", 2) - 2);
        commands.push_back(command.substr(0, command.find(" [")));
    }
    return commands;
}

// The options a command's help lists ("--container", "-o", ...).
std::vector<std::string> HelpOptions(const std::string& help) {
    std::vector<std::string> names;
    std::istringstream lines(help.substr(help.find("\nOptions:")));
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("  -", 0) != 0) continue;
        std::istringstream words(line.substr(2, line.find(' ', 2) - 2));
        for (std::string name; std::getline(words, name, ',');) names.push_back(name);
    }
    return names;
}

TEST_F(ToolCli, EveryCommandHasHelpAndTheReadmeAgrees) {
    const ToolRun top = Tool("--help");
    ASSERT_EQ(top.status, 0);
    EXPECT_EQ(top.err, "");
    EXPECT_EQ(Tool("help").out, top.out);
    const std::vector<std::string> commands = ListedCommands(top.out);
    ASSERT_GE(commands.size(), 12u);
    const std::string readme = Contents(std::string(KELM_SOURCE_DIR) + "/README.md");
    std::string man = Contents(KELM_TOOL_MAN_PAGE);
    for (size_t at = man.find("\\-"); at != std::string::npos; at = man.find("\\-", at)) man.erase(at, 1);
    const std::string completion = Contents(KELM_TOOL_COMPLETION);
    for (const std::string& command : commands) {
        SCOPED_TRACE(command);
        const ToolRun own = Tool(command + " --help");
        EXPECT_EQ(own.status, 0);
        EXPECT_EQ(own.out.rfind("Usage: kelm-tool " + command, 0), 0u) << own.out;
        EXPECT_EQ(Tool("help " + command).out, own.out);
        if (own.out.find("--json") != std::string::npos) {
            EXPECT_NE(own.out.find("JSON"), std::string::npos);
        }
        EXPECT_NE(readme.find("    kelm-tool " + command), std::string::npos) << "README does not list it";
        if (command == "help") continue;
        EXPECT_NE(own.out.find("Examples:\n  kelm-tool "), std::string::npos) << own.out;
        EXPECT_NE(man.find("kelm-tool " + command), std::string::npos) << "the manual page does not show it";
        // Its options as the help lists them, no parser internals, no earlier spellings; the
        // completion offers exactly those.
        const size_t space = command.find(' ');
        const std::string pattern = space == std::string::npos ? "\"|" + command + "\")"
                                                                : "\"" + command.substr(0, space) + "|" + command.substr(space + 1) + "\")";
        EXPECT_NE(completion.find(pattern), std::string::npos) << pattern;
        const std::string line = "        \"" + command + "\") words=\"";
        const size_t offered = completion.find(line);
        ASSERT_NE(offered, std::string::npos) << "no completion for it";
        const size_t from = offered + line.size();
        const std::string words = " " + completion.substr(from, completion.find('"', from) - from) + " ";
        for (const std::string& option : HelpOptions(own.out)) {
            EXPECT_NE(words.find(" " + option + " "), std::string::npos) << option << " not completed";
            EXPECT_NE(man.find(option), std::string::npos) << option << " not in the manual page";
        }
        const std::string options = own.out.substr(own.out.find("\nOptions:"));
        EXPECT_EQ(options.find(":{"), std::string::npos) << options;
        for (const char* hidden : {" --kind", " --output", " --help-all"}) {
            EXPECT_EQ(options.find(hidden), std::string::npos) << hidden;
            EXPECT_EQ(words.find(hidden), std::string::npos) << hidden;
        }
    }
    // And the other way round: every command the README lists exists.
    std::istringstream lines(readme);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("    kelm-tool ", 0) != 0 || line.size() < 15 || line[14] == '-') continue;
        const std::string rest = line.substr(14);
        bool known = false;
        for (const std::string& command : commands) known = known || (rest + " ").rfind(command + " ", 0) == 0;
        EXPECT_TRUE(known) << "README lists an unknown command: " << line;
    }
    // The exit statuses are the same sentence in both.
    std::string statuses = top.out.substr(top.out.find("Exit status:"));
    std::replace(statuses.begin(), statuses.end(), '\n', ' ');
    std::string readme_text = readme;
    std::replace(readme_text.begin(), readme_text.end(), '\n', ' ');
    EXPECT_NE(readme_text.find(statuses.substr(0, statuses.size() - 1)), std::string::npos) << statuses;
}

TEST_F(ToolCli, MistakesAreUsageErrorsAndNothingReachesTheCard) {
    const std::string card = Card();
    const struct {
        std::string arguments;
        std::string message;
    } kCases[] = {
        {"", "a command is required"},
        {"nosuch", "unknown command 'nosuch'"},
        {"sgin", "unknown command 'sgin'; did you mean 'sign'?"},
        {"store lst", "unknown command 'lst'; did you mean 'list'?"},
        {"card new --pin 1234 short.json", "--pin: takes 6 to 16 characters, as the provider does"},
        {"containers --card", "--card needs a value"},
        {"strings --pin 12345678", "strings: does not take --pin"},
        {card + " readers extra", "unexpected argument 'extra'"},
        {card + " containers --bogus", "unknown option '--bogus'"},
        {card + " --reader R containers", "--card and --reader exclude each other"},
        {"--card other:x containers", "--card: takes sim:IMAGE"},
        {card + " create-container --pin 12345678", "NAME is required"},
        {card + " create-container \"$(printf 'a\\nb')\" --pin 12345678", "cannot hold control characters ('a\\x0Ab')"},
        {card + " create-container " + std::string(35, 'x') + "\xC3\xA9 --pin 12345678", "at most 36 bytes"},
        {card + " verify-pin --pin 12345", "the PIN has 6 to 16 characters; it was not sent to the card"},
        {card + " verify-pin --pin-source pass:12345678901234567", "the PIN has 6 to 16 characters"},
        {card + " verify-pin --pin-source env:KELM_TEST_UNSET", "KELM_TEST_UNSET is not set"},
        {card + " verify-pin --pin-source fd:x", "--pin-source: takes pass:TEXT, env:VAR, file:PATH, fd:N or stdin"},
        {card + " --pin 12345678 verify-pin --pin-source pass:12345678", "--pin and --pin-source exclude each other"},
        {"card new --type 2 new.json", "--type: 2 not in"},
        {"card show a b", "unexpected argument 'b'"},
        {card + " apdu 00A40", "'00A40' is not a command APDU"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.arguments);
        const ToolRun run = Tool("--verbose " + c.arguments);
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err.rfind("kelm-tool: ", 0), 0u) << run.err;
        EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << "one line, and no APDU traced: " << run.err;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    }
    EXPECT_NE(Tool("card show --json card.json").out.find("\"pin_tries_left\": 3"), std::string::npos);
}

TEST_F(ToolPin, EverySourceGivesThePin) {
    std::ofstream(Path("pin")) << "12345678\n";
    const struct {
        std::string environment;
        std::string arguments;
        std::string input;
    } kCases[] = {
        {"", "--pin 12345678", "/dev/null"},
        {"", "--pin-source pass:12345678", "/dev/null"},
        {"KELM_TEST_PIN=12345678", "--pin-source env:KELM_TEST_PIN", "/dev/null"},
        {"", "--pin-source file:pin", "/dev/null"},
        {"", "--pin-source fd:3 3<pin", "/dev/null"},
        {"", "--pin-source stdin", Path("pin")},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.arguments);
        const ToolRun run = Tool(Card() + " verify-pin " + c.arguments, c.environment, c.input);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.out, "PIN verified\n");
    }
}

TEST_F(ToolPin, WrongPinsCountDownToALockedCardAlikeOnEveryPath) {
    std::ofstream(Path("doc.txt")) << "a document\n";
    const std::string sign = " --container alice -o x.sig doc.txt --pin ";
    const std::string card = Card() + " ";
    ExpectRefused({
        {card + "verify-pin --pin 87654321", 3, "kelm-tool: verify-pin: wrong PIN: 2 tries left\n"},
        {card + "sign" + sign + "87654321", 3, "kelm-tool: sign: wrong PIN: 1 try left\n"},
        {card + "ksp sign" + sign + "87654321", 4,
         "kelm-tool: ksp sign: wrong PIN, and that was the last try: the card's PIN is now locked\n"},
        {card + "ksp sign" + sign + "12345678", 4, "kelm-tool: ksp sign: the card's PIN is locked"},
        {card + "sign" + sign + "12345678", 4, "kelm-tool: sign: the card's PIN is locked"},
        {card + "verify-pin --pin 12345678", 4, "kelm-tool: verify-pin: the card's PIN is locked (card status 6620 (PIN locked))\n"},
    });
}

TEST_F(ToolPin, APinNobodyGivesIsSaidPlainly) {
    const ToolRun unattended = Tool(Card() + " create-container bob");
    EXPECT_EQ(unattended.status, 5);
    EXPECT_EQ(unattended.err, "kelm-tool: create-container: no terminal and no pinentry: give the PIN with --pin-source\n");

    const ToolRun missing = Tool(Card() + " verify-pin", "KELM_PINENTRY=no-such-pinentry");
    EXPECT_EQ(missing.status, 5);
    EXPECT_NE(missing.err.find("pinentry program 'no-such-pinentry' not found"), std::string::npos) << missing.err;

    // A pinentry asks the person instead: one that answers, one that is cancelled, one whose
    // PIN is too short to be sent.
    const struct {
        const char* answer;
        int status;
    } kAnswers[] = {{"echo 'D 12345678'; echo OK", 0},
                    {"echo 'ERR 83886179 Operation cancelled'", 5},
                    {"echo 'D 12345'; echo OK", 5}};  // too short every time: never sent, so no try spent
    for (const auto& c : kAnswers) {
        SCOPED_TRACE(c.answer);
        std::ofstream(Path("pinentry")) << "#!/bin/sh\necho OK\nwhile read -r line; do case \"$line\" in\n"
                                        << "GETPIN) " << c.answer << " ;;\nBYE) exit 0 ;;\n*) echo OK ;;\nesac; done\n";
        chmod(Path("pinentry").c_str(), 0700);
        const ToolRun run = Tool(Card() + " verify-pin", "KELM_PINENTRY='" + Path("pinentry") + "'");
        EXPECT_EQ(run.status, c.status) << run.err;
    }
}

}  // namespace
}  // namespace kelm::test
