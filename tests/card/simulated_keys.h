// A connected simulated card with the container "keys": its signature key in 80 01 and its
// exchange key in 80 03, of the card type's size or 2048 bits, and the PIN verified. Tests read
// the card's own view (keys, certificates, the exchange log) to check the card layer against it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "scripted_card.h"

namespace kelm::card::testing {

constexpr const char* kContainer = "keys";

class SimulatedKeysTest : public CardLayerTest {
protected:
    void Insert(int type, sim::CardProtocol protocol = sim::CardProtocol::T1, bool large = false) {
        Remove();
        kelm::testing::SimCardSetup setup;
        setup.type = type, setup.protocol = protocol;
        simulated = std::make_unique<kelm::testing::ScopedSimCard>(setup);
        const std::string size = large || type == 6 ? " 04" : " 02";
        for (const std::string file : {"80 01 00", "80 03 01"}) {
            ASSERT_EQ("90 00", HexOf(simulated->Send(Hex("00 42 00 00 08" + file + " 00" + size + " 08 00 00"))));
            ASSERT_TRUE(sim::PutNewKey(Card(), static_cast<WORD>(0x8000 | Hex(file)[1]), &error)) << error;
        }
        ASSERT_TRUE(sim::AddContainer(Card(), kContainer, 0x8001, 0x8003, &error)) << error;
        ASSERT_EQ(1, Init_PCSC_Object(CRYPT_SILENT));
        // The PIN "12345678", padded with spaces on type 5 and FF on the others.
        const std::string pad = type == 5 ? " 20 20 20 20 20 20 20 20" : " FF FF FF FF FF FF FF FF";
        ASSERT_EQ("90 00", HexOf(simulated->Send(Hex("00 20 01 28 10 31 32 33 34 35 36 37 38" + pad))));
        simulated->backend().ClearLog();
    }
    // Ends the session and takes the card away, so that a test can insert another.
    void Remove() {
        if (Session().Card != 0) End_CardSession();
        simulated.reset();
        ResetSession();
    }
    void TearDown() override { Remove(), CardLayerTest::TearDown(); }
    sim::SimCard& Card() { return simulated->card(); }
    // The commands with instruction `ins` sent since the card was set up or the log cleared.
    std::vector<Bytes> Sent(BYTE ins) {
        std::vector<Bytes> out;
        for (const sim::Exchange& e : simulated->backend().Log()) if (e.command[1] == ins) out.push_back(e.command);
        return out;
    }

    std::unique_ptr<kelm::testing::ScopedSimCard> simulated;
    std::string error;
};

}  // namespace kelm::card::testing
