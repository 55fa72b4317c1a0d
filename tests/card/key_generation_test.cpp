// Key generation on the simulated card: which file receives the new key, where the certified key
// that was there goes, which containers follow it and which let go, and what a relocation cut
// short by a pulled card leaves. Expectations are read from the card's own view (directory, keys,
// certificates), never from what the card layer reports.
#include "card/card_files.h"
#include "card/key_generation.h"
#include "crypto/openssl_peer.h"
#include "simulated_keys.h"

namespace kelm::card::testing {
namespace {

class KeyGenerationTest : public SimulatedCardTest {
protected:
    void Insert(int type) { SimulatedCardTest::Insert(type, sim::CardProtocol::T1, false); }
    // A key in `file`, with a certificate for `subject` unless that is empty; its container.
    void Key(WORD file, const std::string& subject, const std::string& owner = "", WORD other = 0) {
        ASSERT_TRUE(sim::PutNewKey(Card(), file, &error)) << error;
        test::CertificateRequest request;
        sim::PublicKeyOf(Card(), file, &request.modulus, &request.exponent);
        request.common_name = subject;
        ASSERT_TRUE(subject.empty() || sim::PutCertificate(Card(), file, test::OpenSslCertificate(request), &error));
        ASSERT_TRUE(owner.empty() || sim::AddContainer(Card(), owner, file, other, &error)) << error;
    }
    // Cut short: the card is pulled right after MOVE KEY, and then no record was rewritten and every
    // container left names what it named before; then, the card put back, it generates again.
    DWORD Generate(const char* name, BYTE slot, bool cut_short = false) {
        const Directory before = Containers();
        if (cut_short) {
            simulated->backend().PullCardAfter(simulated->reader(), 0x72);
            EXPECT_NE(0u, Card_GenerateRSAKey(name, slot, 0, status));
            sim::SimCardPtr pulled = simulated->backend().TakePulledCard(simulated->reader());
            if (!pulled) return ~0u;
            simulated->backend().InsertCard(simulated->reader(), std::move(pulled));
            for (const auto& [container, files] : Containers()) EXPECT_EQ(before.at(container), files) << container;
            Connect();
        }
        return Card_GenerateRSAKey(name, slot, 0, status);
    }

    BYTE status[kContainerStatusBytes] = {};
};

// The third case is cut short between MOVE KEY and the directory write: the next generation
// finds the owner naming an emptied file and its key named by no container, and puts it back.
TEST_F(KeyGenerationTest, FirstKeyOfAKindPushesTheCertifiedKeyToTheCompanion) {
    const struct { int type; BYTE slot; WORD primary, companion; BYTE size_code; bool cut_short; } cases[] = {
        {1, 1, 0x8001, 0x8002, 2, false}, {6, 2, 0x8003, 0x8004, 4, false}, {1, 1, 0x8001, 0x8002, 2, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE("card type " + std::to_string(c.type) + (c.cut_short ? ", cut short" : ""));
        Insert(c.type);
        // "owner" has the primary file's certified key; "doomed" only the companion's, overwritten.
        Key(c.primary, "owner", "owner");
        Key(c.companion, "", "doomed");
        sim::AddContainer(Card(), "new", 0, 0, &error);
        const Bytes certified = Modulus(c.primary);
        ASSERT_EQ(0u, Generate("new", c.slot, c.cut_short));
        EXPECT_EQ(certified, Modulus(c.companion));
        EXPECT_EQ(c.size_code * 64u, Modulus(c.primary).size());
        const WORD fresh[2] = {c.slot == 1 ? c.primary : WORD{0}, c.slot == 2 ? c.primary : WORD{0}};
        EXPECT_EQ((Directory{{"owner", {c.companion, 0}}, {"new", {fresh[0], fresh[1]}}}), Containers());
        const BYTE* entry = status + kSlotEntryOffset[c.slot];
        EXPECT_EQ(HexOf({BYTE(c.primary), 2, c.slot, c.size_code}), HexOf(Bytes(entry, entry + 4)));
    }
}

// What the relocation before a generation wrote to the directory stands. "old" names only an
// emptied file: it leaves the directory, although the scan for an interrupted move left a key file
// selected. "mixed" names its certified key's companion in its other slot: the record written
// with the new key is the one after the move, which let go of that file.
TEST_F(KeyGenerationTest, TheRelocationsDirectoryChangesStand) {
    Insert(1);
    ASSERT_TRUE(sim::AddKeyFile(Card(), 0x8001, 0, &error) && sim::AddContainer(Card(), "old", 0x8001, 0, &error) &&
                sim::AddContainer(Card(), "new", 0, 0, &error))
        << error;
    Key(0x8002, "");
    ASSERT_EQ(0u, Generate("new", 1));
    EXPECT_EQ((Directory{{"new", {0x8001, 0}}}), Containers());
    simulated.reset();
    ResetSession();

    Insert(1);
    Key(0x8002, "");
    Key(0x8001, "mixed", "mixed", 0x8002);
    const Bytes certified = Modulus(0x8001);
    ASSERT_EQ(0u, Generate("mixed", 1));
    EXPECT_EQ(certified, Modulus(0x8002));
    EXPECT_EQ((Directory{{"mixed", {0x8001, 0}}}), Containers());
}

TEST_F(KeyGenerationTest, CardType7StagesEveryKeyInItsLastFile) {
    // "staged" has a key in 80 07 certified for `staged` ("" none) and generates its exchange key.
    // `files` gives 80 01 .. their certificates' subjects ("" a key without one, "-" no key
    // either); a certified file belongs to "owner<n>".
    // The last case is cut short between MOVE KEY and the directory write.
    const std::vector<std::string> older{"", "bob", "alice"};
    const Directory replaced{{"owner2", {0x8002, 0}}, {"staged", {0x8003, 0x8007}}};
    const struct { const char* what; const char* staged; std::vector<std::string> files; DWORD result; Directory after;
                   bool cut_short = false; } cases[] = {
        {"an uncertified staged key is dropped, its container kept", "", {"-"}, 0, {{"staged", {0, 0x8007}}}},
        {"the older key of the subject is replaced, before any free file", "alice", older, 0, replaced},
        {"else the first file without a certificate is taken", "alice", {"bob", "-", ""}, 0,
         {{"owner1", {0x8001, 0}}, {"staged", {0x8002, 0x8007}}}},
        {"a full card keeps everything", "alice", {"u1", "u2", "u3", "u4", "u5", "u6"}, 0x6640, {}},
        {"an older key replaced, cut short", "alice", older, 0, replaced, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Insert(7);
        for (size_t i = 0; i < c.files.size(); ++i) {
            const WORD file = static_cast<WORD>(0x8001 + i);
            c.files[i] == "-" ? (void)sim::AddKeyFile(Card(), file, 1, &error)
                              : Key(file, c.files[i], c.files[i].empty() ? "" : "owner" + std::to_string(i + 1));
        }
        Key(0x8007, c.staged, "staged");
        const Directory before = Containers();
        const Bytes staged = Modulus(0x8007);
        EXPECT_EQ(c.result, Generate("staged", 2, c.cut_short));
        EXPECT_EQ(c.result == 0 ? c.after : before, Containers());
        EXPECT_EQ(c.result != 0, staged == Modulus(0x8007));
        const WORD moved = c.result == 0 ? c.after.at("staged").first : 0;
        EXPECT_TRUE(moved == 0 || staged == Modulus(moved));
    }
}

}  // namespace
}  // namespace kelm::card::testing
