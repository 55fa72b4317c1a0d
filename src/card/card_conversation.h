// One conversation with the card at a time. The card session is process-wide, and a card
// operation is a sequence of commands that relies on the file the previous command selected
// (SELECT then RSA OPERATION, the two halves of a 2048-bit operation, the pieces of a
// certificate write, VERIFY and its status). Whoever sends such a sequence holds the
// conversation for all of it, so that another thread's commands cannot land in between.
//
// The lock is recursive: a sequence may call functions that hold it themselves.
#pragma once

#include <mutex>

namespace kelm::card {

// The process-wide lock behind CardConversation.
std::recursive_mutex& CardConversationMutex();

// Holds the card conversation for the lifetime of the object.
struct CardConversation {
    CardConversation() : Lock(CardConversationMutex()) {}
    std::unique_lock<std::recursive_mutex> Lock;
};

}  // namespace kelm::card
