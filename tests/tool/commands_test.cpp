// kelm-tool's commands on an embedded simulated card: what each prints, as text and as JSON,
// a container's life, names that would drive a terminal, where images go, and the failures a
// user can act on.
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "tool_fixture.h"

namespace kelm::test {
namespace {

using nlohmann::json;
using ToolCommands = ToolTest;

TEST_F(ToolCommands, EachCommandPrintsTextAndItsJsonShape) {
    const std::string card = Card();
    const struct {
        std::string arguments;
        std::string text;     // a piece of the text output
        std::string pointer;  // a member of the JSON output
        json value;
    } kCases[] = {
        {"strings", "200\tPlease enter your password on the second-generation card reader\n", "/strings/0/id", 200},
        {"strings --lang zh-TW", "\t請正確插入晶片卡\n", "/language", "zh-TW"},
        {card + " readers", "KELM Simulated Reader\tcard present\tATR ", "/readers/0/state", "present"},
        {card + " apdu 00A4040008F15C3E0027950106", "90 00\n", "/exchanges/0/response", "90 00"},
        {card + " card-info", "  \"alice\"\n    signature: key in file 80 01, 1024-bit, no certificate (room for 2048)\n",
         "/containers/0/exchange/key/file", "80 02"},
        {card + " algorithms", "0x6601     56  0x00       DES           Data Encryption Standard (DES)\n",
         "/algorithms/9/alg_id", 0xA400},
        {card + " containers", "alice\n", "/containers/0", "alice"},
        {"card show card.json", "\"alice\"  signature 80 01, exchange 80 02\n", "/key_files/1/key_bits", 1024},
        {card + " verify-pin --pin 12345678", "PIN verified\n", "/verified", true},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.arguments);
        const ToolRun text = Tool(c.arguments);
        EXPECT_EQ(text.status, 0) << text.err;
        EXPECT_NE(text.out.find(c.text), std::string::npos) << text.out;
        const ToolRun structured = Tool(c.arguments + " --json");
        EXPECT_EQ(structured.status, 0) << structured.err;
        const json document = json::parse(structured.out, nullptr, false);
        ASSERT_FALSE(document.is_discarded()) << structured.out;
        EXPECT_EQ(document.value(json::json_pointer(c.pointer), json()), c.value) << structured.out;
    }
}

TEST_F(ToolCommands, ContainerLifeAndTheQuestionBeforeKeysAreDeleted) {
    const std::string card = Card() + " ";
    EXPECT_EQ(Tool(card + "create-container bob --pin 12345678").out, "created: bob\n");
    EXPECT_EQ(Tool(card + "containers").out, "alice\nbob\n");
    std::stringstream registry;
    registry << std::ifstream(Path("registry/HKEY_CURRENT_USER.reg")).rdbuf();
    EXPECT_NE(registry.str().find("UserKeys\\MorvaCSP-bob]"), std::string::npos);

    // alice holds two keys: without a terminal to ask and without --yes nothing goes.
    const ToolRun kept = Tool(card + "delete-container alice --pin 12345678");
    EXPECT_EQ(kept.status, 1);
    EXPECT_NE(kept.err.find("container 'alice' holds 2 keys: not deleted (--yes deletes without asking)"),
              std::string::npos) << kept.err;
    EXPECT_EQ(Tool(card + "delete-container -y alice --pin 12345678").status, 0);
    EXPECT_EQ(Tool(card + "delete-container bob --pin 12345678 --json").out, "{\n  \"deleted\": \"bob\"\n}\n");
    EXPECT_EQ(Tool(card + "containers").out, "");
    const ToolRun missing = Tool(card + "delete-container bob --pin 12345678");
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("NTE_BAD_KEYSET"), std::string::npos) << missing.err;
}

