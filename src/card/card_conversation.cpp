// The process-wide lock that keeps one card conversation at a time.
#include "card/card_conversation.h"

namespace kelm::card {

std::recursive_mutex& CardConversationMutex() {
    static std::recursive_mutex mutex;
    return mutex;
}

}  // namespace kelm::card
