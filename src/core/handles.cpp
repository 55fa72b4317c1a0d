#include "core/handles.h"

#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_set>
#include <vector>

#include "core/secure_wipe.h"
#include "kelm/winapi.h"

namespace kelm::core {

namespace {

// Handle records come from slots that the table owns for the life of the process. A released
// slot is reused only after kReuseDistance other releases, oldest first, so a stale handle does
// not quietly come back as the next object made: a general-purpose allocator would hand the
// same address straight back.
constexpr size_t kSlotsPerChunk = 256;
constexpr size_t kReuseDistance = 1024;

// Callers may share handles between threads carelessly; the table itself stays consistent
// whatever they do.
struct HandleTable {
    std::mutex Lock;
    std::unordered_set<const HANDLE_CTX*> Live;  // handed out and not yet freed
    std::deque<HANDLE_CTX*> Released;            // free slots, oldest release first
    std::vector<HANDLE_CTX*> Fresh;              // never-used slots of the newest chunk
    std::vector<std::unique_ptr<HANDLE_CTX[]>> Chunks;
};

HandleTable& Table() {
    // Never destroyed: handles may still be released by code running during process exit.
    static HandleTable* table = new HandleTable;
    return *table;
}

// A zeroed slot, or null when out of memory. Called with the table locked.
HANDLE_CTX* TakeSlot(HandleTable& table) {
    if (table.Released.size() > kReuseDistance) {
        HANDLE_CTX* slot = table.Released.front();
        table.Released.pop_front();
        return slot;
    }
    if (table.Fresh.empty()) {
        std::unique_ptr<HANDLE_CTX[]> chunk(new (std::nothrow) HANDLE_CTX[kSlotsPerChunk]());
        if (chunk == nullptr) return nullptr;
        table.Fresh.reserve(kSlotsPerChunk);
        for (size_t i = kSlotsPerChunk; i-- > 0;) table.Fresh.push_back(&chunk[i]);
        table.Chunks.push_back(std::move(chunk));
    }
    HANDLE_CTX* slot = table.Fresh.back();
    table.Fresh.pop_back();
    return slot;
}

}  // namespace

BOOL Alloc_Init_CryptoHandle(uint64_t* out, DWORD type, void* context, uint64_t owner) {
    if (out == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    HandleTable& table = Table();
    try {
        std::lock_guard<std::mutex> guard(table.Lock);
        HANDLE_CTX* record = TakeSlot(table);
        if (record == nullptr) throw std::bad_alloc();
        table.Live.insert(record);
        const uint64_t handle = EncodeHandle(record);
        record->Context = context;
        record->HndType = type;
        record->hProv = owner != 0 ? owner : handle;
        *out = handle;
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    return TRUE;
}

void* Get_CryptoCTX(uint64_t handle, DWORD type, uint64_t hProv) {
    if (handle == 0) {
        return nullptr;
    }
    const HANDLE_CTX* record = DecodeHandle(handle);
    HandleTable& table = Table();
    std::lock_guard<std::mutex> guard(table.Lock);
    if (table.Live.find(record) == table.Live.end()) {
        return nullptr;
    }
    if (record->HndType != type) {
        return nullptr;
    }
    if (record->hProv != hProv) {
        return nullptr;
    }
    return record->Context;
}

void Free_CryptoHandle(uint64_t handle) {
    const DWORD saved = GetLastError();
    HANDLE_CTX* record = DecodeHandle(handle);
    HandleTable& table = Table();
    try {
        std::lock_guard<std::mutex> guard(table.Lock);
        if (handle == 0 || table.Live.erase(record) == 0) {
            SetLastError(static_cast<DWORD>(NTE_BAD_UID));
            return;
        }
        // Cleared so that nothing of the object outlives its handle in the slot.
        SecureZero(record, sizeof(HANDLE_CTX));
        table.Released.push_back(record);
    } catch (const std::bad_alloc&) {
        // The slot is out of the live table and cleared; it is simply never reused.
    }
    SetLastError(saved);
}

size_t LiveHandleCount() {
    HandleTable& table = Table();
    std::lock_guard<std::mutex> guard(table.Lock);
    return table.Live.size();
}

}  // namespace kelm::core
