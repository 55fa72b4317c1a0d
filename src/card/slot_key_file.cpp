// Finding a slot's key file through the container's directory record.
#include "card/slot_key_file.h"

#include <cstring>

#include "card/apdu_transport.h"
#include "card/card_conversation.h"
#include "card/card_files.h"

namespace kelm::card {

DWORD Card_FindSlotKeyFile(const char* container, BYTE slot, BYTE* hi, BYTE* lo) {
    const CardConversation conversation;
    if (container == nullptr || hi == nullptr || lo == nullptr || (slot != SLOT_SIGNATURE && slot != SLOT_EXCHANGE)) {
        return static_cast<DWORD>(ERROR_INVALID_PARAMETER);
    }
    BYTE record[kKeyFileRecordSize] = {};
    const DWORD status = Card_FindContainer(container, record);
    if (!Card_StatusSucceeded(status)) {
        return status;
    }
    *hi = record[2 * (slot - 1)];
    *lo = record[2 * (slot - 1) + 1];
    return *lo == 0 ? static_cast<DWORD>(NTE_NO_KEY) : status;
}

DWORD Card_FindSlotKey(const char* container, BYTE slot, BYTE* hi, BYTE* lo, BYTE* info) {
    const CardConversation conversation;
    DWORD status = Card_FindSlotKeyFile(container, slot, hi, lo);
    if (!Card_StatusSucceeded(status)) {
        return status;
    }
    BYTE file_info[kFileInfoSize] = {};
    status = Card_GetFileInfo(*hi, *lo, file_info);
    if (!Card_StatusSucceeded(status)) {
        return status;
    }
    if (info != nullptr) {
        std::memcpy(info, file_info, kFileInfoSize);
    }
    return file_info[4] == 0 ? static_cast<DWORD>(NTE_NO_KEY) : status;
}

}  // namespace kelm::card
