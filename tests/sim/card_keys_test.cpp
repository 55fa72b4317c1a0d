// Keys and certificates on the simulated card: what needs the PIN, and certificate writes with
// their write code.
#include <gtest/gtest.h>

#include "sim_test_util.h"

namespace kelm::sim::test {
namespace {

std::vector<BYTE> Slice(const std::vector<BYTE>& v, size_t from, size_t count) {
    return std::vector<BYTE>(v.begin() + static_cast<long>(from), v.begin() + static_cast<long>(from + count));
}

// Key generation and the private operation need the PIN; the public ones do not.
TEST(SimCardKeys, PrivateOperationsNeedThePin) {
    SimCardPtr card = MemoryCard(1);
    Send(*card, CreateKeyFileApdu(0x8001, 0, 2));
    Send(*card, SelectFileApdu(0x8001));
    const std::vector<BYTE> sign = Concat(Bytes("00 4E 00 00 80"), Concat(Bytes("00 01"), std::vector<BYTE>(126, 0x5A)));
    EXPECT_EQ(HexOf(Send(*card, sign)), "6A 88") << "no key yet";
    EXPECT_EQ(HexOf(Send(*card, "00 42 00 01")), "69 82");
    std::string error;
    ASSERT_TRUE(PutNewKey(*card, 0x8001, &error)) << error;
    EXPECT_EQ(HexOf(Send(*card, sign)), "69 82");
    EXPECT_EQ(StatusOf(Send(*card, Concat(Bytes("00 4E 01 01 80"), std::vector<BYTE>(sign.begin() + 5, sign.end())))), 0x9000);
    EXPECT_EQ(StatusOf(Send(*card, "00 44 00 00 8E")), 0x9000);
    Send(*card, VerifyApdu(1, "12345678"));
    EXPECT_EQ(StatusOf(Send(*card, sign)), 0x9000);
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
    // A continuation without a start is refused.
    EXPECT_EQ(HexOf(Send(*card, commands[1])), "69 85");
}

}  // namespace
}  // namespace kelm::sim::test
