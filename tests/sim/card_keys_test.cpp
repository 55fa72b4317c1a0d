// Keys and certificates on the simulated card: access rules, raw RSA checked against mbed TLS,
// public-key records of every type, MOVE KEY, and certificate writes and reads in pieces.
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

TEST(SimCardKeys, SingleBlockRsaMatchesMbedTls) {
    SimCardPtr card = MemoryCard(1);
    GenerateOnCard(*card, 0x8001, 2);
    auto block = SignatureBlock(128);
    auto answer = Send(*card, Concat(Concat(Bytes("00 4E 00 00 80"), block), {0x80}));
    ASSERT_EQ(StatusOf(answer), 0x9000);
    auto signature = DataOf(answer);
    ASSERT_EQ(signature.size(), 128u);
    EXPECT_EQ(PublicOp(*card, 0x8001, signature), block) << "private operation undone by the public key";
    // Public encrypt (01 00) then private decrypt gives the block back; verify (01 01) undoes a signature.
    auto encrypted = DataOf(Send(*card, Concat(Bytes("00 4E 01 00 80"), block)));
    ASSERT_EQ(encrypted.size(), 128u);
    EXPECT_EQ(DataOf(Send(*card, Concat(Bytes("00 4E 00 00 80"), encrypted))), block);
    EXPECT_EQ(DataOf(Send(*card, Concat(Bytes("00 4E 01 01 80"), signature))), block);
    // A block not below the modulus is refused; so are unknown P1 P2 and a short block.
    EXPECT_EQ(HexOf(Send(*card, Concat(Bytes("00 4E 00 00 80"), std::vector<BYTE>(128, 0xFF)))), "6A 80");
    EXPECT_EQ(HexOf(Send(*card, Concat(Bytes("00 4E 02 00 80"), block))), "6A 86");
    EXPECT_EQ(HexOf(Send(*card, Concat(Bytes("00 4E 00 01 80"), block))), "6A 86") << "no two-block form on type 1";
    EXPECT_EQ(HexOf(Send(*card, Concat(Bytes("00 4E 00 00 40"), Slice(block, 0, 64)))), "67 00");
}

TEST(SimCardKeys, PublicKeyRecordsPerCardType) {
    // The record of the modulus and exponent, and where it sits in the first answer.
    struct Case {
        int type;
        const char* read;
        size_t answer, offset, record;
    } cases[] = {{1, "00 44 00 00 8E", 142, 1, 141}, {3, "00 44 00 00 FA", 135, 1, 134},
                 {5, "00 44 00 00 00", 143, 2, 141}, {7, "00 44 00 00 FA", 135, 1, 134}};
    for (const auto& c : cases) {
        SCOPED_TRACE("type " + std::to_string(c.type));
        SimCardPtr card = MemoryCard(c.type);
        std::string error;
        ASSERT_TRUE(PutNewKey(*card, 0x8001, &error)) << error;
        std::vector<BYTE> n, e;
        ASSERT_TRUE(PublicKeyOf(*card, 0x8001, &n, &e));
        Send(*card, SelectFileApdu(0x8001));
        auto a1 = DataOf(Send(*card, c.read));
        ASSERT_EQ(a1.size(), c.answer);
        EXPECT_TRUE(c.type == 1 || a1[0] != 1) << "a single piece";
        std::vector<BYTE> record = Slice(a1, c.offset, c.record);
        EXPECT_EQ(Slice(record, 1, 128), n);
        size_t elen = record[129];
        ASSERT_LE(elen, 4u);
        std::vector<BYTE> exponent = Slice(record, 130, elen);
        while (!exponent.empty() && exponent[0] == 0) exponent.erase(exponent.begin());
        EXPECT_EQ(exponent, e);
        if (c.type == 1 || c.type == 5) {
            EXPECT_EQ(record.size(), 130 + elen + 8) << "public-key code after the exponent";
        }
    }
}

