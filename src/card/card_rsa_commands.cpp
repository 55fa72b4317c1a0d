// RSA OPERATION on the slot's key file: the private-key operation in each card type's command
// sequence (one 128-byte command, or two for a 256-byte block on types 5 and 6) and the
// 1024-bit public-key operations.
#include <cstring>

#include "card/apdu_transport.h"
#include "card/card_conversation.h"
#include "card/card_files.h"
#include "card/rsa_operations.h"
#include "card/slot_key_file.h"

namespace kelm::card {
namespace {

constexpr BYTE kRsaIns = 0x4E;
constexpr BYTE kHalf = static_cast<BYTE>(kRsaBlock1024);  // Lc of every RSA OPERATION

// The slot must hold a key, and its file must be selected for the RSA command that follows.
DWORD SelectSlotKey(const char* container, BYTE slot) {
    BYTE hi = 0, lo = 0;
    const DWORD status = Card_FindSlotKey(container, slot, &hi, &lo, nullptr);
    if (!Card_StatusSucceeded(status)) {
        return status;
    }
    return Card_SelectFile(hi, lo);
}

// One RSA OPERATION with a 128-byte half of the block; its answer lands at the start of `out`
// (at most `capacity` bytes), and *delivered says how much came.
DWORD RsaCommand(BYTE p1, BYTE p2, const BYTE* half, BYTE le, BYTE* out, size_t capacity, size_t* delivered) {
    return Card_SendAPDU(0x00, kRsaIns, p1, p2, kHalf, &le, half, out, 1, capacity, delivered);
}

DWORD PrivateOperation(const char* container, BYTE slot, const BYTE* block, DWORD* length, BYTE* out) {
    const CardConversation conversation;
    if (block == nullptr || length == nullptr || out == nullptr) {
        return static_cast<DWORD>(ERROR_INVALID_PARAMETER);
    }
    const size_t n = *length;
    const DWORD card_type = Card_GetCardType();
    // Type 6 always sends both halves, so its block must have two.
    if ((n != kRsaBlock1024 && n != kRsaBlock2048) || (card_type == 6 && n != kRsaBlock2048)) {
        return static_cast<DWORD>(NTE_BAD_LEN);
    }
    DWORD status = SelectSlotKey(container, slot);
    if (status != 0) {
        return status;
    }
    std::memset(out, 0, n);
    size_t delivered = 0;
    const bool two_commands = card_type == 6 || (card_type == 5 && n == kRsaBlock2048);
    if (two_commands) {
        // The first half is announced with 00 01; the second completes the operation (01 00 on
        // type 5, 00 00 on type 6) and brings the whole result.
        status = RsaCommand(0x00, 0x01, block, card_type == 6 ? kHalf : 0x00, out, n, &delivered);
        if (!Card_StatusSucceeded(status)) {
            return status;
        }
        const BYTE p1 = card_type == 5 ? 0x01 : 0x00;
        status = RsaCommand(p1, 0x00, block + kHalf, 0x00, out, n, &delivered);
    } else {
        status = RsaCommand(0x00, 0x00, block, card_type == 5 ? 0x00 : kHalf, out, n, &delivered);
    }
    if (!Card_StatusSucceeded(status)) {
        return status;
    }
    if (card_type == 5 || card_type == 6) {
        // These types report the block length whatever the card said; a result of another
        // length would pass zero bytes off as part of it.
        return delivered == n ? status : static_cast<DWORD>(NTE_BAD_DATA);
    }
    *length = static_cast<DWORD>(delivered);
    return status;
}

DWORD PublicOperation(const char* container, BYTE slot, BYTE p2, const BYTE* block, DWORD* length, BYTE* out) {
    const CardConversation conversation;
    if (block == nullptr || length == nullptr || out == nullptr) {
        return static_cast<DWORD>(ERROR_INVALID_PARAMETER);
    }
    DWORD status = SelectSlotKey(container, slot);
    if (status != 0) {
        return status;
    }
    size_t delivered = 0;
    status = RsaCommand(0x01, p2, block, kHalf, out, *length, &delivered);
    if (Card_StatusSucceeded(status)) {
        *length = static_cast<DWORD>(delivered);
    }
    return status;
}

}  // namespace

DWORD Card_RSAPrivateSign(const char* container, BYTE slot, const BYTE* block, DWORD* length, BYTE* out) {
    return PrivateOperation(container, slot, block, length, out);
}

DWORD Card_RSAPrivateDecrypt(const char* container, BYTE slot, const BYTE* block, DWORD* length, BYTE* out) {
    return PrivateOperation(container, slot, block, length, out);
}

DWORD Card_RSAPublicEncrypt(const char* container, BYTE slot, const BYTE* block, DWORD* length, BYTE* out) {
    return PublicOperation(container, slot, 0x00, block, length, out);
}

DWORD Card_RSAPublicVerify(const char* container, BYTE slot, const BYTE* block, DWORD* length, BYTE* out) {
    return PublicOperation(container, slot, 0x01, block, length, out);
}

}  // namespace kelm::card
