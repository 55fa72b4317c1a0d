// The calling thread's open ObjectsInUse, innermost first, and what each one holds.
#include "core/objects_in_use.h"

#include <new>

namespace kelm::core {
namespace {

thread_local ObjectsInUse* t_innermost = nullptr;

}  // namespace

ObjectsInUse::ObjectsInUse() : outer_(t_innermost) { t_innermost = this; }

ObjectsInUse::~ObjectsInUse() {
    t_innermost = outer_;
    for (size_t i = more_.size(); i-- > 0;) more_[i].let_go(more_[i].object);
    for (size_t i = count_; i-- > 0;) inline_[i].let_go(inline_[i].object);
}

bool ObjectsInUse::Hold(LetGo let_go, const void* object) {
    ObjectsInUse* scope = t_innermost;
    if (scope == nullptr) return false;
    if (scope->count_ < kInlineHeld) {
        scope->inline_[scope->count_++] = Held{let_go, object};
        return true;
    }
    try {
        scope->more_.push_back(Held{let_go, object});
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

}  // namespace kelm::core
