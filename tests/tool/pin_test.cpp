// The PIN for kelm-tool: every source gives it, the card's refusals count down to a locked
// card with exit statuses of their own, and a PIN nobody can give is said plainly.
#include <sys/stat.h>

#include <fstream>
#include <string>

#include "tool_fixture.h"

namespace kelm::test {
namespace {

using ToolPin = ToolTest;

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

TEST_F(ToolPin, WrongPinsCountDownToALockedCard) {
    const struct {
        const char* pin;
        int status;
        const char* message;
    } kSteps[] = {
        {"87654321", 3, "verify-pin: wrong PIN: 2 tries left\n"},
        {"87654321", 3, "verify-pin: wrong PIN: 1 try left\n"},
        {"87654321", 4, "verify-pin: wrong PIN, and that was the last try: the card's PIN is now locked\n"},
        {"12345678", 4, "verify-pin: the card's PIN is locked (card status 6620 (PIN locked))\n"},
    };
    for (const auto& step : kSteps) {
        const ToolRun run = Tool(Card() + " verify-pin --pin " + step.pin);
        EXPECT_EQ(run.status, step.status);
        EXPECT_EQ(run.err, std::string("kelm-tool: ") + step.message);
    }
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
