// kelm-tool's key commands checked by OpenSSL: key pairs generated on an empty card of each key
// length and protocol export as blobs OpenSSL reads with the simulator's modulus, sign what OpenSSL verifies with the
// key pubkey writes, and refuse a second generation; session keys cross both ways (wrapped and
// enciphered by OpenSSL and taken in by decrypt, made by encrypt and taken apart by OpenSSL with
// the private key the simulator holds); a certificate written to the card comes back byte for
// byte, and the files the card cannot take are refused with a reason. And the key storage and
// "My" store commands in the order a user runs them: certificates issued by OpenSSL for two card
// keys go into the store, the card signs and decrypts through the provider's function table, and
// OpenSSL checks and feeds what the provider hands out.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <tuple>

#include "crypto/openssl_peer.h"
#include "tool_fixture.h"

namespace kelm::test {
namespace {

using KeyCommands = ToolTest;
using KeyStorageCommands = ToolTest;
using nlohmann::json;

Bytes BytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

void Write(const std::string& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// The key the simulator holds in the container's slot ("signature_file" or "exchange_file"),
// read from the card image: {"n", "e", "d"} in uppercase hexadecimal.
nlohmann::json SimulatorKey(const std::string& image, const std::string& container, const char* slot) {
    const nlohmann::json card = nlohmann::json::parse(image);
    for (const auto& record : card["directory"]) {
        if (record["name"] != container) continue;
        for (const auto& file : card["key_files"]) {
            if (file["id"] == record[slot]) return file["key"];
        }
    }
    return nullptr;
}

TEST_F(KeyCommands, KeysGeneratedOnEachKeyLengthAndProtocolExportAndSignForOpenSsl) {
    std::ofstream(Path("doc.txt")) << "a document to sign\n";
    // {card type, protocol, key bits, hash, openssl's name, what kelm-tool verify says checked it}:
    // type 6 cards hold 2048-bit keys, on T=1 only; the card judges only 128-byte signatures of
    // MD5 and SHA-1 hashes. The card types' own commands are the provider's tests' concern.
    const std::tuple<int, const char*, size_t, const char*, const char*, const char*> kCases[] = {
        {1, "T1", 1024, "md5", "-md5", "card"},
        {6, "T1", 2048, "sha1", "-sha1", "public key"},
        {7, "T0", 1024, "sha256", "-sha256", "public key"},
    };
    for (const auto& [type, protocol, bits, hash, digest, checker] : kCases) {
        SCOPED_TRACE("card type " + std::to_string(type) + " " + protocol);
        const std::string image = "card" + std::to_string(type) + ".json";
        const std::string card = " --card sim:" + image + " --pin 12345678 ";
        ASSERT_EQ(Tool("card new --type " + std::to_string(type) + " --protocol " + protocol + " " + image).status, 0);
        ASSERT_EQ(Tool("create-container bob" + card).status, 0);
        const std::string signer = "--container bob" + card;
        for (const std::string key : {"signature", "exchange"}) {
            const ToolRun made = Tool("genkey --container bob --key " + key + card + "--json");
            ASSERT_EQ(made.status, 0) << made.err;
            EXPECT_EQ(nlohmann::json::parse(made.out)["bits"], bits);
            ASSERT_EQ(Tool("export-key --container bob --key " + key + card + "--out " + key).status, 0);
            const auto held = SimulatorKey(Contents(image), "bob", (key + "_file").c_str());
            ASSERT_TRUE(held.is_object()) << key;
            EXPECT_EQ(Shell("openssl rsa -pubin -inform MSBLOB -noout -modulus -in " + key).output,
                      "Modulus=" + held["n"].get<std::string>() + "\n")
                << key;
            if (key == "exchange") break;
            // Signed with the new key before the next generation (on type 7 it may take the same file).
            const ToolRun signed_file = Tool("sign " + signer + "--hash " + hash + " --out doc.sig doc.txt");
            ASSERT_EQ(signed_file.status, 0) << signed_file.err;
            EXPECT_EQ(Contents("doc.sig").size(), bits / 8);
            ASSERT_EQ(Tool("pubkey " + signer + "--out bob.pem").status, 0);
            EXPECT_EQ(Shell(std::string("openssl dgst ") + digest + " -verify bob.pem -signature doc.sig doc.txt 2>&1").output,
                      "Verified OK\n");
            const ToolRun verified = Tool("verify " + signer + "--hash " + hash + " --signature doc.sig doc.txt --json");
            EXPECT_EQ(verified.status, 0) << verified.err;
            EXPECT_NE(verified.out.find(std::string("\"checked_by\": \"") + checker), std::string::npos) << verified.out;
            EXPECT_EQ(Tool("verify " + signer + "--hash " + hash + " --signature doc.sig bob.pem").status, 1)
                << "another file's signature";
        }
        if (type == 7) continue;  // type 7 generates anew over its key instead of refusing: not settled yet
        const ToolRun again = Tool("genkey " + signer);
        EXPECT_EQ(again.status, 1);
        EXPECT_NE(again.err.find("NTE_EXISTS"), std::string::npos) << again.err;
    }
}

TEST_F(KeyCommands, SessionKeysCrossBetweenTheToolAndOpenSsl) {
    const std::string card = " " + Card() + " --container alice --pin 12345678 ";
    const auto held = SimulatorKey(Contents("card.json"), "alice", "exchange_file");
    ASSERT_TRUE(held.is_object());
    const Bytes n = FromHex(held["n"]), e = FromHex(held["e"]), d = FromHex(held["d"]);
    // 64 KiB and a bit more, so that the data crosses the tool's pieces; whole blocks for ECB.
    const Bytes data = RandomBytes(65536 + 24, 3);
    Write(Path("data"), data);
    const std::string iv = "0011223344556677";
    // Wrapped outside the provider: SIMPLEBLOB header, CALG_RSA_KEYX, the PKCS #1 block reversed.
    const auto wrap = [&](const Bytes& key, uint32_t algid) {
        Bytes blob = {1, 2, 0, 0, uint8_t(algid), uint8_t(algid >> 8), 0, 0, 0x00, 0xA4, 0, 0};
        const Bytes block = OpenSslEncryptRsaPkcs1(n, e, key);
        return blob.insert(blob.end(), block.rbegin(), block.rend()), blob;
    };
    // {algorithm, key bytes, CALG_, mode}
    const std::tuple<const char*, size_t, uint32_t, const char*> kCases[] = {
        {"des", 8, 0x6601, "cbc"}, {"3des", 24, 0x6603, "cbc"}, {"3des-112", 16, 0x6609, "ofb"},
        {"3des", 24, 0x6603, "cfb"}, {"des", 8, 0x6601, "ecb"},
    };
    for (const auto& [alg, length, algid, mode] : kCases) {
        SCOPED_TRACE(std::string(alg) + " " + mode);
        if (length == 8 && !OpenSslHasLegacyDes()) continue;
        const std::string with_iv = std::string(" --mode ") + mode + (mode == std::string("ecb") ? "" : " --iv " + iv);
        const Bytes iv_bytes = mode == std::string("ecb") ? Bytes() : FromHex(iv);
        const Bytes key = RandomBytes(length, 11);
        Write(Path("outside.key"), wrap(key, algid));
        Write(Path("outside.enc"), OpenSslCipher(mode, true, key, iv_bytes, data));
        const ToolRun decrypted =
            Tool("decrypt" + card + "--session-key outside.key --raw --force" + with_iv + " --out plain outside.enc");
        ASSERT_EQ(decrypted.status, 0) << decrypted.err;
        EXPECT_EQ(BytesOf(Contents("plain")), data);
        // Made by the tool: OpenSSL unwraps the key with the simulator's private key and deciphers.
        const ToolRun encrypted =
            Tool("encrypt" + card + "--new-key made.key --force --raw --alg " + alg + with_iv + " --out made.enc data --json");
        ASSERT_EQ(encrypted.status, 0) << encrypted.err;
        const Bytes made = BytesOf(Contents("made.key"));
        ASSERT_EQ(made.size(), 140u);
        const Bytes unwrapped = OpenSslDecryptRsa(n, e, d, nullptr, Bytes(made.rbegin(), made.rend() - 12));
        ASSERT_EQ(unwrapped.size(), length);
        EXPECT_EQ(OpenSslCipher(mode, false, unwrapped, iv_bytes, BytesOf(Contents("made.enc"))), data);
    }
    // Refusals; nothing is written on a failure.
    const Bytes key = RandomBytes(24, 5);
    Write(Path("bad.key"), wrap(key, 0x6603));
    Bytes damaged = OpenSslCipher("cbc", true, key, FromHex(iv), data);
    damaged.back() ^= 1;  // the padding no longer checks out
    Write(Path("damaged.enc"), damaged);
    Write(Path("public.key"), {6, 2, 0, 0, 0, 0xA4, 0, 0});
    std::remove(Path("plain").c_str());
    ExpectRefused({
        {"decrypt" + card + "--session-key made.key --raw --out plain made.enc", 2, "--iv is needed"},
        {"encrypt" + card + "--new-key a --session-key made.key data", 2, "excludes"},
        {"export-key" + card + "--key signature --blob simple", 2, "session key"},
        {"decrypt" + card + "--session-key public.key --raw --mode ecb --out plain made.enc", 2, "not a SIMPLEBLOB"},
        {"decrypt" + card + "--session-key bad.key --raw --iv " + iv + " --out plain damaged.enc", 1, "NTE_BAD_DATA"},
    });
    EXPECT_FALSE(std::ifstream(Path("plain")).good());
}

TEST_F(KeyCommands, CertificatesComeBackByteForByteAndUnusableOnesAreRefused) {
    ASSERT_EQ(Tool("card new --container alice card1.json").status, 0);
    const std::string card = "--card sim:card1.json ";
    ASSERT_EQ(Tool(card + "pubkey --container alice --pin 12345678 --out alice.pem").status, 0);
    const std::string issue = "openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -subj /CN=CA -out ca.pem"
                              " 2>/dev/null && printf 'keyUsage=digitalSignature\\n' >v3.ext && openssl x509 -new"
                              " -subj /CN=Alice -force_pubkey alice.pem -CA ca.pem -CAkey ca.key";
    ASSERT_EQ(Shell(issue + " -extfile v3.ext -outform DER -out alice.der && " + issue + " -out v1.pem").status, 0);
    EXPECT_EQ(Tool(card + "cert read --container alice").err,
              "kelm-tool: cert read: the signature key of 'alice' has no certificate on the card\n");
    ASSERT_EQ(Tool(card + "cert write --container alice alice.der").status, 0);
    ASSERT_EQ(Tool(card + "cert read --container alice --out back.der").status, 0);
    EXPECT_EQ(Contents("back.der"), Contents("alice.der"));
    EXPECT_EQ(Tool(card + "cert read --container alice --pem").out,
              Shell("openssl x509 -inform DER -in alice.der").output);
    ExpectRefused({{card + "cert write --container alice v1.pem", 1, "is an X.509 version 1 certificate"},
                   {card + "cert write --container alice ca.key", 1, "holds no X.509 certificate"}});
    EXPECT_EQ(Contents("back.der"), Contents("alice.der"));
    // Random bytes: their count, and no more than asked for.
    for (const unsigned count : {0u, 16u, 241u}) {
        EXPECT_EQ(Tool(card + "random --hex " + std::to_string(count)).out.size(), 2 * count + 1) << count;
    }
    EXPECT_EQ(Tool(card + "random 1048577").status, 2);
}

TEST_F(KeyStorageCommands, CertifiedCardKeysSignAndDecrypt) {
    std::ofstream(Path("doc.txt")) << "hello\n";
    ASSERT_EQ(Shell("openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -subj /CN=CA -out ca.pem 2>/dev/null").status, 0);
    // A 2048-bit card (on T=1): every buffer of the commands holds the longest key.
    ASSERT_EQ(Tool("card new --type 6 --protocol T1 --container alice --container bob c6.json").status, 0);
    const std::string card = "--card sim:c6.json ", pin = "--pin 12345678 ";
    const size_t length = 256;
    // alice's signature key and bob's exchange key, each with a certificate naming it.
    std::string thumbprints[2];
    for (int i = 0; i < 2; ++i) {
        const std::string name = i == 0 ? "alice" : "bob", kind = i == 0 ? "signature" : "exchange";
        ASSERT_EQ(Tool(card + pin + "pubkey --container " + name + " --key " + kind + " --out " + name + ".pem").status, 0);
        ASSERT_EQ(Shell("openssl x509 -new -subj /CN=" + name + " -force_pubkey " + name +
                        ".pem -CA ca.pem -CAkey ca.key -out " + name + ".crt").status, 0);
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
    EXPECT_EQ(Contents("doc.sig").size(), length);
    EXPECT_EQ(Shell("openssl dgst -sha256 -verify alice.pem -signature doc.sig doc.txt 2>&1").output, "Verified OK\n");
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
            ASSERT_EQ(Shell("openssl " + make.substr(8)).status, 0);
        } else {
            ASSERT_EQ(Tool(card + make).status, 0);
        }
        EXPECT_EQ(Contents("c.bin").size(), length);
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

}  // namespace
}  // namespace kelm::test
