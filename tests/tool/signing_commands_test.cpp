// kelm-tool's key commands checked by OpenSSL's command line: what sign writes verifies with the
// key pubkey writes on every card type, a certificate issued for the card's key comes back byte
// for byte, and the files the card cannot take are refused with a reason.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "support/run_command.h"
#include "tool_fixture.h"

namespace kelm::test {
namespace {

using SigningCommands = ToolTest;

std::string Contents(const std::string& path) {
    std::stringstream bytes;
    bytes << std::ifstream(path, std::ios::binary).rdbuf();
    return bytes.str();
}

TEST_F(SigningCommands, SignaturesVerifyWithOpenSslOnEveryCardType) {
    std::ofstream(Path("doc.txt")) << "a document to sign\n";
    // {card type, hash, openssl's name, what kelm-tool verify says checked it}: the card judges
    // only 128-byte signatures of MD5 and SHA-1 hashes.
    const std::tuple<int, const char*, const char*, const char*> kCases[] = {
        {1, "md5", "-md5", "card"},     {3, "sha256", "-sha256", "public key"}, {5, "sha1", "-sha1", "card"},
        {6, "sha1", "-sha1", "public key"}, {7, "sha256", "-sha256", "public key"},
    };
    for (const auto& [type, hash, digest, checker] : kCases) {
        SCOPED_TRACE("card type " + std::to_string(type));
        const std::string image = "card" + std::to_string(type) + ".json";
        ASSERT_EQ(Tool("card new --type " + std::to_string(type) + " --container bob " + image).status, 0);
        const std::string card = "--card sim:" + image + " --container bob --pin 12345678 ";
        const ToolRun signed_file = Tool("sign " + card + "--hash " + hash + " --out doc.sig doc.txt");
        ASSERT_EQ(signed_file.status, 0) << signed_file.err;
        EXPECT_EQ(Contents(Path("doc.sig")).size(), type == 6 ? 256u : 128u);
        ASSERT_EQ(Tool("pubkey " + card + "--out bob.pem").status, 0);
        const CommandRun openssl = RunCommand("cd '" + dir_.string() + "' && openssl dgst " + digest +
                                              " -verify bob.pem -signature doc.sig doc.txt 2>&1");
        EXPECT_EQ(openssl.output, "Verified OK\n");
        const ToolRun verified = Tool("verify " + card + "--hash " + hash + " --signature doc.sig doc.txt --json");
        EXPECT_EQ(verified.status, 0) << verified.err;
        EXPECT_NE(verified.out.find(std::string("\"checked_by\": \"") + checker), std::string::npos) << verified.out;
        EXPECT_EQ(Tool("verify " + card + "--hash " + hash + " --signature doc.sig bob.pem").status, 1)
            << "another file's signature";
    }
}

TEST_F(SigningCommands, CertificatesComeBackByteForByteAndUnusableOnesAreRefused) {
    ASSERT_EQ(Tool("card new --container alice card1.json").status, 0);
    const std::string card = "--card sim:card1.json ";
    ASSERT_EQ(Tool(card + "pubkey --container alice --pin 12345678 --out alice.pem").status, 0);
    const std::string issue = "cd '" + dir_.string() +
                              "' && openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -subj /CN=CA -out ca.pem"
                              " 2>/dev/null && printf 'keyUsage=digitalSignature\\n' >v3.ext && openssl x509 -new"
                              " -subj /CN=Alice -force_pubkey alice.pem -CA ca.pem -CAkey ca.key";
    ASSERT_EQ(RunCommand(issue + " -extfile v3.ext -outform DER -out alice.der && " + issue + " -out v1.pem").status, 0);
    EXPECT_EQ(Tool(card + "cert read --container alice").err,
              "kelm-tool: cert read: the signature key of 'alice' has no certificate on the card\n");
    ASSERT_EQ(Tool(card + "cert write --container alice alice.der").status, 0);
    ASSERT_EQ(Tool(card + "cert read --container alice --out back.der").status, 0);
    EXPECT_EQ(Contents(Path("back.der")), Contents(Path("alice.der")));
    EXPECT_EQ(Tool(card + "cert read --container alice --pem").out,
              RunCommand("openssl x509 -inform DER -in '" + Path("alice.der") + "'").output);
    // {file, what the refusal says}
    for (const auto& [file, reason] : {std::pair{"v1.pem", "is an X.509 version 1 certificate"},
                                       {"ca.key", "holds no X.509 certificate"}}) {
        const ToolRun refused = Tool(card + "cert write --container alice " + file);
        EXPECT_EQ(refused.status, 1) << file;
        EXPECT_NE(refused.err.find(reason), std::string::npos) << refused.err;
    }
    EXPECT_EQ(Contents(Path("back.der")), Contents(Path("alice.der")));
    // Random bytes: their count, and no more than asked for.
    for (const unsigned count : {0u, 16u, 241u}) {
        EXPECT_EQ(Tool(card + "random --hex " + std::to_string(count)).out.size(), 2 * count + 1) << count;
    }
    EXPECT_EQ(Tool(card + "random 1048577").status, 2);
}

}  // namespace
}  // namespace kelm::test
