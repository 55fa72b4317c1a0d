// A simulated card behind the PC/SC functions: an in-process backend with one reader holding a
// fresh card of the chosen type and protocol, installed as the process's PC/SC backend for the
// lifetime of the object (the previous backend comes back afterwards).
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "sim/inprocess_backend.h"
#include "sim/sim_card.h"

namespace kelm::testing {

constexpr const char* kSimReaderName = "KELM Simulated Reader 0";
constexpr const char* kSimPin = "12345678";

// The card's options (type, protocol, PIN, PIN pad, required certificate code) and where it lives.
struct SimCardSetup : sim::NewCardOptions {
    std::string image_path;  // empty: the card lives in memory only
};

// A card made to `setup` (image_path empty: in memory), for further readers of a test.
sim::SimCardPtr NewSimCard(const SimCardSetup& setup);

class ScopedSimCard {
public:
    explicit ScopedSimCard(const SimCardSetup& setup = SimCardSetup{});
    ~ScopedSimCard();
    ScopedSimCard(const ScopedSimCard&) = delete;
    ScopedSimCard& operator=(const ScopedSimCard&) = delete;

    sim::InProcessBackend& backend() { return *backend_; }
    sim::SimCard& card();  // the card in the reader (fails the test when it was removed)
    const std::string& reader() const { return reader_; }

    // Another reader, listed after the existing ones, holding a card made to `setup` or empty.
    sim::SimCard& AddReaderWithCard(const std::string& reader, const SimCardSetup& setup);
    void AddEmptyReader(const std::string& reader) { backend_->AddReader(reader); }

    // Sends an APDU straight to the card model, bypassing PC/SC: for setting up a test.
    std::vector<BYTE> Send(const std::vector<BYTE>& apdu);

private:
    sim::SimCard& CardIn(const std::string& reader);  // fails the test when the reader is empty

    std::unique_ptr<sim::InProcessBackend> backend_;
    platform::PcscBackend* previous_ = nullptr;
    std::string reader_ = kSimReaderName;
};

// A gtest fixture with a card; override Setup() to choose another type, protocol or PIN.
class SimCardTest : public ::testing::Test {
protected:
    virtual SimCardSetup Setup() const { return SimCardSetup{}; }
    void SetUp() override { sim_ = std::make_unique<ScopedSimCard>(Setup()); }
    void TearDown() override { sim_.reset(); }
    ScopedSimCard& sim() { return *sim_; }

private:
    std::unique_ptr<ScopedSimCard> sim_;
};

// Hexadecimal text ("00 A4 02 00 02 80 10", spaces optional) to bytes, and back.
std::vector<BYTE> Bytes(const std::string& hex);
std::string HexOf(const std::vector<BYTE>& bytes);

}  // namespace kelm::testing
