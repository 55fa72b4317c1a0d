// Dispatch of the card's command set by class and instruction byte.
#include "sim/card_commands.h"

#include "sim/card_handlers.h"

namespace kelm::sim {

bool IsKeyFileId(const CardImage& image, WORD id) {
    return (id >> 8) == 0x80 && (id & 0xFF) >= 1 && (id & 0xFF) <= KeyFileCount(image.type);
}

KeyFile* SelectedKeyFile(SimCard& card, WORD* status) {
    WORD id = card.session.selected;
    KeyFile* file = (id != 0 && id != kDirectoryFile) ? FindKeyFile(card.image, id) : nullptr;
    if (!file) *status = sw::kNoCurrentFile;
    return file;
}

Reply RunCommand(SimCard& card, const Command& c) {
    if (c.ins != 0x4E) {
        card.session.rsa_first_half = false;
        std::fill(card.session.rsa_half.begin(), card.session.rsa_half.end(), BYTE{0});
    }
    if (c.cla == 0x80) {
        // Only the PIN-pad VERIFY uses the proprietary class.
        if (c.ins == 0x20) return Verify(card, c);
        return Status(sw::kClaNotSupported);
    }
    if (c.cla != 0x00) return Status(sw::kClaNotSupported);
    switch (c.ins) {
        case 0xA4: return SelectCommand(card, c);
        case 0x4C: return GetFileInfo(card, c);
        case 0x44: return c.p2 == 0x00 ? ReadPublicKey(card, c) : ReadFile(card, c);
        case 0x4A: return ReadFile(card, c);
        case 0x42: return c.p2 == 0x01 ? GenerateKeyPair(card, c) : CreateKeyFile(card, c);
        case 0x72: return MoveKey(card, c);
        case 0x74: return ListContainers(card, c);
        case 0x7E: return FindContainer(card, c);
        case 0x7A: return CreateContainer(card, c);
        case 0x7C: return WriteContainerKeys(card, c);
        case 0x80: return DeleteContainer(card, c);
        case 0x86: return GetChallenge(card, c);
        case 0x20: return Verify(card, c);
        case 0x4E: return RsaOperation(card, c);
        case 0x46: return WriteCertificate(card, c);
        default: return Status(sw::kInsNotSupported);
    }
}

}  // namespace kelm::sim
