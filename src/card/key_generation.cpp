// GENERATE KEY PAIR, and the choice of the key file that receives a container's new key.
#include <cstring>
#include <initializer_list>

#include "card/apdu_transport.h"
#include "card/card_conversation.h"
#include "card/card_files.h"
#include "card/key_generation.h"

namespace kelm::card {
namespace {

constexpr DWORD STATUS_FILE_MISSING = 0x6602;
constexpr DWORD STATUS_FILE_EXISTS = 0x6A89;
constexpr DWORD STATUS_NO_SUCH_CONTAINER = 0x6A82;
constexpr BYTE kCertificateCapacity[2] = {0x08, 0x00};  // 2048 bytes
// Card types other than 7: the first file of each kind's pair; the companion follows it.
constexpr BYTE kSignaturePrimary = 0x01;
constexpr BYTE kExchangePrimary = 0x03;
constexpr DWORD kStagingCardType = 7;

BYTE CompanionOf(BYTE lo) { return (lo & 1) != 0 ? static_cast<BYTE>(lo + 1) : static_cast<BYTE>(lo - 1); }

// Relocation answers STATUS_FILE_NOT_NAMED when the file was free already: nothing to move.
bool Relocated(DWORD status) { return Card_StatusSucceeded(status) || status == STATUS_FILE_NOT_NAMED; }

// Creates the key file when the card does not have it yet.
DWORD EnsureKeyFile(BYTE lo, BYTE key_kind) {
    const DWORD status = Card_SelectFile(FILE_HI, lo);
    if (status != STATUS_FILE_MISSING) {
        return status;
    }
    return Card_CreateKeyFile(FILE_HI, lo, key_kind, kCertificateCapacity, 0x00);
}

// Card types other than 7: the slot's file gets the new key. A slot without a file takes its
// kind's first file, whose certified key (whichever container owns it) moves to the companion
// first. A slot that names a file keeps it; a certified key found there (the container's view of
// the slot was out of date) moves to the file's companion the same way.
DWORD ChoosePairedFile(BYTE slot, const BYTE* record, BYTE* lo) {
    const BYTE key_kind = static_cast<BYTE>(slot - 1);
    *lo = record[2 * (slot - 1) + 1];
    if (*lo == 0) {
        *lo = slot == SLOT_SIGNATURE ? kSignaturePrimary : kExchangePrimary;
    } else {
        BYTE info[kFileInfoSize] = {};
        const DWORD status = Card_GetFileInfo(FILE_HI, *lo, info);
        if (!Card_StatusSucceeded(status)) {
            return status;
        }
        if (info[4] == 0 || (info[2] == 0 && info[3] == 0)) {
            return 0;  // nothing certified to keep: the file is overwritten
        }
    }
    const BYTE companion = CompanionOf(*lo);
    for (const BYTE file : {companion, *lo}) {
        const DWORD status = EnsureKeyFile(file, key_kind);
        if (!Card_StatusSucceeded(status)) {
            return status;
        }
    }
    const DWORD status = Card_RelocateKey(FILE_HI, *lo, FILE_HI, companion);
    return Relocated(status) ? 0 : status;
}

// Card type 7: every new key is made in the last key file, emptied first. A card not yet
// prepared gets all its key files at once.
DWORD ChooseStagingFile(const char* name, BYTE* lo) {
    const BYTE files = static_cast<BYTE>(Card_KeyFileCount());
    *lo = files;
    if (Card_SelectFile(FILE_HI, files) == STATUS_FILE_MISSING) {
        for (BYTE file = 1; file <= files; ++file) {
            const DWORD status = Card_CreateKeyFile(FILE_HI, file, 1, kCertificateCapacity, 0x00);
            if (!Card_StatusSucceeded(status) && status != STATUS_FILE_EXISTS) {
                return status;
            }
        }
    }
    const DWORD status = Card_FindCertificateSlot(name);
    return Relocated(status) ? 0 : status;
}

}  // namespace

DWORD Card_GenerateKey() {
    BYTE reply[kApduResponseCapacity];
    BYTE le = 0x00;
    return Card_SendAPDU(0x00, 0x42, 0x00, 0x01, 0, &le, nullptr, reply, 0);
}

DWORD Card_GenerateRSAKey(const char* name, BYTE slot, DWORD /*unused*/, BYTE* container_status) {
    const CardConversation conversation;
    if (name == nullptr || container_status == nullptr || (slot != SLOT_SIGNATURE && slot != SLOT_EXCHANGE)) {
        return static_cast<DWORD>(ERROR_INVALID_PARAMETER);
    }
    BYTE record[kKeyFileRecordSize] = {};
    BYTE lo = 0;
    DWORD status = 0;
    if (Card_GetCardType() == kStagingCardType) {
        status = ChooseStagingFile(name, &lo);
    } else {
        status = Card_FindContainer(name, record);
        if (Card_StatusSucceeded(status)) {
            status = ChoosePairedFile(slot, record, &lo);
        }
    }
    // The container's record is read after the choice, whose relocation may have rewritten it:
    // re-pointed one of its slots to where its certified key went, let go of a file another key
    // was moved into, or (card type 7) detached it from an uncertified key in 80 07. Writing back
    // the record read before would undo that. A container whose only key that was lost its record
    // with it and gets an empty one back.
    if (Card_StatusSucceeded(status)) {
        status = Card_FindContainer(name, record);
        if (status == STATUS_NO_SUCH_CONTAINER) {
            std::memset(record, 0, sizeof record);
            status = Card_CreateContainer(name, nullptr, 0);
        }
    }
    if (!Card_StatusSucceeded(status)) {
        return status;
    }
    status = Card_SelectFile(FILE_HI, lo);
    if (status != 0) {
        return status;
    }
    status = Card_GenerateKey();
    if (!Card_StatusSucceeded(status)) {
        return status;
    }
    record[2 * (slot - 1)] = FILE_HI;
    record[2 * (slot - 1) + 1] = lo;
    status = Card_WriteContainerKeys(name, record);
    if (!Card_StatusSucceeded(status)) {
        return status;
    }
    // The slot's entry as Card_OpenContainer would fill it for the new key.
    BYTE* entry = container_status + kSlotEntryOffset[slot];
    entry[0] = lo;
    entry[1] = kSlotStatusUsed;
    entry[2] = slot;
    entry[3] = Card_GetCardType() == 6 ? 4 : 2;
    return status;
}

}  // namespace kelm::card
