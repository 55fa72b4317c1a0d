// kelm-tool card new/init/show and --card sim:IMAGE: images made, described, refused, and the
// simulated card answering raw commands through the tool's PC/SC path.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "support/run_command.h"

namespace {

namespace fs = std::filesystem;

using Outcome = kelm::test::CommandRun;  // standard output and standard error together

Outcome RunTool(const std::string& environment, const std::string& arguments) {
    const std::string command = environment + " '" + std::string(KELM_TOOL_PATH) + "' " + arguments + " 2>&1 </dev/null";
    return kelm::test::RunCommand(command);
}

class ToolCardCommands : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("kelm-tool-card-" + std::to_string(getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string Path(const std::string& name) const { return (dir_ / name).string(); }
    fs::path dir_;
};

TEST_F(ToolCardCommands, NewShowAndUseAnImage) {
    const std::string image = Path("card.json");
    Outcome made = RunTool("", "card init --type 7 --protocol T0 --pin 2468 '" + image + "'");
    ASSERT_EQ(made.status, 0) << made.output;
    Outcome again = RunTool("", "card new '" + image + "'");
    EXPECT_EQ(again.status, 1);
    EXPECT_NE(again.output.find("already exists"), std::string::npos) << again.output;

    Outcome shown = RunTool("", "card show '" + image + "'");
    ASSERT_EQ(shown.status, 0) << shown.output;
    EXPECT_NE(shown.output.find("card type 7, T=0"), std::string::npos) << shown.output;
    EXPECT_NE(shown.output.find("PIN tries left: 3"), std::string::npos) << shown.output;
    EXPECT_NE(shown.output.find("containers: 0 of 7"), std::string::npos) << shown.output;

    // Type 7's identifier, a wrong PIN through the simulated reader, then the tries left.
    Outcome apdu = RunTool("", "--card 'sim:" + image + "' apdu 00A4040008F15C3E0027950106 002001281032FFFFFFFFFFFFFFFFFFFFFFFFFFFFFF");
    ASSERT_EQ(apdu.status, 0) << apdu.output;
    EXPECT_EQ(apdu.output, "90 00\n63 C2\n");
    shown = RunTool("", "--card 'sim:" + image + "' card show");
    EXPECT_NE(shown.output.find("PIN tries left: 2"), std::string::npos) << shown.output;
}

TEST_F(ToolCardCommands, ImagesCanHoldContainersWithKeys) {
    const std::string image = Path("filled.json");
    Outcome made = RunTool("", "card new --container alice --container bob '" + image + "'");
    ASSERT_EQ(made.status, 0) << made.output;
    Outcome shown = RunTool("", "card show '" + image + "'");
    EXPECT_NE(shown.output.find("\"alice\"  signature 80 01, exchange 80 02"), std::string::npos) << shown.output;
    EXPECT_NE(shown.output.find("\"bob\"  signature 80 03, exchange 80 04"), std::string::npos) << shown.output;
    EXPECT_NE(shown.output.find("80 04  exchange, 1024-bit key"), std::string::npos) << shown.output;
    // Six key files hold three such containers, not four; nothing is left behind.
    const std::string full = Path("full.json");
    Outcome refused = RunTool("", "card new --container a --container b --container c --container d '" + full + "'");
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.output.find("no free key files"), std::string::npos) << refused.output;
    EXPECT_FALSE(fs::exists(full));
}

TEST_F(ToolCardCommands, DefaultImageFollowsXdgDataHome) {
    Outcome made = RunTool("XDG_DATA_HOME='" + dir_.string() + "'", "card new --type 3");
    ASSERT_EQ(made.status, 0) << made.output;
    EXPECT_TRUE(fs::exists(dir_ / "kelm" / "card.json")) << made.output;
    EXPECT_EQ(RunTool("XDG_DATA_HOME='" + dir_.string() + "'", "card show").status, 0);
}

TEST_F(ToolCardCommands, BadChoicesAreRefusedClearly) {
    const std::string image = Path("bad.json");
    std::ofstream(image) << "{\"format\": \"kelm-sim-card\", \"version\": 1";
    Outcome corrupt = RunTool("", "--card 'sim:" + image + "' apdu 00860000");
    EXPECT_EQ(corrupt.status, 1);
    EXPECT_NE(corrupt.output.find("refused"), std::string::npos) << corrupt.output;
    Outcome shown = RunTool("", "card show '" + image + "'");
    EXPECT_EQ(shown.status, 1);
    for (const char* arguments : {"--card other:x apdu 00860000", "--card sim:x --reader R apdu 00860000", "card new --type 2 x",
                                  "card new --protocol T2 x", "card new --pin 12345678901234567 x", "card show a b"}) {
        SCOPED_TRACE(arguments);
        EXPECT_EQ(RunTool("", arguments).status, 2);
    }
    EXPECT_FALSE(fs::exists("x"));
}

}  // namespace
