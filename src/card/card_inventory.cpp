// One pass over the card's directory and key files, and the size of the next generated key.
#include "card/card_inventory.h"

#include <array>
#include <cstring>
#include <map>

#include "card/apdu_transport.h"

namespace kelm::card {
namespace {

constexpr size_t kMaxNames = 255;  // the listing's count is one byte
constexpr DWORD kStatusFileMissing = 0x6602;
constexpr DWORD kStatusNoSuchContainer = 0x6A82;
constexpr BYTE kSignaturePrimary = 0x01;
constexpr BYTE kExchangePrimary = 0x03;
constexpr DWORD kStagingCardType = 7;

DWORD KeyBitsOf(const BYTE* info) { return info[5] == 0x80 || Card_GetCardType() == 6 ? 2048u : 1024u; }

// The bits a key file of this card type is made with when key generation creates it.
DWORD NewFileBits() { return Card_GetCardType() == 6 ? 2048u : 1024u; }

}  // namespace

DWORD Card_ReadInventory(Inventory* inventory) {
    if (inventory == nullptr) {
        return static_cast<DWORD>(ERROR_INVALID_PARAMETER);
    }
    *inventory = {};
    std::vector<char> names(kMaxNames * kNameEntrySize, '\0');
    BYTE count = 0;
    DWORD status = Card_ListContainers(names.data(), &count, kMaxNames);
    if (!Card_StatusSucceeded(status)) {
        return status;
    }
    // The directory stays selected through the listing and every FIND CONTAINER; the key files
    // are looked at afterwards, each once.
    struct Named {
        std::string container;
        BYTE record[kKeyFileRecordSize];
    };
    std::vector<Named> records;
    for (size_t i = 0; i < count; ++i) {
        const char* entry = names.data() + i * kNameEntrySize;
        Named named{std::string(entry, strnlen(entry, kContainerNameBytes)), {}};
        status = Card_FindContainerInDirectory(entry, named.record);
        if (!Card_StatusSucceeded(status)) {
            return status;
        }
        inventory->Containers.push_back(named.container);
        records.push_back(named);
    }
    std::map<WORD, std::array<BYTE, kFileInfoSize>> files;
    for (const Named& named : records) {
        for (BYTE slot = SLOT_SIGNATURE; slot <= SLOT_EXCHANGE; ++slot) {
            const BYTE hi = named.record[2 * (slot - 1)];
            const BYTE lo = named.record[2 * (slot - 1) + 1];
            if (lo == 0) {
                continue;
            }
            const WORD id = static_cast<WORD>(hi << 8 | lo);
            auto found = files.find(id);
            if (found == files.end()) {
                std::array<BYTE, kFileInfoSize> info{};
                status = Card_GetFileInfo(hi, lo, info.data());
                if (!Card_StatusSucceeded(status)) {
                    return status;
                }
                found = files.emplace(id, info).first;
            }
            const BYTE* info = found->second.data();
            const bool has_key = info[4] != 0;
            inventory->Slots.push_back({named.container, slot, hi, lo, has_key, has_key ? KeyBitsOf(info) : 0,
                                        DWORD{info[2]} << 8 | info[3]});
        }
    }
    return 0;
}

DWORD Card_NewKeyBits(const char* container, BYTE slot, DWORD* bits) {
    if (container == nullptr || bits == nullptr || (slot != SLOT_SIGNATURE && slot != SLOT_EXCHANGE)) {
        return static_cast<DWORD>(ERROR_INVALID_PARAMETER);
    }
    BYTE lo = 0;
    if (Card_GetCardType() == kStagingCardType) {
        lo = static_cast<BYTE>(Card_KeyFileCount());
    } else {
        BYTE record[kKeyFileRecordSize] = {};
        const DWORD status = Card_FindContainer(container, record);
        if (status != kStatusNoSuchContainer && !Card_StatusSucceeded(status)) {
            return status;
        }
        lo = record[2 * (slot - 1) + 1];
        if (lo == 0) {
            lo = slot == SLOT_SIGNATURE ? kSignaturePrimary : kExchangePrimary;
        }
    }
    BYTE info[kFileInfoSize] = {};
    const DWORD status = Card_GetFileInfo(FILE_HI, lo, info);
    if (status == kStatusFileMissing) {
        *bits = NewFileBits();
        return 0;
    }
    if (!Card_StatusSucceeded(status)) {
        return status;
    }
    *bits = KeyBitsOf(info);
    return 0;
}

}  // namespace kelm::card