TEST_F(ToolCommands, NamesThatWouldDriveTheTerminalAreShownEscaped) {
    // A name as another program could leave it: an escape sequence that clears the screen.
    std::stringstream image;
    image << std::ifstream(Path("card.json")).rdbuf();
    std::string text = image.str();
    text.replace(text.find("\"alice\""), 7, "\"a\\u001b[2Jb\"");
    std::ofstream(Path("card.json")) << text;
    for (const std::string& arguments : {Card() + " containers", Card() + " card-info", std::string("card show card.json")}) {
        SCOPED_TRACE(arguments);
        const ToolRun run = Tool(arguments);
        EXPECT_NE(run.out.find("a\\x1B[2Jb"), std::string::npos) << run.out;
        EXPECT_EQ(run.out.find('\x1b'), std::string::npos);
    }
}

TEST_F(ToolCommands, OnlyTheDefaultDataDirectoryIsCreated) {
    const ToolRun refused = Tool("card new missing/card.json");
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("the directory missing does not exist"), std::string::npos) << refused.err;
    EXPECT_FALSE(std::filesystem::exists(Path("missing")));

    const ToolRun made = Tool("card new --json", "XDG_DATA_HOME='" + Path("data") + "'");
    EXPECT_EQ(json::parse(made.out).value("image", ""), Path("data/kelm/card.json")) << made.err;
    EXPECT_TRUE(std::filesystem::exists(Path("data/kelm/card.json")));
    // The provider commands make the default card on first use, in the same place.
    EXPECT_EQ(Tool("containers", "XDG_DATA_HOME='" + Path("other") + "'").status, 0);
    EXPECT_TRUE(std::filesystem::exists(Path("other/kelm/card.json")));

    // Without HOME the image is looked for in the home directory the registry uses.
    const passwd* user = getpwuid(getuid());
    ASSERT_NE(user, nullptr);
    const ToolRun homeless = Tool("card show", "-u HOME -u XDG_DATA_HOME");
    EXPECT_NE((homeless.out + homeless.err).find(std::string(user->pw_dir) + "/.local/share/kelm/card.json"),
              std::string::npos) << homeless.err;
}

TEST_F(ToolCommands, FailuresSayWhatToDo) {
    for (const std::string arguments : {"readers", "apdu 00A4040000", "--reader R containers", "card-info --reader R"}) {
        SCOPED_TRACE(arguments);
        const ToolRun run = Tool(arguments, "PCSCLITE_CSOCK_NAME=/nonexistent/pcscd.comm");
        EXPECT_EQ(run.status, 1);
        EXPECT_NE(run.err.find("pcscd is not running (SCARD_E_NO_SERVICE (0x8010001D))"), std::string::npos) << run.err;
    }
    std::filesystem::create_directories(Path("registry"));
    std::ofstream(Path("registry/HKEY_CURRENT_USER.reg"))
        << "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\Software]\n\"x\"=hex:zz\n";
    for (const std::string& arguments : {Card() + " create-container bob --pin 12345678", std::string("store list")}) {
        const ToolRun broken = Tool(arguments);
        EXPECT_EQ(broken.status, 1);
        EXPECT_NE(broken.err.find("(registry: " + Path("registry/HKEY_CURRENT_USER.reg") + ":4: "), std::string::npos)
            << broken.err;
    }
}

TEST_F(ToolCommands, VerboseShowsEveryApduWithThePinMasked) {
    const ToolRun verified = Tool(Card() + " verify-pin -v --pin-source pass:12345678");
    EXPECT_EQ(verified.status, 0);
    EXPECT_NE(verified.err.find("> 00 20 01 28 10 ** ** ** ** ** ** ** ** ** ** ** ** ** ** ** **\n< 90 00\n"),
              std::string::npos) << verified.err;
    EXPECT_EQ(verified.err.find("31 32 33"), std::string::npos) << verified.err;
    const ToolRun listed = Tool("--verbose " + Card() + " containers");
    EXPECT_NE(listed.err.find("> 00 A4 02 00 02 80 10\n< 90 00\n"), std::string::npos) << listed.err;
}

}  // namespace
}  // namespace kelm::test
