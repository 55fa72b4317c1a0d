#include "support/sim_fixture.h"

#include <cctype>
#include <cstdio>

namespace kelm::testing {

sim::SimCardPtr NewSimCard(const SimCardSetup& setup) {
    sim::NewCardOptions options;
    options.type = setup.type;
    options.protocol = setup.protocol;
    options.pin = setup.pin;
    options.pin_pad = setup.pin_pad;
    options.pin_pad_entry = setup.pin_pad_entry;
    options.required_cert_code = setup.required_cert_code;
    std::string error;
    sim::SimCardPtr card = sim::NewCardImage(setup.image_path, options, &error);
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

sim::SimCard& ScopedSimCard::card() {
    sim::SimCard* card = backend_->CardIn(reader_);
    if (!card) {
        ADD_FAILURE() << "no card in " << reader_;
        std::abort();
    }
    return *card;
}

sim::SimCard& ScopedSimCard::AddReaderWithCard(const std::string& reader, const SimCardSetup& setup) {
    backend_->AddReader(reader);
    backend_->InsertCard(reader, NewSimCard(setup));
    sim::SimCard* card = backend_->CardIn(reader);
    if (!card) {
        ADD_FAILURE() << "no card in " << reader;
        std::abort();
    }
    return *card;
}

std::vector<BYTE> ScopedSimCard::Send(const std::vector<BYTE>& apdu) { return sim::CardExchange(card(), apdu.data(), apdu.size()); }

std::vector<BYTE> Bytes(const std::string& hex) {
    std::vector<BYTE> out;
    int high = -1;
    for (char c : hex) {
        if (std::isspace(static_cast<unsigned char>(c))) continue;
        int v = std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
        if (v < 0 || v > 15) {
            ADD_FAILURE() << "not hexadecimal: " << hex;
            return out;
        }
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<BYTE>(high << 4 | v));
            high = -1;
        }
    }
    if (high >= 0) ADD_FAILURE() << "odd number of hex digits: " << hex;
    return out;
}

std::string HexOf(const std::vector<BYTE>& bytes) {
    std::string out;
    char buf[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", bytes[i]);
        out += buf;
    }
    return out;
}

}  // namespace kelm::testing
