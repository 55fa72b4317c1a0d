// The process-wide lock that keeps one card conversation at a time, and how deep the calling
// thread holds it.
#include "card/card_conversation.h"

namespace kelm::card {
namespace {

thread_local int t_depth = 0;

}  // namespace

std::recursive_mutex& CardConversationMutex() {
    static std::recursive_mutex mutex;
    return mutex;
}

CardConversation::CardConversation() : Lock(CardConversationMutex()) { ++t_depth; }

CardConversation::CardConversation(std::defer_lock_t) : Lock(CardConversationMutex(), std::defer_lock) {}

CardConversation::~CardConversation() {
    if (Lock.owns_lock()) --t_depth;
}

void CardConversation::Release() {
    if (!Lock.owns_lock()) return;
    Lock.unlock();
    --t_depth;
}

void CardConversation::Take() {
    if (Lock.owns_lock()) return;
    Lock.lock();
    ++t_depth;
}

bool CardConversation::HeldByThisThread() { return t_depth > 0; }

}  // namespace kelm::card
