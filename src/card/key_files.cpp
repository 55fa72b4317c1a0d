// Key files: creating one, and moving (or, onto itself, erasing) a key.
#include "card/apdu_transport.h"
#include "card/card_conversation.h"
#include "card/card_files.h"

namespace kelm::card {

DWORD Card_CreateKeyFile(BYTE hi, BYTE lo, BYTE key_kind, const BYTE* capacity, BYTE last_byte) {
    const CardConversation conversation;
    if (capacity == nullptr) {
        return static_cast<DWORD>(ERROR_INVALID_PARAMETER);
    }
    const BYTE size_code = Card_GetCardType() == 6 ? 4 : 2;  // 2048- or 1024-bit keys
    const BYTE data[8] = {hi, lo, key_kind, 0x00, size_code, capacity[0], capacity[1], last_byte};
    BYTE reply[kApduResponseCapacity];
    BYTE le = 0x00;
    return Card_SendAPDU(0x00, 0x42, 0x00, 0x00, sizeof data, &le, data, reply, 0);
}

DWORD Card_MoveKey(BYTE source_hi, BYTE source_lo, BYTE dest_hi, BYTE dest_lo) {
    const BYTE data[4] = {source_hi, source_lo, dest_hi, dest_lo};
    BYTE reply[kApduResponseCapacity];
    BYTE le = 0x00;
    return Card_SendAPDU(0x00, 0x72, 0x00, 0x00, sizeof data, &le, data, reply, 0);
}

}  // namespace kelm::card
