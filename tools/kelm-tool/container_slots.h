// A container's two key slots as the provider's card layer reads them from the connected card.
#pragma once

#include <string>
#include <vector>

#include "kelm/windows_types.h"
#include "output.h"

namespace kelm::tool {

struct SlotInfo {
    bool has_key = false;
    BYTE key_file = 0;             // the low byte of the key file 80 xx
    unsigned key_bits = 0;
    unsigned certificate_bytes = 0;
    unsigned certificate_room = 0;
};

struct ContainerSlots {
    SlotInfo signature;
    SlotInfo exchange;
    int keys() const { return (signature.has_key ? 1 : 0) + (exchange.has_key ? 1 : 0); }
};

// Opens `name` on the card the session is connected to; the card status (0 on success).
DWORD ReadContainerSlots(const std::string& name, ContainerSlots* slots);

// The certificate the card keeps in a container's slot (card::SLOT_SIGNATURE or SLOT_EXCHANGE),
// read by the connected session's card layer; empty when there is none.
std::vector<BYTE> ReadSlotCertificate(const std::string& name, BYTE slot);

// The card layer connected for a command that reads the card itself (not through the provider's
// entry points), silently; disconnected when it goes. Fails when no supported card is found.
struct CardLayerSession {
    CardLayerSession();
    ~CardLayerSession();
    CardLayerSession(const CardLayerSession&) = delete;
    CardLayerSession& operator=(const CardLayerSession&) = delete;
};
// The names of the containers on the connected card.
std::vector<std::string> CardContainerNames();

// "key in file 80 01, 1024-bit, no certificate (room for 2048)" and its JSON form.
std::string SlotText(const SlotInfo& slot);
Json SlotJson(const SlotInfo& slot);

}  // namespace kelm::tool
