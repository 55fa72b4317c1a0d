// Selecting a file, its 6-byte information, and reading its certificate in pieces.
#include <cstring>

#include "card/apdu_transport.h"
#include "card/card_conversation.h"
#include "card/card_files.h"

namespace kelm::card {
namespace {

constexpr size_t kFileInfoAnswer = 0x16;       // card types other than 5: up to 22 bytes
constexpr size_t kFileInfoAnswerType5 = 86;    // card type 5: the longer answer
// Continuation byte and data of one READ FILE answer, in a buffer with room to spare.
constexpr size_t kPieceBuffer = kApduResponseCapacity;

}  // namespace

DWORD Card_SelectFile(BYTE hi, BYTE lo) {
    const BYTE file[2] = {hi, lo};
    BYTE le = 0;
    BYTE answer[kApduResponseCapacity];
    return Card_SendAPDU(0x00, 0xA4, 0x02, 0x00, sizeof file, &le, file, answer, 0);
}

DWORD Card_GetFileInfo(BYTE hi, BYTE lo, BYTE* info) {
    const CardConversation conversation;
    if (info == nullptr) {
        return static_cast<DWORD>(ERROR_INVALID_PARAMETER);
    }
    DWORD status = Card_SelectFile(hi, lo);
    if (!Card_StatusSucceeded(status)) {
        return status;
    }
    if (Card_GetCardType() == 5) {
        BYTE answer[kFileInfoAnswerType5] = {};
        BYTE le = 0x00;
        status = Card_SendAPDU(0x00, 0x4C, 0x00, 0x00, 0, &le, nullptr, answer, 1, sizeof answer);
        if (!Card_StatusSucceeded(status)) {
            return status;
        }
        // This card type answers the same fields in another order.
        const BYTE ordered[kFileInfoSize] = {answer[1], answer[2], answer[4], answer[5], answer[6], answer[0]};
        std::memcpy(info, ordered, kFileInfoSize);
        return status;
    }
    BYTE answer[kFileInfoAnswer] = {};
    BYTE le = static_cast<BYTE>(kFileInfoAnswer);
    status = Card_SendAPDU(0x00, 0x4C, 0x00, 0x00, 0, &le, nullptr, answer, 1, sizeof answer);
    if (!Card_StatusSucceeded(status)) {
        return status;
    }
    std::memcpy(info, answer, kFileInfoSize);
    return status;
}

DWORD Card_ReadFile(DWORD /*length*/, BYTE* buffer, size_t capacity) {
    const CardConversation conversation;
    if (buffer == nullptr) {
        return STATUS_NULL_BUFFER;
    }
    const bool type5 = Card_GetCardType() == 5;
    const BYTE ins = type5 ? 0x4A : 0x44;
    const BYTE p2 = type5 ? 0x00 : 0x01;
    const size_t piece_size = type5 ? kReadPieceSizeType5 : kReadPieceSize;

    BYTE p1 = 0x00;
    BYTE le = type5 ? 0x00 : static_cast<BYTE>(kReadPieceSize + 1);
    for (size_t piece = 0;; ++piece) {
        BYTE answer[kPieceBuffer] = {};
        size_t delivered = 0;
        const DWORD status = Card_SendAPDU(0x00, ins, p1, p2, 0, &le, nullptr, answer, 1, sizeof answer, &delivered);
        if (!Card_StatusSucceeded(status)) {
            return status;
        }
        if (delivered == 0) {
            return status;  // no continuation byte: nothing more to read
        }
        const size_t data_length = delivered - 1;
        const size_t offset = piece * piece_size;
        // Pieces land at whole-piece offsets; a card that sends more than the buffer holds (or
        // never says it is done) stops here instead of writing past it.
        if (offset > capacity || data_length > capacity - offset) {
            return static_cast<DWORD>(SCARD_E_INSUFFICIENT_BUFFER);
        }
        std::memcpy(buffer + offset, answer + 1, data_length);
        const BYTE continuation = answer[0];
        if (continuation == 0) {
            return status;
        }
        p1 = 0x01;
        le = type5 ? 0x00 : continuation;
    }
}

}  // namespace kelm::card
