// Card_SendAPDU: the one road of every command to the card.
#pragma once

#include <cstddef>

#include "kelm/windows_types.h"

namespace kelm::card {

// Response buffers handed to Card_SendAPDU hold at least this much (300 received less SW1 SW2).
constexpr size_t kApduResponseCapacity = 298;

// A card that keeps answering 6Cxx (wrong length) is given this many resends; after the last
// one its 6Cxx is returned as the status.
//
// A resend always carries the length the card named, even when the first command went without
// an Le byte (T=0 without data and Le 0, or T=1 without the Le flag), so the resend is one byte
// longer than the first command. Resent unchanged, such a command reaches the card exactly as
// before (on T=0 the reader sends P3 = 00, that is 256 bytes), and the card can only repeat its
// 6Cxx until the rounds run out; with the named length it answers with its data.
constexpr int kMaxWrongLengthRounds = 4;

// Builds the command APDU (CLA INS P1 P2 [Lc data] [Le]) by the protocol's Le rules, exchanges
// it on the session's card handle, follows 6Cxx (resend with Le = xx) and 61xx (GET RESPONSE),
// copies the answer's data to `response` and returns the status value: 0 for 90 00, the PC/SC
// error when the exchange failed, else SW1 * 256 + SW2. *le is in: the expected length
// (0 = 256), out: the number of data bytes delivered, modulo 256.
//
// Bounds: an answer with more data than `response_capacity` copies nothing and returns
// SCARD_E_INSUFFICIENT_BUFFER; an answer shorter than the two status bytes returns
// SCARD_F_COMM_ERROR. `response` may be null when `response_capacity` is 0. When `delivered`
// is given it receives the exact number of data bytes copied (0 when only a status came back).
DWORD Card_SendAPDU(BYTE cla, BYTE ins, BYTE p1, BYTE p2, BYTE lc, BYTE* le, const BYTE* data, BYTE* response,
                    int le_on_t1, size_t response_capacity = kApduResponseCapacity, size_t* delivered = nullptr);

// Whether a status says the connection no longer carries the card's state: the card pulled,
// reset, unpowered or mute, the handle or reader lost, or the PC/SC service gone. Such a failure also clears the session's
// PIN-verified flag, so the next PIN step reconnects.
bool Card_ConnectionLost(DWORD status);

// A status is successful when it is 0, 0x9000 or 0x61xx.
constexpr bool Card_StatusSucceeded(DWORD status) {
    return status == 0 || status == 0x9000 || (status & 0xFFFFFF00u) == 0x6100;
}

}  // namespace kelm::card
