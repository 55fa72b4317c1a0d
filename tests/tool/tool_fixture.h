// Runs kelm-tool as a user would, in a session of its own (so no terminal can be asked for a
// PIN), with a temporary directory for its card images (the default one included) and registry
// files, and no PC/SC service to find a card in.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/run_command.h"

namespace kelm::test {

struct ToolRun {
    int status = -1;
    std::string out;  // standard output
    std::string err;  // standard error
};

// A command that must fail: its arguments, its exit status and a piece of what it says on stderr.
struct Refusal {
    std::string arguments;
    int status;
    std::string reason;
};

class ToolTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // `arguments` are shell words; `environment` is put before them as env(1) options
    // ("-u HOME", "KELM_PINENTRY=..."); `input` is standard input's file.
    ToolRun Tool(const std::string& arguments, const std::string& environment = "",
                 const std::string& input = "/dev/null") const;
    // Runs each command in turn and checks its exit status and message.
    void ExpectRefused(const std::vector<Refusal>& refusals) const;
    // A shell command (openssl, mostly) run in the test's directory.
    CommandRun Shell(const std::string& command) const { return RunCommand("cd '" + dir_.string() + "' && " + command); }
    std::string Path(const std::string& name) const { return (dir_ / name).string(); }
    // The bytes of the file `name` in the test's directory ("" when there is none).
    std::string Contents(const std::string& name) const;
    // "--card 'sim:DIR/card.json'", the card SetUp made (type 7, T=0, PIN 12345678, container alice).
    std::string Card() const { return "--card 'sim:" + Path("card.json") + "'"; }

    std::filesystem::path dir_;
};

}  // namespace kelm::test
