// One conversation with the card at a time. The card session is process-wide, and a card
// operation is a sequence of commands that relies on the file the previous command selected
// (SELECT then RSA OPERATION, the two halves of a 2048-bit operation, the pieces of a
// certificate write, VERIFY and its status). Whoever sends such a sequence holds the
// conversation for all of it, so that another thread's commands cannot land in between.
//
// The lock is recursive: a sequence may call functions that hold it themselves. Every card
// function that sends commands holds it for its own sequence; a caller that strings several
// of them together (a PIN check and the signature it allows, a certificate's information and
// its reading) holds it around all of them.
//
// Take the lock through CardConversation only, never through the mutex itself: the object also
// counts how deep the calling thread holds it, which the PIN prompt relies on (see
// HeldByThisThread).
#pragma once

#include <mutex>

namespace kelm::card {

// The process-wide lock behind CardConversation.
std::recursive_mutex& CardConversationMutex();

// Holds the card conversation for the lifetime of the object.
struct CardConversation {
    CardConversation();
    // Made without holding the conversation yet; Take() takes it.
    explicit CardConversation(std::defer_lock_t);
    ~CardConversation();
    CardConversation(const CardConversation&) = delete;
    CardConversation& operator=(const CardConversation&) = delete;

    // Lets the conversation go for a wait that needs no card (a dialog), and takes it again.
    // Another holder further out on the same thread keeps it held throughout.
    void Release();
    void Take();
    bool Held() const { return Lock.owns_lock(); }

    // True when the calling thread holds the conversation, through any CardConversation.
    static bool HeldByThisThread();

    std::unique_lock<std::recursive_mutex> Lock;
};

}  // namespace kelm::card
