// kelm-tool at a subscriber's real work: nothing lost in encryption, no doubt about which card,
// public-key work without the PIN, checks before anything is written, one vocabulary and one PIN
// outcome on both paths, and many files in one provider context.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "support/run_command.h"
#include "tool_fixture.h"

namespace kelm::test {
namespace {

using nlohmann::json;
using SubscriberWork = ToolTest;

std::string Contents(const std::string& path) {
    std::stringstream bytes;
    bytes << std::ifstream(path, std::ios::binary).rdbuf();
    return bytes.str();
}

size_t Count(const std::string& text, const std::string& piece) {
    size_t count = 0;
    for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++count;
    return count;
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
    const std::string key = Contents(Path("k.key"));
    for (const std::string& arguments : {"encrypt " + card + "--new-key k.key report.txt",
                                         "encrypt " + card + "--new-key k2.key -o report.txt report.txt",
                                         "decrypt " + card + "--session-key k.key -o report.txt r.enc"}) {
        const ToolRun refused = Tool(arguments);
        EXPECT_EQ(refused.status, 2) << arguments;
        EXPECT_NE(refused.err.find("exists already: nothing was done (--force replaces it)"), std::string::npos) << refused.err;
    }
    EXPECT_EQ(Contents(Path("k.key")), key);
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
    EXPECT_EQ(RunCommand("openssl rsa -pubin -inform MSBLOB -in '" + Path("a.blob") + "' -outform PEM").output,
              Contents(Path("alice.pem")));

    // A certificate for another key is refused on the card and in the store; so is a container
    // the card does not have.
    ASSERT_EQ(RunCommand("cd '" + dir_.string() + "' && openssl req -x509 -newkey rsa:1024 -nodes -keyout o.key"
                         " -subj /CN=Other -out other.crt 2>/dev/null && printf 'keyUsage=digitalSignature\\n' >v3.ext &&"
                         " openssl x509 -new -subj /CN=Alice -force_pubkey alice.pem -CA other.crt -CAkey o.key"
                         " -extfile v3.ext -out alice.crt").status, 0);
    const std::string card = Card() + " ";
    const std::pair<std::string, std::string> kRefused[] = {
        {"cert write --container alice other.crt", "certifies another key than the signature key of 'alice'"},
        {"store add other.crt --container alice", "certifies another key than the signature key of 'alice'"},
        {"store add alice.crt --container bob", "no container named 'bob' on the card"},
    };
    for (const auto& [arguments, reason] : kRefused) {
        const ToolRun refused = Tool(card + arguments);
        EXPECT_EQ(refused.status, 1) << arguments;
        EXPECT_NE(refused.err.find(reason), std::string::npos) << refused.err;
    }
    EXPECT_EQ(Tool("store list --json").out, "{\n  \"certificates\": []\n}\n");
    // Added for the signature key, it is not re-pointed at the exchange key but by force; the key
    // storage provider then cannot tell the signature key's certificate apart, and is not asked.
    ASSERT_EQ(Tool(card + "store add alice.crt --container alice").status, 0);
    EXPECT_EQ(Tool(card + "store add alice.crt --container alice --key exchange").status, 1);
    ASSERT_EQ(Tool(card + "store add alice.crt --container alice --key exchange --force").status, 0);
    const ToolRun wrong_key = Tool(card + "ksp encrypt --container alice --key signature doc.txt");
    EXPECT_EQ(wrong_key.status, 1);
    EXPECT_NE(wrong_key.err.find("cannot be told apart"), std::string::npos) << wrong_key.err;

    // A PIN no command would take makes no card; a creation the registry refuses leaves none.
    EXPECT_EQ(Tool("card new --pin 1234 short.json").status, 2);
    EXPECT_FALSE(std::filesystem::exists(Path("short.json")));
    std::ofstream(Path("registry/HKEY_CURRENT_USER.reg")) << "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\X]\n\"x\"=hex:zz\n";
    EXPECT_EQ(Tool(card + "create-container bob --pin 12345678").status, 1);
    EXPECT_EQ(Tool(card + "containers").out, "alice\n");
}

TEST_F(SubscriberWork, BothPathsSpeakOneVocabularyAndCountPinsAlike) {
    std::ofstream(Path("doc.txt")) << "a document\n";
    const std::string card = Card() + " --container alice --pin 12345678 ";
    // The same signature from both paths, in the same forms and JSON; hash names in any case.
    ASSERT_EQ(Tool("sign " + card + "--hash SHA256 --format hex -o csp.hex doc.txt").status, 0);
    ASSERT_EQ(Tool("ksp sign " + card + "--hash Sha256 --format hex -o ksp.hex doc.txt").status, 0);
    EXPECT_EQ(Contents(Path("csp.hex")), Contents(Path("ksp.hex")));
    EXPECT_EQ(Contents(Path("csp.hex")).find_first_of("ABCDEF"), std::string::npos);
    const json csp = json::parse(Tool("sign " + card + "--json doc.txt").out);
    const json ksp = json::parse(Tool("ksp sign " + card + "--json doc.txt").out);
    EXPECT_EQ(csp, ksp);
    // The earlier spelling of the key storage commands still names the container.
    EXPECT_EQ(json::parse(Tool("ksp sign --key alice --kind signature --json doc.txt " + Card() + " --pin 12345678").out),
              ksp);
    // Each path offers only the hashes it signs with.
    EXPECT_EQ(Tool("sign " + card + "--hash sha512 doc.txt").status, 2);
    EXPECT_EQ(Tool("ksp sign " + card + "--hash ssl3-shamd5 doc.txt").status, 2);

    // A wrong PIN: tries left, then the locked card's status, on both paths alike.
    const std::string wrong = Card() + " --container alice --pin 87654321 -o x.sig doc.txt";
    const std::pair<std::string, int> kSteps[] = {
        {"sign", 3}, {"ksp sign", 3}, {"ksp sign", 4}, {"ksp sign", 4}, {"sign", 4}};
    const char* kSaid[] = {"wrong PIN: 2 tries left", "wrong PIN: 1 try left", "that was the last try",
                           "the card's PIN is locked", "the card's PIN is locked"};
    for (size_t i = 0; i < std::size(kSteps); ++i) {
        const ToolRun run = Tool(kSteps[i].first + " " + wrong);
        EXPECT_EQ(run.status, kSteps[i].second) << kSteps[i].first << " " << i;
        EXPECT_NE(run.err.find(kSaid[i]), std::string::npos) << run.err;
    }
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
