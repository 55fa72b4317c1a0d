// Signatures over a payload that the caller formats: the block type 1 around it and the card's
// private-key operation, most significant byte first as PKCS #1 verifiers read them.
#include <array>

#include "card/apdu_transport.h"
#include "card/card_files.h"
#include "card/pkcs1_blocks.h"
#include "card/rsa_operations.h"

namespace kelm::card {

DWORD RSA_CardSignPayload(const char* container, DWORD slot, const BYTE* payload, DWORD payload_length,
                          DWORD* length, BYTE* signature) {
    if (container == nullptr || length == nullptr || signature == nullptr ||
        (slot != SLOT_SIGNATURE && slot != SLOT_EXCHANGE)) {
        return static_cast<DWORD>(ERROR_INVALID_PARAMETER);
    }
    const DWORD key_length = *length;
    std::array<BYTE, kRsaBlock2048> block{};
    if ((key_length != kRsaBlock1024 && key_length != kRsaBlock2048) ||
        !BuildPayloadSignatureBlock(payload, payload_length, block.data(), key_length)) {
        return static_cast<DWORD>(NTE_BAD_LEN);
    }
    DWORD answered = key_length;
    const DWORD status = Card_RSAPrivateSign(container, static_cast<BYTE>(slot), block.data(), &answered, signature);
    if (!Card_StatusSucceeded(status)) {
        return status;
    }
    // A card that answers with fewer bytes than the key's would hand out a signature no
    // verifier accepts.
    if (answered != key_length) {
        return static_cast<DWORD>(NTE_BAD_DATA);
    }
    *length = answered;
    return 0;
}

}  // namespace kelm::card
