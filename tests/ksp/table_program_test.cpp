// The function table as a program that loads the library sees it, on every simulated card type
// (2048-bit keys on T=1: a T=0 transport cannot carry their 256-byte answers).
#include "ksp_card.h"
#include "sim/card_state.h"
#include "table_program.h"

namespace kelm::ksp::testing {
namespace {

class TableProgram : public KspCardTest {};

TEST_F(TableProgram, RunsOnEveryCardTypeThroughTheLoadedLibrary) {
    const struct { int type; sim::CardProtocol protocol; bool large; } cards[] = {
        {1, sim::CardProtocol::T1, false}, {3, sim::CardProtocol::T0, false}, {5, sim::CardProtocol::T0, false},
        {5, sim::CardProtocol::T1, true},  {6, sim::CardProtocol::T1, true},  {7, sim::CardProtocol::T1, false}};
    for (const auto& card : cards) {
        SCOPED_TRACE("card type " + std::to_string(card.type) + (card.large ? ", 2048-bit" : ""));
        test::ScopedInMemoryRegistry store;
        clock_.now_ms += 60000;  // past the PIN cache of the card before
        Insert(card.type, card.large, card.protocol);
        AddCertificate(0x8001, u"keys");
        const auto file = std::find_if(Card().image.key_files.begin(), Card().image.key_files.end(),
                                       [](const sim::KeyFile& f) { return f.id == 0x8001; });
        ASSERT_NE(file, Card().image.key_files.end());
        RunTableProgram(KELM_PROVIDER_PATH, ProgramKey{u"keys", file->key.n, file->key.e, file->key.d});
        EXPECT_EQ(ui_.DialogCount(), 1u) << "one PIN for the card";
    }
}

}  // namespace
}  // namespace kelm::ksp::testing
