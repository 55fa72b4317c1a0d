// Card_SendAPDU: command framing by protocol, the 6Cxx and 61xx second exchanges, delivery of
// the answer bounded by the caller's buffer, and the status value.
#include "card/apdu_transport.h"

#include <cstring>

#include "card/card_conversation.h"
#include "card/reader_session.h"
#include "crypto/secure_zero.h"
#include "kelm/winapi.h"

namespace kelm::card {
namespace {

constexpr size_t kCommandBufferSize = 500;
constexpr size_t kResponseBufferSize = 500;
constexpr DWORD kReceiveLength = 300;             // offered for the command itself
constexpr DWORD kGetResponseReceiveLength = 256;  // offered for GET RESPONSE
constexpr size_t kHeaderLength = 4;

// The command and answer of one exchange. They carry the PIN, the certificate write code,
// unwrapped session keys and decrypted blocks, so they are wiped on every way out.
struct ExchangeBuffers {
    BYTE command[kCommandBufferSize] = {};
    BYTE answer[kResponseBufferSize] = {};
    ExchangeBuffers() = default;
    ExchangeBuffers(const ExchangeBuffers&) = delete;
    ExchangeBuffers& operator=(const ExchangeBuffers&) = delete;
    ~ExchangeBuffers() {
        crypto::SecureZero(command, sizeof command);
        crypto::SecureZero(answer, sizeof answer);
    }
};

}  // namespace

bool Card_ConnectionLost(DWORD status) {
    switch (static_cast<LONG>(status)) {
    case SCARD_W_REMOVED_CARD:
    case SCARD_W_RESET_CARD:
    case SCARD_W_UNPOWERED_CARD:
    case SCARD_W_UNRESPONSIVE_CARD:
    case SCARD_E_NO_SMARTCARD:
    case SCARD_E_TIMEOUT:
    case SCARD_E_READER_UNAVAILABLE:
    case SCARD_E_NO_SERVICE:
    case SCARD_E_SERVICE_STOPPED:
    case SCARD_E_INVALID_HANDLE:
    case SCARD_E_UNKNOWN_READER:
    case SCARD_E_NOT_TRANSACTED:
    case SCARD_F_COMM_ERROR:
        return true;
    default:
        return false;
    }
}

namespace {

// One exchange on the session's connection. The answer length is checked against what was
// offered, so nothing past the response buffer is ever read, whatever the backend reports.
DWORD Exchange(const BYTE* command, DWORD command_length, BYTE* answer, DWORD offered, DWORD* answer_length) {
    CardSession& session = Session();
    if (session.Card == 0) {
        // No connection (never made, or ended): the exchange fails without reaching PC/SC.
        return static_cast<DWORD>(SCARD_E_INVALID_HANDLE);
    }
    if (session.SendPci == nullptr) {
        // Connected with a protocol that is neither T=0 nor T=1: nothing to send on.
        return static_cast<DWORD>(SCARD_E_PROTO_MISMATCH);
    }
    DWORD length = offered;
    LONG rc = SCardTransmit(session.Card, session.SendPci, command, command_length, nullptr, answer, &length);
    if (rc != SCARD_S_SUCCESS) {
        if (Card_ConnectionLost(static_cast<DWORD>(rc))) {
            // Whatever the card had verified is gone with the connection: the next operation
            // that needs the PIN goes through VerifyPIN, whose probe reconnects, instead of
            // sending private-key commands on a connection that can no longer carry them.
            session.PinVerified = 0;
        }
        return static_cast<DWORD>(rc);
    }
    if (length < 2 || length > offered) {
        return static_cast<DWORD>(SCARD_F_COMM_ERROR);
    }
    *answer_length = length;
    return 0;
}

}  // namespace

DWORD Card_SendAPDU(BYTE cla, BYTE ins, BYTE p1, BYTE p2, BYTE lc, BYTE* le, const BYTE* data, BYTE* response,
                    int le_on_t1, size_t response_capacity, size_t* delivered) {
    const CardConversation conversation;
    if (delivered != nullptr) {
        *delivered = 0;
    }
    if (le == nullptr || (lc != 0 && data == nullptr)) {
        return static_cast<DWORD>(SCARD_E_INVALID_PARAMETER);
    }
    if (response == nullptr) {
        response_capacity = 0;
    }

    ExchangeBuffers buffers;
    BYTE* const command = buffers.command;
    BYTE* const answer = buffers.answer;

    command[0] = cla;
    command[1] = ins;
    command[2] = p1;
    command[3] = p2;
    DWORD length = kHeaderLength;
    if (lc != 0) {
        command[length++] = lc;
        std::memcpy(command + length, data, lc);
        length += lc;
    }

    const SCARD_IO_REQUEST* pci = Session().SendPci;
    const DWORD protocol = pci != nullptr ? pci->dwProtocol : SCARD_PROTOCOL_UNDEFINED;
    bool has_le = false;
    if (protocol == SCARD_PROTOCOL_T1) {
        has_le = le_on_t1 != 0;  // Le 0 then stands for 256
    } else if (protocol == SCARD_PROTOCOL_T0) {
        // On T=0 a command with data never carries P3 = Le: its output comes by 61xx.
        has_le = lc == 0 && *le != 0;
    }
    DWORD le_position = length;
    if (has_le) {
        command[length++] = *le;
    }

    DWORD answer_length = 0;
    DWORD rc = Exchange(command, length, answer, kReceiveLength, &answer_length);
    if (rc != 0) {
        return rc;
    }

    // 6Cxx: the card names the length it wants; resend with that Le. Bounded, because a card
    // that never settles would otherwise hold the caller forever.
    for (int round = 0; round < kMaxWrongLengthRounds && answer_length == 2 && answer[0] == 0x6C; ++round) {
        *le = answer[1];
        if (!has_le && (lc == 0 || protocol == SCARD_PROTOCOL_T1)) {
            // The first command went without an Le byte; the resend carries the one the card
            // asked for (a T=0 command with data never does: its output comes by 61xx).
            le_position = length++;
            has_le = true;
        }
        if (has_le) {
            command[le_position] = *le;
        }
        std::memset(answer, 0, kResponseBufferSize);
        rc = Exchange(command, length, answer, kReceiveLength, &answer_length);
        if (rc != 0) {
            return rc;
        }
    }

    // 61xx: xx bytes wait; fetch them with GET RESPONSE (a second 61xx is returned as is).
    if (answer_length == 2 && answer[0] == 0x61) {
        const BYTE available = answer[1];
        BYTE wanted = available;
        if (*le != 0 && *le < available) {
            wanted = *le;
        }
        const BYTE get_response[5] = {0x00, 0xC0, 0x00, 0x00, wanted};
        std::memset(answer, 0, kResponseBufferSize);
        rc = Exchange(get_response, sizeof get_response, answer, kGetResponseReceiveLength, &answer_length);
        if (rc != 0) {
            return rc;
        }
    }

    const size_t data_length = answer_length - 2;
    if (data_length > 0) {
        if (data_length > response_capacity) {
            return static_cast<DWORD>(SCARD_E_INSUFFICIENT_BUFFER);
        }
        std::memcpy(response, answer, data_length);
        *le = static_cast<BYTE>(data_length);
        if (delivered != nullptr) {
            *delivered = data_length;
        }
    }
    const BYTE sw1 = answer[answer_length - 2];
    const BYTE sw2 = answer[answer_length - 1];
    if (sw1 == 0x90 && sw2 == 0x00) {
        return 0;
    }
    return static_cast<DWORD>(sw1) << 8 | sw2;
}

}  // namespace kelm::card
