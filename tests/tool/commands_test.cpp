// kelm-tool's commands on an embedded simulated card: what each prints, as text and as JSON,
// a container's life, names that would drive a terminal, where images go, and the failures a
// user can act on. And a subscriber's real work: nothing lost in encryption, no doubt about which
// card, public-key work without the PIN, checks before anything is written, one vocabulary on
// both paths, and many files in one provider context.
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>

#include "tool_fixture.h"

namespace kelm::test {
namespace {

using nlohmann::json;
using ToolCommands = ToolTest;
using SubscriberWork = ToolTest;

size_t Count(const std::string& text, const std::string& piece) {
    size_t count = 0;
    for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++count;
    return count;
}

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
    EXPECT_NE(Contents("registry/HKEY_CURRENT_USER.reg").find("UserKeys\\MorvaCSP-bob]"), std::string::npos);

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
    std::string text = Contents("card.json");
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
    const std::string no_service = "pcscd is not running (SCARD_E_NO_SERVICE (0x8010001D))";
    ExpectRefused({{"readers", 1, no_service}, {"apdu 00A4040000", 1, no_service}, {"--reader R containers", 1, no_service},
                   {"card-info --reader R", 1, no_service}});
    std::filesystem::create_directories(Path("registry"));
    std::ofstream(Path("registry/HKEY_CURRENT_USER.reg"))
        << "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\Software]\n\"x\"=hex:zz\n";
    const std::string line_4 = "(registry: " + Path("registry/HKEY_CURRENT_USER.reg") + ":4: ";
    ExpectRefused({{Card() + " create-container bob --pin 12345678", 1, line_4}, {"store list", 1, line_4}});
    EXPECT_EQ(Tool(Card() + " containers").out, "alice\n") << "a creation the registry refuses leaves no container";
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

TEST_F(SubscriberWork, EncryptionLosesNothing) {
    const std::string card = Card() + " --container alice --pin 12345678 ";
    std::ofstream(Path("report.txt")) << "the quarterly report\n";
    // To standard output, without an IV given: decrypt needs only the key file.
    const ToolRun encrypted = Tool("encrypt " + card + "--new-key k.key report.txt");
    ASSERT_EQ(encrypted.status, 0) << encrypted.err;
    EXPECT_NE(encrypted.err.find("wrote standard output"), std::string::npos) << encrypted.err;
    std::ofstream(Path("r.enc"), std::ios::binary) << encrypted.out;
    EXPECT_EQ(Tool("decrypt " + card + "--session-key k.key r.enc").out, "the quarterly report\n");
    // A session key reused gets a fresh IV each time, carried in the header.
    const ToolRun again = Tool("encrypt " + card + "--session-key k.key report.txt");
    EXPECT_NE(again.out.substr(16, 8), encrypted.out.substr(16, 8));
    // Nothing is replaced without --force, and nothing of the refused run is left.
    const std::string key = Contents("k.key");
    for (const std::string& arguments : {"encrypt " + card + "--new-key k.key report.txt",
                                         "encrypt " + card + "--new-key k2.key -o report.txt report.txt",
                                         "decrypt " + card + "--session-key k.key -o report.txt r.enc"}) {
        const ToolRun refused = Tool(arguments);
        EXPECT_EQ(refused.status, 2) << arguments;
        EXPECT_NE(refused.err.find("exists already: nothing was done (--force replaces it)"), std::string::npos) << refused.err;
    }
    EXPECT_EQ(Contents("k.key"), key);
    EXPECT_FALSE(std::filesystem::exists(Path("k2.key")));
    // Another key, or damaged data: status 1 and no output file.
    ASSERT_EQ(Tool("encrypt " + card + "--new-key other.key --alg des -o other.enc report.txt").status, 0);
    std::string damaged = encrypted.out;
    damaged.back() ^= 1;
    std::ofstream(Path("damaged.enc"), std::ios::binary) << damaged;
    const std::pair<std::string, std::string> kFailures[] = {
        {"--session-key other.key r.enc", "was encrypted with 3des, the key in other.key is des"},
        {"--session-key k.key damaged.enc", "the padding does not check out"},
        {"--session-key k.key report.txt", "does not start with encrypt's header"},
        {"--session-key k.key --raw --mode ecb report.txt", "ECB needs a multiple of 8 bytes; use cbc"},
    };
    for (const auto& [arguments, reason] : kFailures) {
        const ToolRun failed = Tool("decrypt " + card + "-o plain " + arguments);
        EXPECT_NE(failed.status, 0) << arguments;
        EXPECT_NE(failed.err.find(reason), std::string::npos) << failed.err;
        EXPECT_FALSE(std::filesystem::exists(Path("plain"))) << arguments;
    }
}

TEST_F(SubscriberWork, TheCardInUseIsNeverAGuess) {
    // No card named and none in a reader: the default simulated card, said once on stderr.
    const ToolRun simulated = Tool("containers");
    EXPECT_EQ(simulated.err, "kelm-tool: using the simulated card " + Path("data/kelm/card.json") + "\n"
                             "kelm-tool: containers: no containers on the card\n");
    EXPECT_EQ(Tool("containers --quiet").err, "");
    // A PC/SC service holding one supported card: that card, not the simulated one.
    const ToolRun served = Tool("containers", "KELM_PCSC=sim:card.json");
    EXPECT_EQ(served.out, "alice\n");
    EXPECT_EQ(served.err, "kelm-tool: using the card in 'KELM Simulated Reader'\n");
}

TEST_F(SubscriberWork, PublicKeyWorkAsksNoPinAndWritesCheckTheCardFirst) {
    std::ofstream(Path("doc.txt")) << "a document\n";
    ASSERT_EQ(Tool(Card() + " sign --container alice --pin 12345678 -o doc.sig doc.txt").status, 0);
    // No PIN given and nobody to ask: public-key work still succeeds, and spends no try.
    for (const std::string arguments : {"verify --container alice --signature doc.sig doc.txt",
                                        "pubkey --container alice -o alice.pem", "export-key --container alice -o a.blob",
                                        "cert read --container alice"}) {
        const ToolRun run = Tool(Card() + " " + arguments);
        EXPECT_TRUE(run.status == 0 || run.err.find("has no certificate") != std::string::npos) << arguments << run.err;
    }
    EXPECT_NE(Tool("card show --json card.json").out.find("\"pin_tries_left\": 3"), std::string::npos);
    EXPECT_EQ(Shell("openssl rsa -pubin -inform MSBLOB -in a.blob -outform PEM").output,
              Contents("alice.pem"));

    // A certificate for another key is refused on the card and in the store; so is a container
    // the card does not have.
    ASSERT_EQ(Shell("openssl req -x509 -newkey rsa:1024 -nodes -keyout o.key -subj /CN=Other -out other.crt 2>/dev/null &&"
                    " printf 'keyUsage=digitalSignature\\n' >v3.ext && openssl x509 -new -subj /CN=Alice -force_pubkey"
                    " alice.pem -CA other.crt -CAkey o.key -extfile v3.ext -out alice.crt").status, 0);
    const std::string card = Card() + " ";
    ExpectRefused({
        {card + "cert write --container alice other.crt", 1, "certifies another key than the signature key of 'alice'"},
        {card + "store add other.crt --container alice", 1, "certifies another key than the signature key of 'alice'"},
        {card + "store add alice.crt --container bob", 1, "no container named 'bob' on the card"},
    });
    EXPECT_EQ(Tool("store list --json").out, "{\n  \"certificates\": []\n}\n");
    // Added for the signature key, it is not re-pointed at the exchange key but by force; the key
    // storage provider then cannot tell the signature key's certificate apart, and is not asked.
    ASSERT_EQ(Tool(card + "store add alice.crt --container alice").status, 0);
    EXPECT_EQ(Tool(card + "store add alice.crt --container alice --key exchange").status, 1);
    ASSERT_EQ(Tool(card + "store add alice.crt --container alice --key exchange --force").status, 0);
    ExpectRefused({{card + "ksp encrypt --container alice --key signature doc.txt", 1, "cannot be told apart"}});
}

TEST_F(SubscriberWork, BothPathsSpeakOneVocabulary) {
    std::ofstream(Path("doc.txt")) << "a document\n";
    const std::string card = Card() + " --container alice --pin 12345678 ";
    // The same signature from both paths, in the same forms and JSON; hash names in any case.
    ASSERT_EQ(Tool("sign " + card + "--hash SHA256 --format hex -o csp.hex doc.txt").status, 0);
    ASSERT_EQ(Tool("ksp sign " + card + "--hash Sha256 --format hex -o ksp.hex doc.txt").status, 0);
    EXPECT_EQ(Contents("csp.hex"), Contents("ksp.hex"));
    EXPECT_EQ(Contents("csp.hex").find_first_of("ABCDEF"), std::string::npos);
    const json csp = json::parse(Tool("sign " + card + "--json doc.txt").out);
    const json ksp = json::parse(Tool("ksp sign " + card + "--json doc.txt").out);
    EXPECT_EQ(csp, ksp);
    // The earlier spelling of the key storage commands still names the container.
    EXPECT_EQ(json::parse(Tool("ksp sign --key alice --kind signature --json doc.txt " + Card() + " --pin 12345678").out),
              ksp);
    // Each path offers only the hashes it signs with.
    EXPECT_EQ(Tool("sign " + card + "--hash sha512 doc.txt").status, 2);
    EXPECT_EQ(Tool("ksp sign " + card + "--hash ssl3-shamd5 doc.txt").status, 2);
}

TEST_F(SubscriberWork, ManyFilesAreSignedAndCheckedInOneContext) {
    std::filesystem::create_directories(Path("sigs"));
    std::string files;
    for (int i = 0; i < 5; ++i) {
        std::ofstream(Path("f" + std::to_string(i))) << "file " << i << "\n";
        files += " f" + std::to_string(i);
    }
    for (const std::string command : {"sign", "ksp sign"}) {
        SCOPED_TRACE(command);
        const ToolRun signed_files = Tool("-v " + command + " " + Card() + " --container alice --pin 12345678 --sig-dir sigs" + files);
        ASSERT_EQ(signed_files.status, 0) << signed_files.err;
        EXPECT_EQ(Count(signed_files.err, "> 00 20 01 28 10"), 1u) << "one PIN for all files";
        EXPECT_EQ(Tool("verify " + Card() + " --container alice --sig-dir sigs" + files).status, 0);
    }
    ASSERT_EQ(Tool("sign " + Card() + " --container alice --pin 12345678" + files).status, 0);
    EXPECT_TRUE(std::filesystem::exists(Path("f4.sig")));
    std::ofstream(Path("f2")) << "changed\n";
    const ToolRun checked = Tool("verify " + Card() + " --container alice" + files);
    EXPECT_EQ(checked.status, 1);
    EXPECT_EQ(Count(checked.out, "signature good"), 4u);
    EXPECT_NE(checked.out.find("f2: signature BAD"), std::string::npos) << checked.out;
}

}  // namespace
}  // namespace kelm::test
