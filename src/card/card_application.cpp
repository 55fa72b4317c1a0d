// Which card is in the reader: the five card applications, the card type each selects, and the
// container and key-file counts that follow from it.
#include "card/apdu_transport.h"
#include "card/card_conversation.h"
#include "card/card_files.h"
#include "card/reader_session.h"

namespace kelm::card {
namespace {

constexpr size_t kAidLength = 8;
constexpr size_t kDefaultCapacity = 6;
constexpr size_t kType7Capacity = 7;

struct CardApplication {
    BYTE aid[kAidLength];
    DWORD card_type;
    int le_on_t1;
};

// Tried in this order; the first that answers fixes the card type.
constexpr CardApplication kApplications[] = {
    {{0xF1, 0x5C, 0x3E, 0x00, 0x27, 0x95, 0x01, 0x03}, 3, 0},
    {{0xF1, 0x5C, 0x3E, 0x00, 0x27, 0x95, 0x01, 0x01}, 1, 0},
    {{0xF1, 0x5C, 0x3E, 0x00, 0x27, 0x95, 0x00, 0x01}, 5, 1},
    {{0xF1, 0x5C, 0x3E, 0x00, 0x27, 0x95, 0x01, 0x05}, 6, 1},
    {{0xF1, 0x5C, 0x3E, 0x00, 0x27, 0x95, 0x01, 0x06}, 7, 1},
};

}  // namespace

DWORD Card_SelectApplication() {
    const CardConversation conversation;
    CardSession& session = Session();
    DWORD status = 0;
    for (const CardApplication& application : kApplications) {
        BYTE le = 0;
        BYTE answer[kApduResponseCapacity];
        status = Card_SendAPDU(0x00, 0xA4, 0x04, 0x00, kAidLength, &le, application.aid, answer,
                               application.le_on_t1);
        // Only a plain 90 00 identifies the application (a 61xx was already fetched).
        if (status == 0) {
            session.CardType = application.card_type;
            return status;
        }
    }
    session.CardType = CARD_TYPE_NONE;
    return status;
}

DWORD Card_GetCardType() { return Session().CardType; }

// Both follow the card type, which the selection sets: 7 on card type 7, else (and before any
// card) 6.
DWORD Card_ContainerCapacity() {
    return static_cast<DWORD>(Session().CardType == 7 ? kType7Capacity : kDefaultCapacity);
}

DWORD Card_KeyFileCount() { return Card_ContainerCapacity(); }

}  // namespace kelm::card
