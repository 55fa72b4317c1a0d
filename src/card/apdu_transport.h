// Card_SendAPDU: the one road of every command to the card.
#pragma once

#include <cstddef>

#include "kelm/windows_types.h"

namespace kelm::card {

// Response buffers handed to Card_SendAPDU hold at least this much (300 received less SW1 SW2).
constexpr size_t kApduResponseCapacity = 298;

// Builds the command APDU (CLA INS P1 P2 [Lc data] [Le]) by the protocol's Le rules, exchanges
// it on the session's card handle, follows 6Cxx (resend with Le = xx) and 61xx (GET RESPONSE),
// copies the answer's data to `response` (never more than `response_capacity` bytes) and
// returns the status value: 0 for 90 00, the PC/SC error when the exchange failed, else
// SW1 * 256 + SW2. *le is in: the expected length (0 = 256), out: the bytes delivered.
DWORD Card_SendAPDU(BYTE cla, BYTE ins, BYTE p1, BYTE p2, BYTE lc, BYTE* le, const BYTE* data, BYTE* response,
                    int le_on_t1, size_t response_capacity = kApduResponseCapacity);

// A status is successful when it is 0, 0x9000 or 0x61xx.
constexpr bool Card_StatusSucceeded(DWORD status) {
    return status == 0 || status == 0x9000 || (status & 0xFFFFFF00u) == 0x6100;
}

}  // namespace kelm::card
