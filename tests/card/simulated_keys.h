// The card layer over a simulated card: Insert() puts a fresh card of a type in the reader and
// connects with the PIN verified; with `keys`, the container "keys" has its signature key in
// 80 01 and its exchange key in 80 03, of the card type's size or 2048 bits. Tests read the
// card's own view (keys, certificates, containers, the exchange log) to check the card layer.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "scripted_card.h"

namespace kelm::card::testing {

constexpr const char* kContainer = "keys";
// Each container's (signature file, exchange file), by name.
using Directory = std::map<std::string, std::pair<WORD, WORD>>;

class SimulatedCardTest : public CardLayerTest {
protected:
    void Insert(int type, sim::CardProtocol protocol = sim::CardProtocol::T1, bool keys = true, bool large = false) {
        Remove();
        kelm::testing::SimCardSetup setup;
        setup.type = type, setup.protocol = protocol;
        simulated = std::make_unique<kelm::testing::ScopedSimCard>(setup);
        const std::string size = large || type == 6 ? " 04" : " 02";
        for (const std::string file : {"80 01 00", "80 03 01"}) {
            if (!keys) break;
            ASSERT_EQ("90 00", HexOf(simulated->Send(Hex("00 42 00 00 08" + file + " 00" + size + " 08 00 00"))));
            ASSERT_TRUE(sim::PutNewKey(Card(), static_cast<WORD>(0x8000 | Hex(file)[1]), &error)) << error;
        }
        ASSERT_TRUE(!keys || sim::AddContainer(Card(), kContainer, 0x8001, 0x8003, &error)) << error;
        Connect();
    }
    // A connection with the PIN "12345678" verified (padded with spaces on type 5, FF on the others).
    void Connect() {
        ASSERT_EQ(1, Init_PCSC_Object(CRYPT_SILENT));
        const std::string pad = sim::CardType(Card()) == 5 ? " 20 20 20 20 20 20 20 20" : " FF FF FF FF FF FF FF FF";
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
    Directory Containers() {
        Directory out;
        for (const sim::ContainerInfo& c : sim::ContainersOf(Card())) out[c.name] = {c.signature_file, c.exchange_file};
        return out;
    }
    Bytes Modulus(WORD file) {
        Bytes modulus;
        return sim::PublicKeyOf(Card(), file, &modulus, nullptr) ? modulus : Bytes{};
    }

    std::unique_ptr<kelm::testing::ScopedSimCard> simulated;
    std::string error;
};

}  // namespace kelm::card::testing
