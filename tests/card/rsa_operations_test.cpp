// RSA with the card's keys: the bytes of each card type's RSA OPERATION commands, which the
// entry points see only as a count, and the search for the message in a decrypted block.

#include "card/pkcs1_blocks.h"
#include "card/rsa_operations.h"
#include "simulated_keys.h"

namespace kelm::card::testing {
namespace {

TEST_F(SimulatedCardTest, EachCardTypeSendsItsOwnRsaOperationCommands) {
    // CLA INS P1 P2 Lc of each RSA OPERATION of one signature, then its Le byte.
    const struct { int type; bool large; std::vector<std::string> rsa_commands; } cases[] = {
        {1, false, {"00 4E 00 00 80 80"}},
        {5, false, {"00 4E 00 00 80 00"}},
        {5, true, {"00 4E 00 01 80 00", "00 4E 01 00 80 00"}},
        {6, true, {"00 4E 00 01 80 80", "00 4E 00 00 80 00"}},
        {7, false, {"00 4E 00 00 80 80"}}};
    const Bytes hash(20, 0x5A);
    for (const auto& c : cases) {
        SCOPED_TRACE("card type " + std::to_string(c.type) + (c.large ? ", 2048-bit" : ""));
        Insert(c.type, sim::CardProtocol::T1, true, c.large);
        DWORD length = c.large ? 256 : 128;
        Bytes signature(length);
        simulated->backend().ClearLog();
        ASSERT_EQ(0u, RSA_CardSignature(kContainer, 1, HASH_KIND_SHA1, hash.data(), 20, &length, signature.data()));
        const std::vector<Bytes> rsa = Sent(0x4E);
        ASSERT_EQ(c.rsa_commands.size(), rsa.size());
        for (size_t i = 0; i < rsa.size(); ++i) {
            EXPECT_EQ(c.rsa_commands[i], HexOf(Bytes(rsa[i].begin(), rsa[i].begin() + 5)) + " " + HexOf({rsa[i].back()}));
        }
    }
}

// The lengths the card's RSA operations take are bounded here, before any command is sent.
TEST_F(SimulatedCardTest, RsaLengthsAreBoundedBeforeTheCard) {
    Insert(1);
    Bytes block(kPublicKeyRecordMax);
    DWORD longest = 117, too_long = 118, too_short = 64;
    EXPECT_EQ(0u, RSA_CardEncrypt(kContainer, CALG_RSA_KEYX, &longest, block.data(), block.data()));
    EXPECT_EQ(128u, longest);
    simulated->backend().ClearLog();
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_LEN), RSA_CardEncrypt(kContainer, 0, &too_long, block.data(), block.data()));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_LEN), RSA_CardDecrypt(kContainer, 0, &too_short, block.data(), block.data()));
    EXPECT_TRUE(simulated->backend().Log().empty());
}

TEST(DecryptedBlockTest, SeparatorNeedsEightPaddingBytesAndOneMessageByte) {
    // separator 0: none
    const struct { size_t length, separator; BYTE type; bool found; } cases[] = {{128, 9, 2, false},  {128, 10, 2, true},  {128, 126, 2, true}, {128, 127, 2, false},
                 {128, 0, 2, false},  {128, 50, 1, false}, {256, 254, 2, true}, {256, 255, 2, false}};
    for (const auto& c : cases) {
        Bytes block(c.length, 0x5A);
        block[0] = 0x00, block[1] = c.type;
        if (c.separator != 0) block[c.separator] = 0x00;
        size_t offset = 0;
        EXPECT_EQ(c.found, FindBlockMessage(block.data(), block.size(), &offset)) << c.length << " " << c.separator;
        EXPECT_EQ(c.found ? c.separator + 1 : 0, offset);
    }
}

}  // namespace
}  // namespace kelm::card::testing
