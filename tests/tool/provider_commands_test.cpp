// kelm-tool's provider commands on an embedded simulated card: the algorithm table, a
// container's life from the command line, the registry file it leaves, the PIN given or
// refused, and command-line errors.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "support/run_command.h"

namespace {

namespace fs = std::filesystem;

using Outcome = kelm::test::CommandRun;  // standard output and standard error together

class ToolProviderCommands : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("kelm-tool-provider-" + std::to_string(getpid()));
        fs::remove_all(dir_);
        ASSERT_EQ(Run("card new --type 5 '" + (dir_ / "card.json").string() + "'").status, 0);
    }
    void TearDown() override { fs::remove_all(dir_); }

    // Runs the tool on the test's card and registry, in a session of its own so that no
    // terminal can be asked for a PIN.
    Outcome Run(const std::string& arguments) {
        const std::string command = "KELM_REGISTRY_DIR='" + (dir_ / "registry").string() + "' KELM_PINENTRY= setsid -w '" +
                                    KELM_TOOL_PATH + "' " + arguments + " 2>&1 </dev/null";
        return kelm::test::RunCommand(command);
    }
    Outcome OnCard(const std::string& arguments) {
        return Run("--card 'sim:" + (dir_ / "card.json").string() + "' " + arguments);
    }
    bool Registered(const std::string& name) const {
        std::stringstream text;
        text << std::ifstream(dir_ / "registry" / "HKEY_CURRENT_USER.reg").rdbuf();
        return text.str().find("[HKEY_CURRENT_USER\\Software\\Microsoft\\Cryptography\\UserKeys\\MorvaCSP-" + name +
                               "]") != std::string::npos;
    }

    fs::path dir_;
};

TEST_F(ToolProviderCommands, AlgorithmTableRowByRow) {
    const Outcome algorithms = OnCard("algorithms");
    EXPECT_EQ(algorithms.status, 0);
    EXPECT_EQ(algorithms.output,
              "ALG_ID   bits  protocols  name          long name\n"
              "0x6601     56  0x00       DES           Data Encryption Standard (DES)\n"
              "0x6609    112  0x00       3DES TWO KEY  Two Key Triple DES\n"
              "0x6603    168  0x00       3DES          Three Key Triple DES\n"
              "0x8004    160  0x20       SHA1          Secure Hash Algorithm (SHA-1)\n"
              "0x800C    256  0x20       SHA256        Secure Hash Algorithm 256 (SHA-256)\n"
              "0x800D    384  0x20       SHA384        Secure Hash Algorithm 256 (SHA-384)\n"
              "0x800E    512  0x20       SHA512        Secure Hash Algorithm 256 (SHA-512)\n"
              "0x8003    128  0x20       MD5           Message Digest 2 (MD5)\n"
              "0x2400   1024  0x30       RSA_SIGN      RSA Signature\n"
              "0xA400   1024  0x30       RSA_KEYX      RSA Key Exchange\n");
}

TEST_F(ToolProviderCommands, ContainerLifeFromTheCommandLine) {
    EXPECT_EQ(OnCard("containers").output, "");
    ASSERT_EQ(OnCard("create-container first --pin 12345678").status, 0);
    ASSERT_EQ(OnCard("create-container second --pin=12345678").status, 0);
    EXPECT_TRUE(Registered("first"));
    EXPECT_EQ(OnCard("containers").output, "first\nsecond\n");

    ASSERT_EQ(OnCard("delete-container first --pin 12345678").status, 0);
    EXPECT_EQ(OnCard("containers").output, "second\n");
    EXPECT_FALSE(Registered("first"));
    const Outcome missing = OnCard("delete-container first --pin 12345678");
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.output.find("NTE_BAD_KEYSET"), std::string::npos) << missing.output;

    // Without a PIN and with nobody at a terminal the dialog is cancelled: nothing created.
    const Outcome unattended = OnCard("create-container nobody");
    EXPECT_EQ(unattended.status, 1);
    EXPECT_NE(unattended.output.find("SCARD_W_CANCELLED_BY_USER"), std::string::npos) << unattended.output;
    EXPECT_EQ(OnCard("containers").output, "second\n");
}

TEST_F(ToolProviderCommands, PinIsCheckedAndNeverEchoed) {
    const Outcome good = OnCard("verify-pin --pin 12345678");
    EXPECT_EQ(good.status, 0);
    EXPECT_EQ(good.output, "PIN verified\n");
    const Outcome wrong = OnCard("verify-pin --pin 87654321");
    EXPECT_EQ(wrong.status, 1);
    EXPECT_NE(wrong.output.find("Password is incorrect"), std::string::npos) << wrong.output;
    EXPECT_EQ(wrong.output.find("87654321"), std::string::npos) << wrong.output;
}

TEST_F(ToolProviderCommands, CommandLineMistakesExitWithTwo) {
    for (const char* arguments : {"create-container", "create-container a b", "delete-container x --pin",
                                  "containers --bogus", "algorithms extra"}) {
        EXPECT_EQ(OnCard(arguments).status, 2) << arguments;
    }
    EXPECT_EQ(Run("--card sim:/nonexistent/card.json containers").status, 1);
}

}  // namespace
