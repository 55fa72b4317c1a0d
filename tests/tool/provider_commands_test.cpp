// kelm-tool's provider commands on an embedded simulated card: a container's life from the
// command line, the registry file it leaves, the PIN given or refused, and command-line errors.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;

struct Outcome {
    int status = -1;
    std::string output;  // standard output and standard error together
};

class ToolProviderCommands : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("kelm-tool-provider-" + std::to_string(getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        image_ = (dir_ / "card.json").string();
        ASSERT_EQ(Run("card new --type 5 '" + image_ + "'").status, 0);
    }
    void TearDown() override { fs::remove_all(dir_); }

    // Runs the tool on the test's card, registry and data directory, never the user's, and in a
    // session of its own, so that no terminal can be asked for a PIN.
    Outcome Run(const std::string& arguments, bool on_card = false) {
        const std::string environment = "KELM_REGISTRY_DIR='" + (dir_ / "registry").string() + "' XDG_DATA_HOME='" +
                                        (dir_ / "data").string() + "' KELM_PINENTRY= ";
        const std::string card = on_card ? "--card 'sim:" + image_ + "' " : "";
        const std::string command =
            environment + "setsid -w '" + std::string(KELM_TOOL_PATH) + "' " + card + arguments + " 2>&1 </dev/null";
        Outcome outcome;
        FILE* pipe = popen(command.c_str(), "r");
        if (pipe == nullptr) return outcome;
        char buffer[512];
        while (size_t n = fread(buffer, 1, sizeof buffer, pipe)) outcome.output.append(buffer, n);
        const int status = pclose(pipe);
        outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return outcome;
    }
    Outcome OnCard(const std::string& arguments) { return Run(arguments, true); }

    std::string UserRegistry() const {
        std::ifstream in(dir_ / "registry" / "HKEY_CURRENT_USER.reg");
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    fs::path dir_;
    std::string image_;
};

TEST_F(ToolProviderCommands, ContainerLifeFromTheCommandLine) {
    Outcome listed = OnCard("containers");
    ASSERT_EQ(listed.status, 0) << listed.output;
    EXPECT_EQ(listed.output, "");

    Outcome created = OnCard("create-container first --pin 12345678");
    ASSERT_EQ(created.status, 0) << created.output;
    ASSERT_EQ(OnCard("create-container second --pin=12345678").status, 0);
    EXPECT_NE(UserRegistry().find("[HKEY_CURRENT_USER\\Software\\Microsoft\\Cryptography\\UserKeys\\MorvaCSP-first]"),
              std::string::npos)
        << UserRegistry();

    listed = OnCard("containers");
    ASSERT_EQ(listed.status, 0) << listed.output;
    EXPECT_EQ(listed.output, "first\nsecond\n");

    Outcome deleted = OnCard("delete-container first --pin 12345678");
    ASSERT_EQ(deleted.status, 0) << deleted.output;
    EXPECT_EQ(OnCard("containers").output, "second\n");
    EXPECT_EQ(UserRegistry().find("MorvaCSP-first"), std::string::npos);

    Outcome missing = OnCard("delete-container first --pin 12345678");
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.output.find("NTE_BAD_KEYSET"), std::string::npos) << missing.output;
}

TEST_F(ToolProviderCommands, PinIsCheckedAndNeverEchoed) {
    Outcome good = OnCard("verify-pin --pin 12345678");
    EXPECT_EQ(good.status, 0) << good.output;
    EXPECT_EQ(good.output.find("12345678"), std::string::npos);

    Outcome wrong = OnCard("verify-pin --pin 87654321");
    EXPECT_EQ(wrong.status, 1);
    EXPECT_NE(wrong.output.find("Password is incorrect"), std::string::npos) << wrong.output;
    EXPECT_EQ(wrong.output.find("87654321"), std::string::npos) << wrong.output;

    // Without a PIN and without anyone at a terminal the dialog is cancelled: nothing created.
    Outcome unattended = OnCard("create-container nobody");
    EXPECT_EQ(unattended.status, 1);
    EXPECT_NE(unattended.output.find("SCARD_W_CANCELLED_BY_USER"), std::string::npos) << unattended.output;
    EXPECT_EQ(OnCard("containers").output, "");
}

TEST_F(ToolProviderCommands, AlgorithmsAndTheDefaultCard) {
    // No --card: the default image is created in the data directory on first use.
    Outcome algorithms = Run("algorithms");
    ASSERT_EQ(algorithms.status, 0) << algorithms.output;
    EXPECT_NE(algorithms.output.find("0x6601     56  0x00       DES           Data Encryption Standard (DES)"),
              std::string::npos)
        << algorithms.output;
    EXPECT_NE(algorithms.output.find("RSA Key Exchange"), std::string::npos);
    EXPECT_TRUE(fs::exists(dir_ / "data" / "kelm" / "card.json"));
}

TEST_F(ToolProviderCommands, CommandLineMistakesExitWithTwo) {
    EXPECT_EQ(OnCard("create-container").status, 2);
    EXPECT_EQ(OnCard("create-container a b").status, 2);
    EXPECT_EQ(OnCard("delete-container x --pin").status, 2);
    EXPECT_EQ(OnCard("containers --bogus").status, 2);
    EXPECT_EQ(OnCard("algorithms extra").status, 2);
    EXPECT_EQ(Run("--card sim:'" + (dir_ / "none.json").string() + "' containers").status, 1);
    EXPECT_EQ(Run("--card bogus containers").status, 2);
}

}  // namespace
