// The container directory (80 10): listing, finding, creating with the clean-up of key-less
// leftovers, writing key files into a record, deleting, and reading a container's status.
#include <cstring>

#include "card/apdu_transport.h"
#include "card/card_conversation.h"
#include "card/card_files.h"
#include "card/container_record.h"
#include "kelm/winapi.h"

namespace kelm::card {
namespace {

constexpr size_t kNamesPerAnswerMax = (kApduResponseCapacity + 34) / kContainerNameBytes;
// Room for every name one LIST answer can carry, past the continuation byte.
constexpr size_t kListAnswerBuffer = 1 + kNamesPerAnswerMax * kContainerNameBytes;
// A conforming card lists its six or seven containers in one or two answers; a card that keeps
// announcing more after this many is not believed.
constexpr int kMaxListRounds = 64;
// Names the clean-up before a creation looks at; more than a card can hold.
constexpr size_t kCleanupNames = 32;
constexpr BYTE kType7LastKeyFile = 0x07;
// The name count is one byte.
constexpr size_t kMaxListedNames = 0xFF;

DWORD InvalidParameter() { return static_cast<DWORD>(ERROR_INVALID_PARAMETER); }

DWORD SelectDirectory() { return Card_SelectFile(FILE_HI, DIRECTORY_FILE_LO); }

// Walks the LIST CONTAINERS answers; `visit` gets each answer's names (36 bytes each) and
// returns false to stop early.
template <typename Visit>
DWORD WalkContainerNames(Visit visit) {
    BYTE p1 = 0x00;
    BYTE le = 0x00;
    for (int round = 0; round < kMaxListRounds; ++round) {
        BYTE answer[kListAnswerBuffer] = {};
        size_t delivered = 0;
        const DWORD status =
            Card_SendAPDU(0x00, 0x74, p1, 0x00, 0, &le, nullptr, answer, 1, kApduResponseCapacity, &delivered);
        if (!Card_StatusSucceeded(status)) {
            return status;
        }
        if (delivered == 0) {
            return status;  // no continuation byte: the listing is over
        }
        // A partial last name counts as a name; its missing bytes read as zeros.
        const size_t names = (delivered + 34) / kContainerNameBytes;
        if (!visit(answer + 1, names)) {
            return status;
        }
        const BYTE continuation = answer[0];
        if (continuation == 0) {
            return status;
        }
        p1 = 0x01;
        le = continuation;
    }
    return static_cast<DWORD>(NTE_BAD_DATA);
}

// FIND CONTAINER on the selected directory; the record is bytes 39..42 of the answer.
DWORD FindRecord(const char* name, BYTE* key_file_record) {
    BYTE field[kContainerNameBytes];
    PackContainerName(name, field);
    BYTE answer[kApduResponseCapacity] = {};
    BYTE le = 0x00;
    const int le_on_t1 = Card_GetCardType() == 5 ? 1 : 0;
    const DWORD status = Card_SendAPDU(0x00, 0x7E, 0x00, 0x00, sizeof field, &le, field, answer, le_on_t1);
    if (Card_StatusSucceeded(status)) {
        std::memcpy(key_file_record, answer + 39, kKeyFileRecordSize);
    }
    return status;
}

// Removes a key-less leftover on card type 7: some cards refuse to erase keys of such a record
// (6A80), and then the record alone goes.
DWORD RemoveLeftoverType7(const char* name) {
    const DWORD status = Card_DeleteContainer(name);
    if (status != 0x6A80) {
        return status;
    }
    return Card_DeleteContainerRecord(name);
}

// Before a new record: card types other than 7 drop records without keys once five or more
// exist; card type 7 drops every record that holds no key or only the seventh key file.
DWORD CleanUpBeforeCreate(const char* names, size_t count) {
    const bool type7 = Card_GetCardType() == 7;
    if (!type7 && count < 5) {
        return 0;
    }
    for (size_t i = 0; i < count; ++i) {
        const char* listed = names + i * kNameEntrySize;
        BYTE record[kKeyFileRecordSize] = {};
        DWORD status = FindRecord(listed, record);
        if (type7 && status == 0x6602) {
            continue;
        }
        if (!Card_StatusSucceeded(status)) {
            return status;
        }
        const bool slot1_empty = record[0] == 0 && record[1] == 0;
        const bool slot1_seventh = record[0] == FILE_HI && record[1] == kType7LastKeyFile;
        const bool slot2_seventh = record[2] == FILE_HI && record[3] == kType7LastKeyFile;
        bool remove = false;
        if (type7) {
            remove = (record[2] == 0 && (slot1_empty || slot1_seventh)) || slot2_seventh;
        } else {
            remove = slot1_empty && record[2] == 0;
        }
        if (!remove) {
            continue;
        }
        status = type7 ? RemoveLeftoverType7(listed) : Card_DeleteContainer(listed);
        if (!Card_StatusSucceeded(status)) {
            return status;
        }
    }
    return 0;
}

}  // namespace

DWORD Card_ListContainers(char* names, BYTE* count, size_t capacity) {
    const CardConversation conversation;
    if (names == nullptr) {
        SetLastError(STATUS_NULL_BUFFER);
        return STATUS_NULL_BUFFER;
    }
    if (count == nullptr) {
        return InvalidParameter();
    }
    DWORD status = SelectDirectory();
    if (!Card_StatusSucceeded(status)) {
        return status;
    }
    // The table keeps the first names that fit (and a count fits one byte); a card listing more
    // than that loses the rest, not the whole listing.
    const size_t room = capacity < kMaxListedNames ? capacity : kMaxListedNames;
    size_t total = *count;
    status = WalkContainerNames([&](const BYTE* listed, size_t n) {
        const size_t kept = total >= room ? 0 : (n < room - total ? n : room - total);
        for (size_t i = 0; i < kept; ++i) {
            char* entry = names + (total + i) * kNameEntrySize;
            std::memcpy(entry, listed + i * kContainerNameBytes, kContainerNameBytes);
            entry[kContainerNameBytes] = '\0';
        }
        total += kept;
        return kept == n;
    });
    *count = static_cast<BYTE>(total < kMaxListedNames ? total : kMaxListedNames);
    return status;
}

DWORD Card_GetContainerName(char* name, BYTE index) {
    const CardConversation conversation;
    if (name == nullptr) {
        return STATUS_NULL_BUFFER;
    }
    DWORD status = SelectDirectory();
    if (!Card_StatusSucceeded(status)) {
        return status;
    }
    size_t remaining = index;
    bool found = false;
    status = WalkContainerNames([&](const BYTE* listed, size_t n) {
        if (remaining >= 1 && remaining <= n) {
            std::memcpy(name, listed + (remaining - 1) * kContainerNameBytes, kContainerNameBytes);
            found = true;
            return false;
        }
        remaining = remaining >= 1 ? remaining - n : 0;
        return remaining != 0;
    });
    if (!Card_StatusSucceeded(status) || found) {
        return status;
    }
    return STATUS_NO_MORE_NAMES;
}

DWORD Card_FindContainer(const char* name, BYTE* key_file_record) {
    const CardConversation conversation;
    if (name == nullptr || key_file_record == nullptr) {
        return InvalidParameter();
    }
    const DWORD status = SelectDirectory();
    if (!Card_StatusSucceeded(status)) {
        return status;
    }
    return FindRecord(name, key_file_record);
}

DWORD Card_FindContainerInDirectory(const char* name, BYTE* key_file_record) {
    if (name == nullptr || key_file_record == nullptr) {
        return InvalidParameter();
    }
    return FindRecord(name, key_file_record);
}

DWORD Card_CreateContainer(const char* name, BYTE* answer, size_t answer_capacity) {
    const CardConversation conversation;
    DWORD status = SelectDirectory();
    if (!Card_StatusSucceeded(status)) {
        return status;
    }
    char names[kCleanupNames * kNameEntrySize] = {};
    BYTE count = 0;
    status = Card_ListContainers(names, &count, kCleanupNames);
    if (!Card_StatusSucceeded(status)) {
        return status;
    }
    status = SelectDirectory();
    if (!Card_StatusSucceeded(status)) {
        return status;
    }
    status = CleanUpBeforeCreate(names, count);
    if (!Card_StatusSucceeded(status)) {
        return status;
    }

    BYTE record[kContainerRecordSize];
    BuildContainerRecord(name, nullptr, record);
    BYTE reply[kApduResponseCapacity] = {};
    BYTE le = 0x00;
    size_t delivered = 0;
    status = Card_SendAPDU(0x00, 0x7A, 0x00, 0x00, sizeof record, &le, record, reply, 0, sizeof reply, &delivered);
    // The record is on the card now: whatever the card answers beyond the caller's buffer has
    // no meaning for it and is left out rather than failing a creation that happened.
    if (answer != nullptr && delivered > 0) {
        std::memcpy(answer, reply, delivered < answer_capacity ? delivered : answer_capacity);
    }
    return status;
}

DWORD Card_WriteContainerKeys(const char* name, const BYTE* key_file_record) {
    const CardConversation conversation;
    if (name == nullptr || key_file_record == nullptr) {
        return InvalidParameter();
    }
    DWORD status = SelectDirectory();
    if (!Card_StatusSucceeded(status)) {
        return status;
    }
    BYTE record[kContainerRecordSize];
    BuildContainerRecord(name, key_file_record, record);
    BYTE reply[kApduResponseCapacity];
    BYTE le = 0x00;
    return Card_SendAPDU(0x00, 0x7C, 0x00, 0x00, sizeof record, &le, record, reply, 0);
}

DWORD Card_DeleteContainerRecord(const char* name) {
    if (name == nullptr) {
        return InvalidParameter();
    }
    BYTE field[kContainerNameBytes];
    PackContainerName(name, field);
    BYTE reply[kApduResponseCapacity];
    BYTE le = 0x00;
    return Card_SendAPDU(0x00, 0x80, 0x00, 0x00, sizeof field, &le, field, reply, 0);
}

DWORD Card_DeleteContainer(const char* name) {
    const CardConversation conversation;
    BYTE record[kKeyFileRecordSize] = {};
    DWORD status = Card_FindContainer(name, record);
    if (!Card_StatusSucceeded(status)) {
        return status;
    }
    for (size_t slot = 0; slot < 2; ++slot) {
        const BYTE hi = record[2 * slot];
        const BYTE lo = record[2 * slot + 1];
        if (lo == 0) {
            continue;
        }
        status = Card_MoveKey(hi, lo, hi, lo);  // onto itself: erases the key
        if (!Card_StatusSucceeded(status)) {
            return status;
        }
    }
    return Card_DeleteContainerRecord(name);
}

DWORD Card_OpenContainer(const char* name, BYTE* container_status) {
    const CardConversation conversation;
    if (container_status == nullptr) {
        return InvalidParameter();
    }
    std::memset(container_status, 0, kContainerStatusBytes);
    BYTE record[kKeyFileRecordSize] = {};
    DWORD status = Card_FindContainer(name, record);
    if (!Card_StatusSucceeded(status)) {
        return status;
    }
    for (BYTE slot = SLOT_SIGNATURE; slot <= SLOT_EXCHANGE; ++slot) {
        const BYTE hi = record[2 * (slot - 1)];
        const BYTE lo = record[2 * (slot - 1) + 1];
        if (lo == 0) {
            continue;
        }
        BYTE info[kFileInfoSize] = {};
        status = Card_GetFileInfo(hi, lo, info);
        if (!Card_StatusSucceeded(status)) {
            return status;
        }
        BYTE* entry = container_status + kSlotEntryOffset[slot];
        if (info[4] == 1) {
            entry[0] = lo;
            entry[1] = kSlotStatusUsed;
            entry[2] = slot;
            entry[3] = (info[5] == 0x80 || Card_GetCardType() == 6) ? 4 : 2;
        }
        if (info[0] != 0 || info[1] != 0) {
            entry[6] = info[0];
        }
        if (info[2] != 0 || info[3] != 0) {
            entry[7] = info[2];
            entry[8] = info[3];
        }
    }
    return status;
}

DWORD Card_DeleteRSAKey(const char* name, BYTE slot, DWORD /*unused*/, BYTE* container_status) {
    const CardConversation conversation;
    if (container_status == nullptr || (slot != SLOT_SIGNATURE && slot != SLOT_EXCHANGE)) {
        return InvalidParameter();
    }
    BYTE record[kKeyFileRecordSize] = {};
    DWORD status = Card_FindContainer(name, record);
    if (!Card_StatusSucceeded(status)) {
        return status;
    }
    const BYTE hi = record[2 * (slot - 1)];
    const BYTE lo = record[2 * (slot - 1) + 1];
    if (lo == 0) {
        return static_cast<DWORD>(NTE_NO_KEY);
    }
    BYTE info[kFileInfoSize] = {};
    status = Card_GetFileInfo(hi, lo, info);
    if (!Card_StatusSucceeded(status)) {
        return status;
    }
    if (info[4] == 0) {
        return static_cast<DWORD>(NTE_NO_KEY);
    }
    status = Card_MoveKey(hi, lo, hi, lo);
    if (!Card_StatusSucceeded(status)) {
        return status;
    }
    // The certificate stays in the file, and so does the slot's capacity byte.
    BYTE* entry = container_status + kSlotEntryOffset[slot];
    std::memset(entry, 0, 6);
    entry[7] = 0;
    entry[8] = 0;
    return status;
}

}  // namespace kelm::card
