// The objects a call is using stay allocated until it returns.
//
// Every entry point that takes handles opens an ObjectsInUse for the length of the call. While
// it is open, each object that its thread looks up through a handle (Get_CryptoCTX, and the key
// storage provider's own records) is held. Releasing an object in another thread then takes its
// handle out of use at once, so that no later lookup finds it, but frees the object only when
// the last call holding it has returned: a CPReleaseContext or CPDestroyKey in one thread never
// frees what a running call of another thread reads.
#pragma once

#include <cstddef>
#include <vector>

namespace kelm::core {

class ObjectsInUse {
public:
    ObjectsInUse();
    ~ObjectsInUse();  // lets go of everything held, in reverse order
    ObjectsInUse(const ObjectsInUse&) = delete;
    ObjectsInUse& operator=(const ObjectsInUse&) = delete;

    // Adds `object` to the calling thread's innermost open ObjectsInUse: `let_go(object)` runs when
    // that closes. False, with nothing added, when the thread has none open or memory ran out.
    using LetGo = void (*)(const void* object);
    static bool Hold(LetGo let_go, const void* object);

private:
    struct Held {
        LetGo let_go;
        const void* object;
    };
    // A call holds a handful of objects; more go to the vector.
    static constexpr size_t kInlineHeld = 8;
    Held inline_[kInlineHeld];
    size_t count_ = 0;
    std::vector<Held> more_;
    ObjectsInUse* outer_;
};

}  // namespace kelm::core
