// The card's command set, independent of the transmission protocol: a parsed command in, a
// status word and response data out. Framing (T=0 / T=1, GET RESPONSE, 6Cxx) is sim_card.cpp's.
#pragma once

#include <cstddef>
#include <functional>
#include <vector>

#include "sim/card_state.h"

namespace kelm::sim {

struct Command {
    BYTE cla = 0, ins = 0, p1 = 0, p2 = 0;
    const BYTE* data = nullptr;
    size_t lc = 0;       // number of data bytes
    bool has_le = false;
    size_t le = 0;       // 1..256 when has_le
};

struct Reply {
    WORD sw = 0x9000;
    std::vector<BYTE> data;
    // Continuation state advances only when the data actually reaches the host (not on 6Cxx).
    std::function<void()> on_delivery;
    bool image_changed = false;  // the image must be saved
};

// Status words of this card.
namespace sw {
constexpr WORD kOk = 0x9000;
constexpr WORD kFileMissing = 0x6602;       // SELECT FILE of a missing file; CREATE CONTAINER of an existing name
constexpr WORD kPinLocked = 0x6620;
constexpr WORD kCertTooLarge = 0x6640;
constexpr WORD kMemoryFailure = 0x6581;     // the image could not be saved
constexpr WORD kWrongLength = 0x6700;
constexpr WORD kSecurity = 0x6982;          // PIN not verified; certificate code refused
constexpr WORD kConditions = 0x6985;        // continuation without a start; nothing to GET RESPONSE
constexpr WORD kNoCurrentFile = 0x6986;     // the command needs another kind of file selected
constexpr WORD kWrongData = 0x6A80;
constexpr WORD kNotFound = 0x6A82;          // application or container not found
constexpr WORD kDirectoryFull = 0x6A84;
constexpr WORD kWrongP1P2 = 0x6A86;
constexpr WORD kNoKey = 0x6A88;             // the selected key file holds no key
constexpr WORD kFileExists = 0x6A89;
constexpr WORD kInsNotSupported = 0x6D00;
constexpr WORD kClaNotSupported = 0x6E00;
constexpr WORD kNoPreciseDiagnosis = 0x6F00;
}  // namespace sw

Reply RunCommand(SimCard& card, const Command& command);

}  // namespace kelm::sim
