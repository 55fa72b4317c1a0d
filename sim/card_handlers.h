// The handlers behind RunCommand, one group per file; shared helpers for them.
#pragma once

#include "sim/card_commands.h"

namespace kelm::sim {

inline Reply Status(WORD status) {
    Reply r;
    r.sw = status;
    return r;
}

// The selected key file, or nullptr (then *status says why).
KeyFile* SelectedKeyFile(SimCard& card, WORD* status);
bool IsKeyFileId(const CardImage& image, WORD id);

// card_files.cpp
Reply SelectCommand(SimCard& card, const Command& c);
Reply GetFileInfo(SimCard& card, const Command& c);
Reply CreateKeyFile(SimCard& card, const Command& c);
Reply GetChallenge(SimCard& card, const Command& c);
Reply Verify(SimCard& card, const Command& c);
// card_containers.cpp
Reply ListContainers(SimCard& card, const Command& c);
Reply FindContainer(SimCard& card, const Command& c);
Reply CreateContainer(SimCard& card, const Command& c);
Reply WriteContainerKeys(SimCard& card, const Command& c);
Reply DeleteContainer(SimCard& card, const Command& c);
// card_keys.cpp
Reply GenerateKeyPair(SimCard& card, const Command& c);
Reply MoveKey(SimCard& card, const Command& c);
Reply RsaOperation(SimCard& card, const Command& c);
Reply ReadPublicKey(SimCard& card, const Command& c);
// card_certificates.cpp
Reply ReadFile(SimCard& card, const Command& c);
Reply WriteCertificate(SimCard& card, const Command& c);

}  // namespace kelm::sim