// One 2048-bit key per card type serves both the two-block private operation and the two-piece
// public-key record.
TEST(SimCardKeys, TwoThousandFortyEightBitKeysOfTypes5And6) {
    for (int type : {6, 5}) {
        SCOPED_TRACE("type " + std::to_string(type));
        SimCardPtr card = MemoryCard(type, CardProtocol::T1);
        GenerateOnCard(*card, 0x8001, 4);
        std::vector<BYTE> n;
        ASSERT_TRUE(PublicKeyOf(*card, 0x8001, &n, nullptr));
        const char* read = type == 6 ? "00 44 00 00 FA" : "00 44 00 00 00";
        const char* read_next = type == 6 ? "00 44 01 00 FA" : "00 44 01 00 00";
        if (type == 6) {
            EXPECT_EQ(HexOf(Send(*card, read_next)), "69 85") << "no second piece before the first";
        }
        auto a1 = DataOf(Send(*card, read));
        ASSERT_EQ(a1.size(), type == 6 ? 201u : 256u);
        ASSERT_EQ(a1[0], 1);
        auto a2 = DataOf(Send(*card, read_next));
        ASSERT_GE(a2.size(), type == 6 ? 63u : 17u);
        std::vector<BYTE> record = type == 6 ? Concat(Concat({0x00}, Slice(a1, 3, 198)), Slice(a2, 1, 62))
                                             : Concat(Slice(a1, 2, 254), Slice(a2, 1, 16));
        EXPECT_EQ(Slice(record, 1, 256), n);
        EXPECT_EQ(HexOf(Slice(record, 257, 4)), "03 01 00 01");

        auto block = SignatureBlock(256);
        EXPECT_EQ(HexOf(Send(*card, Concat(Bytes("00 4E 00 01 80"), Slice(block, 0, 128)))), "90 00");
        const char* second = type == 6 ? "00 4E 00 00 80" : "00 4E 01 00 80";
        auto answer = Send(*card, Concat(Concat(Bytes(second), Slice(block, 128, 128)), {0x00}));
        ASSERT_EQ(StatusOf(answer), 0x9000);
        auto signature = DataOf(answer);
        ASSERT_EQ(signature.size(), 256u);
        EXPECT_EQ(PublicOp(*card, 0x8001, signature), block);
        // Without its first half the second command is no private operation.
        if (type == 6) {
            EXPECT_EQ(HexOf(Send(*card, Concat(Bytes(second), Slice(block, 128, 128)))), "69 85");
        }
        // A 2048-bit verify of a 128-byte block answers 256 bytes.
        EXPECT_EQ(DataOf(Send(*card, Concat(Bytes("00 4E 01 01 80"), Slice(signature, 0, 128)))).size(), 256u);
    }
}

