// Session keys from card randomness: the key bytes and IV each algorithm takes from the digests
// of the 128 card bytes, against digests computed independently of the provider; and the
// refusals, which leave the caller's buffers as they were.
#include "core/session_keys.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "card/scripted_card.h"
#include "kelm/winapi.h"

namespace kelm::core {
namespace {

using card::testing::Bytes;
using card::testing::Hex;

// The card's 128 bytes are 00 01 02 ... 7F, sixteen GET CHALLENGE answers.
void ScriptCountingChallenge(card::testing::ScriptedCard& card) {
    for (BYTE block = 0; block < 16; ++block) {
        Bytes answer;
        for (BYTE i = 0; i < 8; ++i) answer.push_back(BYTE(block * 8 + i));
        answer.insert(answer.end(), {0x90, 0x00});
        card.Expect("00 86 00 00 08", card::testing::HexOf(answer));
    }
}

class SessionKeys : public card::testing::CardLayerTest {};

TEST_F(SessionKeys, KeyAndIvComeFromTheDigestsOfTheCardBytes) {
    // MD5(00..3F)  = b2d3f56bc197fd985d5965079b5e7148
    // MD5(40..7F)  = 9a0ce05359b502c207c4e8ff83610b40
    // SHA1(40..7F) = 08f42ca259cf121d2ea9cd8b6c5b24c86d733db7
    const struct {
        ALG_ID algid;
        std::string key, iv;
    } rows[] = {
        {CALG_DES, "b2d3f56bc197fd98", "5d5965079b5e7148"},
        {CALG_3DES_112, "b2d3f56bc197fd985d5965079b5e7148", "07c4e8ff83610b40"},
        {CALG_3DES, "b2d3f56bc197fd985d5965079b5e714808f42ca259cf121d", "2ea9cd8b6c5b24c8"},
    };
    for (const auto& row : rows) {
        Connected(SCARD_PROTOCOL_T1);
        ScriptCountingChallenge(card);
        Bytes key(32, 0xEE), iv(16, 0xEE);
        EXPECT_EQ(CreateSessionKey(row.algid, key.data(), key.size(), iv.data()), 0u);
        const Bytes want_key = Hex(row.key);
        EXPECT_EQ(Bytes(key.begin(), key.begin() + want_key.size()), want_key) << row.algid;
        EXPECT_EQ(key[want_key.size()], 0xEE) << "no byte past the key";
        EXPECT_EQ(Bytes(iv.begin(), iv.begin() + 8), Hex(row.iv)) << row.algid;
        EXPECT_EQ(Bytes(iv.begin() + 8, iv.end()), Bytes(8, 0));
        EXPECT_TRUE(card.answers.empty());
    }
}

TEST_F(SessionKeys, RefusalsWriteNothing) {
    Connected(SCARD_PROTOCOL_T1);
    Bytes key(24, 0xEE), iv(16, 0xEE);
    const struct {
        ALG_ID algid;
        size_t capacity;
        LONG error;
    } rows[] = {
        {CALG_RC4, 24, NTE_BAD_ALGID},
        {CALG_RSA_KEYX, 24, NTE_BAD_ALGID},
        {CALG_3DES, 23, NTE_BAD_LEN},
    };
    for (const auto& row : rows) {
        SetLastError(0);
        EXPECT_EQ(CreateSessionKey(row.algid, key.data(), row.capacity, iv.data()), DWORD(row.error));
        EXPECT_EQ(GetLastError(), DWORD(row.error));
    }
    EXPECT_TRUE(card.sent.empty()) << "the card is not asked for a key that cannot be made";
    // The card gives half of the bytes, then fails: no key is made of the half.
    for (int i = 0; i < 8; ++i) card.Reply("01 02 03 04 05 06 07 08 90 00");
    card.Reply("6A 82");
    EXPECT_EQ(CreateSessionKey(CALG_DES, key.data(), key.size(), iv.data()), DWORD(NTE_FAIL));
    EXPECT_EQ(GetLastError(), DWORD(NTE_FAIL));
    EXPECT_EQ(key, Bytes(24, 0xEE));
    EXPECT_EQ(iv, Bytes(16, 0xEE));
}

}  // namespace
}  // namespace kelm::core
