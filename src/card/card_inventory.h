// The card's keys and certificates in one pass over its directory and key files: every
// container, the key file of each slot, whether it holds a key, the key's size and the length of
// the certificate kept with it. The pass sends each command once: one SELECT of the directory,
// its listing, one FIND CONTAINER per container, and one SELECT FILE and GET FILE INFO per key
// file, however many containers name it.
#pragma once

#include <string>
#include <vector>

#include "card/card_files.h"

namespace kelm::card {

struct InventorySlot {
    std::string Container;  // the name as the card holds it, up to its terminator or 36 bytes
    BYTE Slot;              // SLOT_SIGNATURE or SLOT_EXCHANGE
    BYTE FileHi;
    BYTE FileLo;
    bool HasKey;
    DWORD KeyBits;            // 1024 or 2048 when HasKey
    DWORD CertificateLength;  // 0 when the file holds no certificate
};

struct Inventory {
    std::vector<std::string> Containers;  // in directory order
    std::vector<InventorySlot> Slots;     // every slot that names a key file, slot 1 first
};

// Reads the inventory on the session's card. 0, or the status of the first command that failed.
DWORD Card_ReadInventory(Inventory* inventory);

// The size of the key that key generation will make for the container's slot: that of the file
// the generation writes into (the slot's file; else its kind's first file, or card type 7's
// staging file), or of a file made anew for it. A container the card does not hold yet counts as
// one without key files. 0, or the status of the command that failed.
DWORD Card_NewKeyBits(const char* container, BYTE slot, DWORD* bits);

}  // namespace kelm::card