TEST(SimCardKeys, MoveKeyMovesOrErases) {
    SimCardPtr card = MemoryCard(1);
    std::string error;
    ASSERT_TRUE(PutNewKey(*card, 0x8001, &error)) << error;
    ASSERT_TRUE(PutNewKey(*card, 0x8002, &error)) << error;
    ASSERT_TRUE(PutCertificate(*card, 0x8001, FakeCertificate(300), &error)) << error;
    std::vector<BYTE> n1;
    ASSERT_TRUE(PublicKeyOf(*card, 0x8001, &n1, nullptr));
    Send(*card, VerifyApdu(1, "12345678"));

    EXPECT_EQ(HexOf(Send(*card, "00 72 00 00 04 80 01 80 02")), "90 00");
    std::vector<BYTE> moved;
    ASSERT_TRUE(PublicKeyOf(*card, 0x8002, &moved, nullptr));
    EXPECT_EQ(moved, n1) << "the key replaces the destination's";
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

TEST(SimCardKeys, CertificateWriteAndReadInPieces) {
    struct Case {
        int type;
        size_t length;
        size_t commands;
        BYTE last_lc;
    } cases[] = {{1, 1000, 6, 0x19}, {5, 1000, 6, 0x27}, {3, 1984, 10, 0xC9}, {7, 150, 1, 0xC9}};
    std::vector<BYTE> code = Bytes("01 02 03 04 05 06 07 08");
    for (const auto& tc : cases) {
        SimCardPtr card = MemoryCard(tc.type);
        std::string error;
        ASSERT_TRUE(AddKeyFile(*card, 0x8003, 1, &error)) << error;
        Send(*card, SelectFileApdu(0x8003));
        auto cert = FakeCertificate(tc.length);
        bool with_code = tc.type == 1 || tc.type == 5;
        auto commands = WriteCommands(tc.type, cert, with_code ? code : std::vector<BYTE>{});
        ASSERT_EQ(commands.size(), tc.commands);
        EXPECT_EQ(commands.back()[4], tc.last_lc) << "type " << tc.type;
        for (const auto& command : commands) ASSERT_EQ(HexOf(Send(*card, command)), "90 00") << "type " << tc.type;
        EXPECT_EQ(CertificateOf(*card, 0x8003), cert);
        EXPECT_EQ(CertCodeOf(*card, 0x8003), with_code && tc.commands > 1 ? code : std::vector<BYTE>{});

        // Read back in pieces with the continuation byte.
        std::vector<BYTE> read;
        size_t piece = tc.type == 5 ? 255 : 200;
        std::vector<BYTE> answer = Send(*card, tc.type == 5 ? "00 4A 00 00 00" : "00 44 00 01 C9");
        for (int guard = 0; guard < 20; ++guard) {
            ASSERT_EQ(StatusOf(answer), 0x9000);
            auto data = DataOf(answer);
            ASSERT_FALSE(data.empty());
            EXPECT_LE(data.size() - 1, piece);
            read = Concat(read, Slice(data, 1, data.size() - 1));
            if (data[0] == 0) break;
            answer = Send(*card, tc.type == 5 ? Bytes("00 4A 01 00 00") : Concat(Bytes("00 44 01 01"), {data[0]}));
        }
        EXPECT_EQ(read, cert) << "type " << tc.type;
    }
}

TEST(SimCardKeys, CertificateWriteRefusals) {
    std::vector<BYTE> code = Bytes("01 02 03 04 05 06 07 08");
    SimCardPtr card = MemoryCard(1);
    std::string error;
    ASSERT_TRUE(AddKeyFile(*card, 0x8001, 0, &error)) << error;
    Send(*card, SelectFileApdu(0x8001));
    // Too large for the file: refused at the first piece.
    EXPECT_EQ(HexOf(Send(*card, WriteCommands(1, FakeCertificate(2100), code)[0])), "66 40");
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
    ASSERT_TRUE(AddKeyFile(*card, 0x8002, 0, &error)) << error;
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

TEST(SimCardKeys, T0ReadFileContinuationAsksForTheExactLength) {
    SimCardPtr card = MemoryCard(1, CardProtocol::T0);
    std::string error;
    ASSERT_TRUE(AddKeyFile(*card, 0x8001, 0, &error)) << error;
    ASSERT_TRUE(PutCertificate(*card, 0x8001, FakeCertificate(250), &error)) << error;
    Send(*card, SelectFileApdu(0x8001));
    auto first = Send(*card, "00 44 00 01 C9");
    ASSERT_EQ(StatusOf(first), 0x9000);
    EXPECT_EQ(DataOf(first)[0], 0x33) << "1 + 50 bytes in the next answer";
    EXPECT_EQ(HexOf(Send(*card, "00 44 01 01 C9")), "6C 33") << "6C does not advance the read";
    auto second = DataOf(Send(*card, "00 44 01 01 33"));
    ASSERT_EQ(second.size(), 51u);
    EXPECT_EQ(second[0], 0);
}

}  // namespace
}  // namespace kelm::sim::test
