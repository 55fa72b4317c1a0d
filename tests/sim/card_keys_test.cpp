// Keys and certificates on the simulated card: access rules, raw RSA checked against mbed TLS,
// MOVE KEY, and the refusals of certificate writes.
#include <gtest/gtest.h>
#include <mbedtls/rsa.h>

#include "sim_test_util.h"

namespace kelm::sim::test {
namespace {

// The public operation done outside the card, on the card's public key.
std::vector<BYTE> PublicOp(const SimCard& card, WORD file, const std::vector<BYTE>& block) {
    std::vector<BYTE> n, e;
    EXPECT_TRUE(PublicKeyOf(card, file, &n, &e));
    mbedtls_rsa_context rsa;
    mbedtls_rsa_init(&rsa, MBEDTLS_RSA_PKCS_V15, 0);
    std::vector<BYTE> out(n.size());
    EXPECT_EQ(mbedtls_rsa_import_raw(&rsa, n.data(), n.size(), nullptr, 0, nullptr, 0, nullptr, 0, e.data(), e.size()), 0);
    EXPECT_EQ(mbedtls_rsa_complete(&rsa), 0);
    EXPECT_EQ(mbedtls_rsa_public(&rsa, block.data(), out.data()), 0);
    mbedtls_rsa_free(&rsa);
    return out;
}

std::vector<BYTE> SignatureBlock(size_t length) {
    std::vector<BYTE> block(length, 0xFF);
    block[0] = 0x00;
    block[1] = 0x01;
    block[length - 21] = 0x00;
    for (size_t i = length - 20; i < length; ++i) block[i] = static_cast<BYTE>(i);
    return block;
}

std::vector<BYTE> Slice(const std::vector<BYTE>& v, size_t from, size_t count) {
    return std::vector<BYTE>(v.begin() + static_cast<long>(from), v.begin() + static_cast<long>(from + count));
}

// Makes key file `id` with a fresh key through the card's own commands (PIN verified first).
void GenerateOnCard(SimCard& card, WORD id, BYTE size_code) {
    ASSERT_EQ(StatusOf(Send(card, VerifyApdu(CardType(card), "12345678"))), 0x9000);
    ASSERT_EQ(StatusOf(Send(card, CreateKeyFileApdu(id, 0, size_code))), 0x9000);
    ASSERT_EQ(StatusOf(Send(card, SelectFileApdu(id))), 0x9000);
    ASSERT_EQ(HexOf(Send(card, "00 42 00 01")), "90 00");
}

TEST(SimCardKeys, PrivateOperationsNeedThePin) {
    SimCardPtr card = MemoryCard(1);
    Send(*card, CreateKeyFileApdu(0x8001, 0, 2));
    Send(*card, CreateKeyFileApdu(0x8002, 0, 2));
    Send(*card, SelectFileApdu(0x8001));
    EXPECT_EQ(HexOf(Send(*card, Concat(Bytes("00 4E 00 00 80"), SignatureBlock(128)))), "6A 88") << "no key yet";
    EXPECT_EQ(HexOf(Send(*card, "00 42 00 01")), "69 82");
    EXPECT_EQ(HexOf(Send(*card, "00 72 00 00 04 80 01 80 02")), "69 82");
    std::string error;
    ASSERT_TRUE(PutNewKey(*card, 0x8001, &error)) << error;
    EXPECT_EQ(HexOf(Send(*card, Concat(Bytes("00 4E 00 00 80"), SignatureBlock(128)))), "69 82");
    // Public operations and reading the public key need no PIN.
    EXPECT_EQ(StatusOf(Send(*card, Concat(Bytes("00 4E 01 01 80"), SignatureBlock(128)))), 0x9000);
    EXPECT_EQ(StatusOf(Send(*card, "00 44 00 00 8E")), 0x9000);
    Send(*card, VerifyApdu(1, "12345678"));
    EXPECT_EQ(StatusOf(Send(*card, Concat(Bytes("00 4E 00 00 80"), SignatureBlock(128)))), 0x9000);
}

// Signatures, encryption and the public-key records of every card type, on 1024- and 2048-bit
// keys, are checked with OpenSSL through the card layer; here the card's own mathematics against
// mbed TLS, and the RSA commands it refuses.
TEST(SimCardKeys, RsaMatchesMbedTlsAndRefusesMalformedCommands) {
    SimCardPtr card = MemoryCard(1);
    GenerateOnCard(*card, 0x8001, 2);
    auto block = SignatureBlock(128);
    auto signature = DataOf(Send(*card, Concat(Concat(Bytes("00 4E 00 00 80"), block), {0x80})));
    ASSERT_EQ(signature.size(), 128u);
    EXPECT_EQ(PublicOp(*card, 0x8001, signature), block) << "private operation undone by the public key";
    EXPECT_EQ(DataOf(Send(*card, Concat(Bytes("00 4E 01 01 80"), signature))), block);
    // A block not below the modulus is refused; so are unknown P1 P2 and a short block.
    EXPECT_EQ(HexOf(Send(*card, Concat(Bytes("00 4E 00 00 80"), std::vector<BYTE>(128, 0xFF)))), "6A 80");
    EXPECT_EQ(HexOf(Send(*card, Concat(Bytes("00 4E 02 00 80"), block))), "6A 86");
    EXPECT_EQ(HexOf(Send(*card, Concat(Bytes("00 4E 00 01 80"), block))), "6A 86") << "no two-block form on type 1";
    EXPECT_EQ(HexOf(Send(*card, Concat(Bytes("00 4E 00 00 40"), Slice(block, 0, 64)))), "67 00");

    // Type 6's second pieces need their first: of the public-key record, of the private operation.
    SimCardPtr six = MemoryCard(6, CardProtocol::T1);
    GenerateOnCard(*six, 0x8001, 4);
    EXPECT_EQ(HexOf(Send(*six, "00 44 01 00 FA")), "69 85");
    EXPECT_EQ(HexOf(Send(*six, Concat(Bytes("00 4E 00 00 80"), Slice(SignatureBlock(256), 128, 128)))), "69 85");
}

TEST(SimCardKeys, MoveKeyMovesOrErases) {
    SimCardPtr card = MemoryCard(1);
    std::string error;
    ASSERT_TRUE(PutNewKey(*card, 0x8001, &error) && PutNewKey(*card, 0x8002, &error) &&
                PutCertificate(*card, 0x8001, FakeCertificate(300), &error))
        << error;
    std::vector<BYTE> n1, moved;
    ASSERT_TRUE(PublicKeyOf(*card, 0x8001, &n1, nullptr));
    Send(*card, VerifyApdu(1, "12345678"));
    EXPECT_EQ(HexOf(Send(*card, "00 72 00 00 04 80 01 80 02")), "90 00");
    EXPECT_TRUE(PublicKeyOf(*card, 0x8002, &moved, nullptr) && moved == n1) << "the key replaces the destination's";
    EXPECT_EQ(CertificateOf(*card, 0x8002), FakeCertificate(300));
    EXPECT_FALSE(PublicKeyOf(*card, 0x8001, nullptr, nullptr)) << "source left empty";
    EXPECT_TRUE(CertificateOf(*card, 0x8001).empty());

    EXPECT_EQ(HexOf(Send(*card, "00 72 00 00 04 80 02 80 02")), "90 00");
    EXPECT_FALSE(PublicKeyOf(*card, 0x8002, nullptr, nullptr)) << "same file: key erased";
    EXPECT_EQ(CertificateOf(*card, 0x8002), FakeCertificate(300)) << "certificate kept";
    EXPECT_EQ(HexOf(Send(*card, "00 72 00 00 04 80 02 80 02")), "90 00") << "erasing an empty file is harmless";
    EXPECT_EQ(HexOf(Send(*card, "00 72 00 00 04 80 02 80 05")), "6A 82");
    EXPECT_EQ(HexOf(Send(*card, "00 72 00 00 04 80 02 80 09")), "6A 80");
}

// Sends a certificate as the host does: header and first piece, 200-byte pieces, code at the end.
std::vector<std::vector<BYTE>> WriteCommands(int type, const std::vector<BYTE>& cert, const std::vector<BYTE>& code) {
    std::vector<BYTE> header(type == 5 ? 28 : 16, '0');
    if (type == 5) {
        header.push_back(static_cast<BYTE>(cert.size() >> 8));
        header.push_back(static_cast<BYTE>(cert.size()));
    }
    std::vector<BYTE> payload = Concat(header, cert);
    std::vector<std::vector<BYTE>> commands;
    size_t k = (payload.size() - 1) / 200 + 1;
    for (size_t i = 0; i < k; ++i) {
        bool last = i + 1 == k;
        size_t count = std::min<size_t>(200, payload.size() - i * 200);
        std::vector<BYTE> data{static_cast<BYTE>(last && k > 1 ? 0 : 1)};
        data = Concat(data, Slice(payload, i * 200, count));
        if (last && k > 1) data = Concat(data, code);
        if (k == 1) data.resize(201, 0xEE);  // the one command of a short certificate is a full piece
        commands.push_back(Concat({0x00, 0x46, static_cast<BYTE>(i == 0 ? 0 : 1), 0x00, static_cast<BYTE>(data.size())}, data));
    }
    return commands;
}

TEST(SimCardKeys, CertificateWriteRefusals) {
    std::vector<BYTE> code = Bytes("01 02 03 04 05 06 07 08");
    SimCardPtr card = MemoryCard(1);
    std::string error;
    ASSERT_TRUE(AddKeyFile(*card, 0x8001, 0, &error) && AddKeyFile(*card, 0x8002, 0, &error)) << error;
    Send(*card, SelectFileApdu(0x8001));
    // A card that requires a code refuses another one and keeps what it had.
    SetRequiredCertCode(*card, Bytes("AA AA AA AA AA AA AA AA"));
    auto commands = WriteCommands(1, FakeCertificate(500), code);
    for (size_t i = 0; i + 1 < commands.size(); ++i) ASSERT_EQ(HexOf(Send(*card, commands[i])), "90 00");
    EXPECT_EQ(HexOf(Send(*card, commands.back())), "69 82");
    EXPECT_TRUE(CertificateOf(*card, 0x8001).empty());
    commands = WriteCommands(1, FakeCertificate(500), Bytes("AA AA AA AA AA AA AA AA"));
    for (const auto& command : commands) ASSERT_EQ(HexOf(Send(*card, command)), "90 00");
    EXPECT_EQ(CertificateOf(*card, 0x8001), FakeCertificate(500));
    // A continuation without a start, or after another file was selected; a last piece of the
    // wrong size; a header that is not date text.
    EXPECT_EQ(HexOf(Send(*card, commands[1])), "69 85");
    Send(*card, commands[0]);
    Send(*card, SelectFileApdu(0x8002));
    EXPECT_EQ(HexOf(Send(*card, commands[1])), "69 85");
    Send(*card, SelectFileApdu(0x8001));
    Send(*card, commands[0]);
    auto shortened = commands.back();
    shortened.pop_back();
    shortened[4] = static_cast<BYTE>(shortened[4] - 1);
    for (size_t i = 1; i + 1 < commands.size(); ++i) Send(*card, commands[i]);
    EXPECT_EQ(HexOf(Send(*card, shortened)), "67 00");
    auto bad_header = commands[0];
    bad_header[6] = 'X';
    EXPECT_EQ(HexOf(Send(*card, bad_header)), "6A 80");
}

}  // namespace
}  // namespace kelm::sim::test
