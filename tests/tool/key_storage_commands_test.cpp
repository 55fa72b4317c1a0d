// kelm-tool's key storage and "My" store commands in the order a user runs them: certificates
// issued by OpenSSL for two card keys go into the store, the card signs and decrypts through the
// provider's function table, and OpenSSL checks and feeds what the provider hands out.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <tuple>

#include "support/run_command.h"
#include "tool_fixture.h"

namespace kelm::test {
namespace {

using nlohmann::json;
using KeyStorageCommands = ToolTest;

std::string Contents(const std::string& path) {
    std::stringstream bytes;
    bytes << std::ifstream(path, std::ios::binary).rdbuf();
    return bytes.str();
}

TEST_F(KeyStorageCommands, CertifiedCardKeysSignAndDecryptOnEveryKeyLength) {
    std::ofstream(Path("doc.txt")) << "hello\n";
    ASSERT_EQ(RunCommand("cd '" + dir_.string() + "' && openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key"
                         " -subj /CN=CA -out ca.pem 2>/dev/null").status, 0);
    // {card type and protocol, key length in bytes}: 2048-bit keys need T=1.
    const std::tuple<const char*, const char*, size_t> kCards[] = {{"--type 7 --protocol T0", "c7.json", 128},
                                                                   {"--type 6 --protocol T1", "c6.json", 256}};
    for (const auto& [type, image, length] : kCards) {
        SCOPED_TRACE(type);
        ASSERT_EQ(Tool(std::string("card new ") + type + " --container alice --container bob " + image).status, 0);
        const std::string card = std::string("--card sim:") + image + " ", pin = "--pin 12345678 ";
        // alice's signature key and bob's exchange key, each with a certificate naming it.
        std::string thumbprints[2];
        for (int i = 0; i < 2; ++i) {
            const std::string name = i == 0 ? "alice" : "bob", kind = i == 0 ? "signature" : "exchange";
            ASSERT_EQ(Tool(card + pin + "pubkey --container " + name + " --key " + kind + " --out " + name + ".pem").status, 0);
            ASSERT_EQ(RunCommand("cd '" + dir_.string() + "' && openssl x509 -new -subj /CN=" + name + " -force_pubkey " +
                                 name + ".pem -CA ca.pem -CAkey ca.key -out " + name + ".crt").status, 0);
            const ToolRun added = Tool(card + "store add " + name + ".crt --container " + name + " --key " + kind + " --json");
            ASSERT_EQ(added.status, 0) << added.err;
            thumbprints[i] = json::parse(added.out).value("thumbprint", "");
        }
        // Listed in thumbprint order, each with the key it names.
        const json listed = json::parse(Tool("store list --json").out);
        const int bob = thumbprints[1] < thumbprints[0] ? 0 : 1;
        EXPECT_EQ(listed.value(json::json_pointer("/certificates/" + std::to_string(bob) + "/key"), ""), "exchange")
            << listed;

        // Signed on the card; OpenSSL and the provider (with the certificate's key) agree.
        ASSERT_EQ(Tool(card + pin + "ksp sign --container alice --hash sha256 -o doc.sig doc.txt").status, 0);
        EXPECT_EQ(Contents(Path("doc.sig")).size(), length);
        EXPECT_EQ(RunCommand("cd '" + dir_.string() + "' && openssl dgst -sha256 -verify alice.pem -signature doc.sig"
                             " doc.txt 2>&1").output, "Verified OK\n");
        // The earlier spelling (--key NAME, FILE SIGNATURE) still works.
        EXPECT_EQ(Tool(card + "ksp verify --key alice doc.txt doc.sig").out,
                  "signature good (checked by the certificate's public key)\n");
        const ToolRun forged = Tool(card + "ksp verify --container bob --key exchange --signature doc.sig doc.txt --json");
        EXPECT_EQ(forged.status, 1);
        EXPECT_EQ(json::parse(forged.out).value("verified", true), false);

        // {how the ciphertext is made, what ksp decrypt then prints}: the card removes PKCS #1
        // v1.5 padding only, so an OAEP ciphertext is refused, not mistaken for a message.
        const std::pair<std::string, std::string> kCiphertexts[] = {
            {"ksp encrypt --container bob --key exchange --padding pkcs1 -o c.bin doc.txt", "68656c6c6f0a\n"},
            {"openssl:pkeyutl -encrypt -pubin -inkey bob.pem -in doc.txt -out c.bin", "68656c6c6f0a\n"},
            {"ksp encrypt --container bob --key exchange --padding oaep -o c.bin doc.txt", ""},
        };
        for (const auto& [make, plaintext] : kCiphertexts) {
            SCOPED_TRACE(make);
            if (make.rfind("openssl:", 0) == 0) {
                ASSERT_EQ(RunCommand("cd '" + dir_.string() + "' && openssl " + make.substr(8)).status, 0);
            } else {
                ASSERT_EQ(Tool(card + make).status, 0);
            }
            EXPECT_EQ(Contents(Path("c.bin")).size(), length);
            const ToolRun decrypted = Tool(card + pin + "ksp decrypt --container bob --key exchange --format hex c.bin");
            EXPECT_EQ(decrypted.out, plaintext);
            EXPECT_EQ(decrypted.status, plaintext.empty() ? 1 : 0) << decrypted.err;
        }

        // Without its certificate a key has no public half: said, with the store named.
        for (const std::string& thumbprint : thumbprints) {
            EXPECT_EQ(Tool("store remove " + thumbprint).out, "removed " + thumbprint + "\n");
        }
        EXPECT_EQ(Tool("store list").out, "");
        const ToolRun orphan = Tool(card + "ksp verify --container alice --signature doc.sig doc.txt");
        EXPECT_EQ(orphan.status, 1);
        EXPECT_NE(orphan.err.find("no certificate in the \"My\" store names container 'alice'"), std::string::npos)
            << orphan.err;
        EXPECT_EQ(Tool("store remove " + thumbprints[0]).status, 1);
    }
}

}  // namespace
}  // namespace kelm::test
