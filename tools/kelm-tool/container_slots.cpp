// Reading a container's slots through Card_OpenContainer's status record.
#include "container_slots.h"

#include "card/apdu_transport.h"
#include "card/card_files.h"
#include "card/certificate_storage.h"
#include "card/reader_session.h"
#include "commands.h"
#include "kelm/winapi.h"

namespace kelm::tool {
namespace {

constexpr unsigned kKeyUnitBits = 64 * 8;         // the key size byte counts 64-byte units
constexpr unsigned kCertificateRoomUnit = 256;  // the room byte counts 256-byte units

SlotInfo SlotOf(const BYTE* entry) {
    SlotInfo slot;
    slot.has_key = entry[1] == card::kSlotStatusUsed;
    slot.key_file = entry[0];
    slot.key_bits = entry[3] * kKeyUnitBits;
    slot.certificate_bytes = static_cast<unsigned>(entry[7]) << 8 | entry[8];
    slot.certificate_room = entry[6] * kCertificateRoomUnit;
    return slot;
}

}  // namespace

DWORD ReadContainerSlots(const std::string& name, ContainerSlots* slots) {
    char padded[card::kNameEntrySize] = {};
    name.copy(padded, card::kContainerNameBytes);
    BYTE status[card::kContainerStatusBytes] = {};
    const DWORD result = card::Card_OpenContainer(padded, status);
    if (!card::Card_StatusSucceeded(result)) return result;
    slots->signature = SlotOf(status + card::kSlotEntryOffset[card::SLOT_SIGNATURE]);
    slots->exchange = SlotOf(status + card::kSlotEntryOffset[card::SLOT_EXCHANGE]);
    return 0;
}

std::vector<BYTE> ReadSlotCertificate(const std::string& name, BYTE slot) {
    char padded[card::kNameEntrySize] = {};
    name.copy(padded, card::kContainerNameBytes);
    BYTE status[card::kContainerStatusBytes] = {};
    if (!card::Card_StatusSucceeded(card::Card_OpenContainer(padded, status)) ||
        !card::Card_StatusSucceeded(card::Card_GetCertificateInfo(padded, slot, status))) {
        return {};
    }
    const BYTE* entry = status + card::kSlotEntryOffset[slot];
    const DWORD size = static_cast<DWORD>(entry[7]) << 8 | entry[8];
    std::vector<BYTE> der(size);
    if (size == 0 || !card::Card_StatusSucceeded(card::Card_ReadFile(size, der.data(), der.size()))) return {};
    return der;
}

CardLayerSession::CardLayerSession() {
    const int connected = card::Init_PCSC_Object(CRYPT_SILENT);
    if (connected != 1) {
        Fail(connected == 0 ? "no supported card found in any reader" : ErrorText(static_cast<DWORD>(connected)));
    }
}

CardLayerSession::~CardLayerSession() { card::Card_Disconnect(); }

std::vector<std::string> CardContainerNames() {
    constexpr size_t kMaxNames = 16;
    char names[kMaxNames * card::kNameEntrySize] = {};
    BYTE count = 0;
    const DWORD status = card::Card_ListContainers(names, &count, kMaxNames);
    if (!card::Card_StatusSucceeded(status)) Fail("listing the containers failed: " + ErrorText(status));
    std::vector<std::string> listed;
    for (BYTE i = 0; i < count; ++i) listed.emplace_back(names + i * card::kNameEntrySize);
    return listed;
}

std::string SlotText(const SlotInfo& slot) {
    std::string text = "no key";
    if (slot.has_key) {
        text = "key in file 80 " + HexBytes(&slot.key_file, 1) + ", " + std::to_string(slot.key_bits) + "-bit";
    }
    text += slot.certificate_bytes != 0 ? ", certificate of " + std::to_string(slot.certificate_bytes) + " bytes"
                                        : ", no certificate";
    if (slot.certificate_room != 0) text += " (room for " + std::to_string(slot.certificate_room) + ")";
    return text;
}

Json SlotJson(const SlotInfo& slot) {
    Json key;  // null without a key
    if (slot.has_key) key = {{"file", "80 " + HexBytes(&slot.key_file, 1)}, {"bits", slot.key_bits}};
    return {{"key", key}, {"certificate_bytes", slot.certificate_bytes}, {"certificate_room", slot.certificate_room}};
}

}  // namespace kelm::tool
