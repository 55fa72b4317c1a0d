// Helpers shared by the simulator's tests: a card in memory and APDU shorthands.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/sim_card.h"
#include "support/sim_fixture.h"

namespace kelm::sim::test {

using kelm::testing::Bytes;
using kelm::testing::HexOf;

inline SimCardPtr MemoryCard(int type, CardProtocol protocol = CardProtocol::T1, const std::string& pin = "12345678") {
    kelm::testing::SimCardSetup setup;
    setup.type = type;
    setup.protocol = protocol;
    setup.pin = pin;
    return kelm::testing::NewSimCard(setup);
}

inline std::vector<BYTE> Send(SimCard& card, const std::vector<BYTE>& apdu) { return CardExchange(card, apdu.data(), apdu.size()); }
inline std::vector<BYTE> Send(SimCard& card, const std::string& hex) { return Send(card, Bytes(hex)); }

inline WORD StatusOf(const std::vector<BYTE>& answer) {
    if (answer.size() < 2) return 0;
    return static_cast<WORD>(answer[answer.size() - 2] << 8 | answer[answer.size() - 1]);
}
inline std::vector<BYTE> DataOf(const std::vector<BYTE>& answer) {
    return answer.size() < 2 ? std::vector<BYTE>{} : std::vector<BYTE>(answer.begin(), answer.end() - 2);
}

inline std::vector<BYTE> Concat(std::vector<BYTE> a, const std::vector<BYTE>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// VERIFY with the PIN padded to 16 bytes as the card type expects.
inline std::vector<BYTE> VerifyApdu(int type, const std::string& pin) {
    std::vector<BYTE> apdu = Bytes("00 20 01 28 10");
    std::vector<BYTE> block(16, type == 5 ? 0x20 : 0xFF);
    std::copy(pin.begin(), pin.end(), block.begin());
    return Concat(apdu, block);
}

inline std::vector<BYTE> NameField(const std::string& name) {
    std::vector<BYTE> field(36, 0);
    std::copy(name.begin(), name.begin() + static_cast<long>(std::min<size_t>(name.size(), 36)), field.begin());
    return field;
}

// The 43-byte directory record.
inline std::vector<BYTE> Record(const std::string& name, WORD sig, WORD exch) {
    return Concat(Concat({0}, NameField(name)),
                  {0, 4, static_cast<BYTE>(sig >> 8), static_cast<BYTE>(sig), static_cast<BYTE>(exch >> 8), static_cast<BYTE>(exch)});
}

// A DER-shaped certificate body of exactly `length` bytes (length >= 132).
inline std::vector<BYTE> FakeCertificate(size_t length) {
    std::vector<BYTE> der{0x30, 0x82, static_cast<BYTE>((length - 4) >> 8), static_cast<BYTE>(length - 4)};
    for (size_t i = 4; i < length; ++i) der.push_back(static_cast<BYTE>(i * 7));
    return der;
}

inline std::vector<BYTE> CreateKeyFileApdu(WORD id, BYTE kind, BYTE size_code) {
    return Concat(Bytes("00 42 00 00 08"), {static_cast<BYTE>(id >> 8), static_cast<BYTE>(id), kind, 0, size_code, 0x08, 0x00, 0});
}
inline std::vector<BYTE> SelectFileApdu(WORD id) { return Concat(Bytes("00 A4 02 00 02"), {static_cast<BYTE>(id >> 8), static_cast<BYTE>(id)}); }

}  // namespace kelm::sim::test
