// Handles of the software providers' objects. A handle is a number drawn from one counter
// shared by every kind of object and never reused, looked up in the table of its kind: a
// released handle, a handle of another kind (a key given as a provider) or a made-up value
// finds nothing and is refused, never followed.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

namespace kelm::platform {

inline uint64_t NextSoftHandle() {
    static std::atomic<uint64_t> last{0x7A0000};
    return last.fetch_add(8) + 8;
}

template <class Record>
class SoftHandleTable {
public:
    uint64_t Add(std::shared_ptr<Record> record) {
        const uint64_t handle = NextSoftHandle();
        std::lock_guard lock(mutex_);
        records_[handle] = std::move(record);
        return handle;
    }
    std::shared_ptr<Record> Find(uint64_t handle) const {
        std::lock_guard lock(mutex_);
        const auto found = records_.find(handle);
        return found == records_.end() ? nullptr : found->second;
    }
    // The record, now out of the table; null when the handle was not in it.
    std::shared_ptr<Record> Remove(uint64_t handle) {
        std::lock_guard lock(mutex_);
        const auto found = records_.find(handle);
        if (found == records_.end()) return nullptr;
        auto record = std::move(found->second);
        records_.erase(found);
        return record;
    }

private:
    mutable std::mutex mutex_;
    std::map<uint64_t, std::shared_ptr<Record>> records_;
};

}  // namespace kelm::platform
