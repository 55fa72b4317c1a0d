// The simulated card's APDU handling: any sequence of commands on any card type and protocol
// must answer with a status word, never crash, overrun or produce an answer longer than 256
// data bytes. The input steers the card: byte 0 picks the type, protocol and PIN state; then
// each command is a length byte and that many bytes, with its instruction byte mapped onto the
// card's command set so that most commands reach a handler rather than 6D00.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "sim/card_state.h"
#include "sim/sim_card.h"

namespace {

using kelm::sim::SimCard;

const uint8_t kInstructions[] = {0xA4, 0x4C, 0x44, 0x4A, 0x42, 0x72, 0x74, 0x7E, 0x7A,
                                 0x7C, 0x80, 0x86, 0x20, 0x4E, 0x46, 0xC0, 0x12};
const int kTypes[] = {1, 3, 5, 6, 7};

// One prepared card per type and protocol: key files with keys, a certificate and containers,
// so that the key and certificate commands have something to work on. Key generation is slow,
// so the fuzzed commands never generate; they work on copies of these.
const SimCard& Template(int type_index, bool t0) {
    static SimCard* cards[10] = {};  // kept for the life of the process
    SimCard*& card = cards[type_index * 2 + (t0 ? 1 : 0)];
    if (card) return *card;
    kelm::sim::NewCardOptions options;
    options.type = kTypes[type_index];
    options.protocol = t0 ? kelm::sim::CardProtocol::T0 : kelm::sim::CardProtocol::T1;
    std::string error;
    kelm::sim::SimCardPtr made = kelm::sim::NewCardImage("", options, &error);
    if (!made || !kelm::sim::PutNewKey(*made, 0x8001, &error) || !kelm::sim::AddKeyFile(*made, 0x8002, 1, &error) ||
        !kelm::sim::PutCertificate(*made, 0x8002, std::vector<BYTE>(600, 0x30), &error) ||
        !kelm::sim::AddContainer(*made, "fuzz", 0x8001, 0x8002, &error) || !kelm::sim::AddContainer(*made, "other", 0, 0, &error))
        std::abort();
    card = made.release();
    return *card;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    int type_index = data[0] % 5;
    bool t0 = (data[0] & 0x08) != 0;
    SimCard card = Template(type_index, t0);  // a private copy
    if (data[0] & 0x10) kelm::sim::CardExchange(card, std::vector<BYTE>{0x00, 0x20, 0x01, 0x28, 0x10, '1', '2', '3', '4', '5', '6', '7', '8',
                                                                         0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}
                                                              .data(),
                                                          21);
    size_t pos = 1;
    while (pos < size) {
        size_t length = data[pos++];
        if (length > size - pos) length = size - pos;
        std::vector<BYTE> apdu(data + pos, data + pos + length);
        pos += length;
        if (apdu.size() >= 2) {
            apdu[0] = (apdu[0] & 0x80) ? 0x80 : 0x00;
            apdu[1] = kInstructions[apdu[1] % sizeof kInstructions];
            if (apdu[1] == 0x42 && apdu.size() >= 4) apdu[3] = 0x00;  // never generate a key
        }
        std::vector<BYTE> answer = kelm::sim::CardExchange(card, apdu.data(), apdu.size());
        if (answer.size() < 2 || answer.size() > 258) std::abort();
    }
    for (auto& file : card.image.key_files) kelm::sim::WipeKey(&file.key);
    return 0;
}
