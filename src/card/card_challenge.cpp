// Random bytes from the card, eight per GET CHALLENGE; a block the card announces with 61xx
// is fetched with GET RESPONSE.
#include <cstring>

#include "card/apdu_transport.h"
#include "card/card_conversation.h"
#include "card/card_files.h"

namespace kelm::card {
namespace {

constexpr size_t kChallengeBlock = 8;

constexpr bool IsMoreDataStatus(DWORD status) { return (status & 0xFFFFFF00u) == 0x6100; }

}  // namespace

DWORD Card_GetChallenge(DWORD count, BYTE* out) {
    const CardConversation conversation;
    if (count == 0) {
        return 0;
    }
    if (out == nullptr) {
        return STATUS_NULL_BUFFER;
    }
    DWORD status = 0;
    for (size_t offset = 0; offset < count; offset += kChallengeBlock) {
        BYTE answer[kApduResponseCapacity] = {};
        BYTE le = static_cast<BYTE>(kChallengeBlock);
        size_t delivered = 0;
        status = Card_SendAPDU(0x00, 0x86, 0x00, 0x00, 0, &le, nullptr, answer, 1, sizeof answer, &delivered);
        if (IsMoreDataStatus(status)) {
            // SW2 bytes still wait on the card: they are this block's bytes.
            le = static_cast<BYTE>(status & 0xFF);
            status = Card_SendAPDU(0x00, 0xC0, 0x00, 0x00, 0, &le, nullptr, answer, 1, sizeof answer, &delivered);
        }
        const size_t wanted = count - offset < kChallengeBlock ? count - offset : kChallengeBlock;
        // A block the card did not deliver would leave predictable bytes in the output:
        // stop there instead of handing them out as random.
        if (!Card_StatusSucceeded(status)) {
            return status;
        }
        if (delivered < wanted) {
            return static_cast<DWORD>(NTE_BAD_DATA);
        }
        std::memcpy(out + offset, answer, wanted);
    }
    return status;
}

}  // namespace kelm::card
