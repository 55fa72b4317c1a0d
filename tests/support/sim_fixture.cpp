#include "support/sim_fixture.h"

#include <cctype>
#include <cstdio>

namespace kelm::testing {

sim::SimCardPtr NewSimCard(const SimCardSetup& setup) {
    std::string error;
    sim::SimCardPtr card = sim::NewCardImage(setup.image_path, setup, &error);
    if (!card) ADD_FAILURE() << "simulated card not made: " << error;
    return card;
}

ScopedSimCard::ScopedSimCard(const SimCardSetup& setup) : backend_(std::make_unique<sim::InProcessBackend>()) {
    sim::SimCardPtr card = NewSimCard(setup);
    backend_->AddReader(reader_);
    if (card) backend_->InsertCard(reader_, std::move(card));
    previous_ = platform::CurrentPcscBackend();
    platform::SetPcscBackend(backend_.get());
}

ScopedSimCard::~ScopedSimCard() { platform::SetPcscBackend(previous_ == platform::PcscLiteBackend() ? nullptr : previous_); }

sim::SimCard& ScopedSimCard::CardIn(const std::string& reader) {
    sim::SimCard* card = backend_->CardIn(reader);
    if (!card) {
        ADD_FAILURE() << "no card in " << reader;
        std::abort();
    }
    return *card;
}

sim::SimCard& ScopedSimCard::card() { return CardIn(reader_); }

sim::SimCard& ScopedSimCard::AddReaderWithCard(const std::string& reader, const SimCardSetup& setup) {
    backend_->AddReader(reader);
    backend_->InsertCard(reader, NewSimCard(setup));
    return CardIn(reader);
}

std::vector<BYTE> ScopedSimCard::Send(const std::vector<BYTE>& apdu) { return sim::CardExchange(card(), apdu.data(), apdu.size()); }

std::vector<BYTE> Bytes(const std::string& hex) {
    std::string digits;
    for (char c : hex) {
        if (!std::isspace(static_cast<unsigned char>(c))) digits += c;
    }
    std::vector<BYTE> out;
    if (digits.size() % 2 != 0 || digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
        ADD_FAILURE() << "not hexadecimal bytes: " << hex;
        return out;
    }
    for (size_t i = 0; i < digits.size(); i += 2) out.push_back(static_cast<BYTE>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return out;
}

std::string HexOf(const std::vector<BYTE>& bytes) {
    std::string out;
    char buf[4];
    for (BYTE b : bytes) {
        std::snprintf(buf, sizeof buf, "%02X ", b);
        out += buf;
    }
    if (!out.empty()) out.pop_back();
    return out;
}

}  // namespace kelm::testing
