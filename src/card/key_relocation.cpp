// Moving a key out of the way of a new one, and finding the container that names a key file.
#include <cstring>

#include "card/apdu_transport.h"
#include "card/card_conversation.h"
#include "card/card_files.h"
#include "card/key_generation.h"

namespace kelm::card {
namespace {

// A card's directory holds six or seven names; this is the room one listing gets (as many
// 36-byte names as 2048 bytes hold), names past it being left out.
constexpr size_t kListedNamesMax = 2048 / kContainerNameBytes;

bool Names(const BYTE* record, size_t slot, BYTE hi, BYTE lo) {
    return record[2 * slot] == hi && record[2 * slot + 1] == lo;
}

bool NamesAnyFile(const BYTE* record) {
    return record[1] != 0 || record[3] != 0 || record[0] != 0 || record[2] != 0;
}

// Puts (to_hi, to_lo) in every slot of the record that names (hi, lo); 00 00 forgets the file.
void Replace(BYTE* record, BYTE hi, BYTE lo, BYTE to_hi, BYTE to_lo) {
    for (size_t slot = 0; slot < 2; ++slot) {
        if (Names(record, slot, hi, lo)) {
            record[2 * slot] = to_hi;
            record[2 * slot + 1] = to_lo;
        }
    }
}

// Writes the record back, or deletes the container when it names no key file any more. DELETE
// CONTAINER works on the selected directory, and the record's search may have left a key file
// selected since (the scan for an interrupted move reads key files): it is selected first.
DWORD StoreRecord(const char* name, const BYTE* record) {
    if (NamesAnyFile(record)) {
        return Card_WriteContainerKeys(name, record);
    }
    const DWORD status = Card_SelectFile(FILE_HI, DIRECTORY_FILE_LO);
    return Card_StatusSucceeded(status) ? Card_DeleteContainerRecord(name) : status;
}

bool HoldsCertifiedKey(const BYTE* info) { return info[4] == 1 && (info[2] != 0 || info[3] != 0); }

// The file a relocation cut short may have moved S's key to: the other file of S's pair on card
// types other than 7 (80 01 <-> 80 02, 80 03 <-> 80 04, 80 05 <-> 80 06), any file before the
// staging file on card type 7.
bool MayHoldMovedKey(BYTE source_lo, BYTE lo) {
    if (Card_GetCardType() == 7) {
        return lo != source_lo;
    }
    return lo == ((source_lo & 1) != 0 ? source_lo + 1 : source_lo - 1);
}

// Re-points the container (`name`, `record`) that names the empty file S to a certified key
// that no container names, where an interrupted relocation from S left it. STATUS_FILE_NOT_NAMED
// when there is none; a card failure on the way is returned as it is.
DWORD ResumeInterruptedMove(const char* name, BYTE* record, BYTE hi, BYTE lo) {
    const DWORD files = Card_KeyFileCount();
    for (BYTE candidate = 1; candidate <= files; ++candidate) {
        if (!MayHoldMovedKey(lo, candidate)) {
            continue;
        }
        BYTE info[kFileInfoSize] = {};
        DWORD status = Card_GetFileInfo(FILE_HI, candidate, info);
        if (status == 0x6602) {
            continue;  // no such file
        }
        if (!Card_StatusSucceeded(status)) {
            return status;
        }
        if (!HoldsCertifiedKey(info)) {
            continue;
        }
        char owner[kContainerNameBytes];
        BYTE owner_record[kKeyFileRecordSize];
        status = Card_FindContainerByKeyFile(FILE_HI, candidate, owner, owner_record);
        if (status == STATUS_FILE_NOT_NAMED) {
            Replace(record, hi, lo, FILE_HI, candidate);
            return Card_WriteContainerKeys(name, record);
        }
        if (!Card_StatusSucceeded(status)) {
            return status;
        }
    }
    return STATUS_FILE_NOT_NAMED;
}

}  // namespace

DWORD Card_FindContainerByKeyFile(BYTE hi, BYTE lo, char* name, BYTE* key_file_record) {
    const CardConversation conversation;
    if (name == nullptr || key_file_record == nullptr) {
        return static_cast<DWORD>(ERROR_INVALID_PARAMETER);
    }
    char names[kListedNamesMax * kNameEntrySize] = {};
    BYTE count = 0;
    DWORD status = Card_ListContainers(names, &count, kListedNamesMax);
    if (!Card_StatusSucceeded(status)) {
        return status;
    }
    for (size_t i = 0; i < count; ++i) {
        const char* listed = names + i * kNameEntrySize;
        BYTE record[kKeyFileRecordSize] = {};
        status = Card_FindContainer(listed, record);
        if (Card_StatusSucceeded(status) && (Names(record, 0, hi, lo) || Names(record, 1, hi, lo))) {
            std::memcpy(name, listed, kContainerNameBytes);
            std::memcpy(key_file_record, record, kKeyFileRecordSize);
            return 0;
        }
    }
    return STATUS_FILE_NOT_NAMED;
}

DWORD Card_RelocateKey(BYTE source_hi, BYTE source_lo, BYTE dest_hi, BYTE dest_lo) {
    const CardConversation conversation;
    BYTE info[kFileInfoSize] = {};
    DWORD status = Card_GetFileInfo(source_hi, source_lo, info);
    if (!Card_StatusSucceeded(status)) {
        return status;
    }
    char name[kContainerNameBytes] = {};
    BYTE record[kKeyFileRecordSize] = {};
    const bool certified = info[2] != 0 || info[3] != 0;
    const bool onto_itself = source_hi == dest_hi && source_lo == dest_lo;
    if (!certified || info[4] == 0 || onto_itself) {
        // Nothing worth keeping (a key without its certificate, or a certificate without its
        // key): it stays to be overwritten, and its container lets go.
        status = Card_FindContainerByKeyFile(source_hi, source_lo, name, record);
        if (status != 0) {
            return status;
        }
        if (info[4] == 0 && !certified) {
            status = ResumeInterruptedMove(name, record, source_hi, source_lo);
            if (status != STATUS_FILE_NOT_NAMED) {
                return status;
            }
        }
        Replace(record, source_hi, source_lo, 0, 0);
        return StoreRecord(name, record);
    }

    // The destination's key is about to be overwritten: its container lets go of it first.
    if (Card_FindContainerByKeyFile(dest_hi, dest_lo, name, record) == 0) {
        Replace(record, dest_hi, dest_lo, 0, 0);
        StoreRecord(name, record);
    }
    status = Card_MoveKey(source_hi, source_lo, dest_hi, dest_lo);
    if (!Card_StatusSucceeded(status)) {
        return status;
    }
    status = Card_FindContainerByKeyFile(source_hi, source_lo, name, record);
    if (status != 0) {
        return status;
    }
    Replace(record, source_hi, source_lo, dest_hi, dest_lo);
    return StoreRecord(name, record);
}

}  // namespace kelm::card
