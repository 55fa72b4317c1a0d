#include "core/handles.h"

#include <memory>
#include <mutex>
#include <new>
#include <unordered_map>
#include <vector>

#include "core/secure_wipe.h"
#include "kelm/winapi.h"

namespace kelm::core {

namespace {

// Handle records come from slots that the table owns for the life of the process. A slot's
// generation goes up with every reuse and is part of the handle, so the handle of a released
// record never matches again; a slot whose generation is used up is retired, never reused.
constexpr size_t kSlotsPerChunk = 256;
constexpr uint16_t kLastGeneration = 0xFFFF;

struct FreeSlot {
    HANDLE_CTX* Record;
    uint16_t Generation;  // the generation its next handle carries
};

// Callers may share handles between threads carelessly; the table itself stays consistent
// whatever they do.
struct HandleTable {
    std::mutex Lock;
    std::unordered_map<const HANDLE_CTX*, uint16_t> Live;  // handed out and not yet freed
    std::vector<FreeSlot> Released;                         // reusable slots, latest release last
    std::vector<HANDLE_CTX*> Fresh;                         // never-used slots of the newest chunk
    std::vector<std::unique_ptr<HANDLE_CTX[]>> Chunks;
};

HandleTable& Table() {
    // Never destroyed: handles may still be released by code running during process exit.
    static HandleTable* table = new HandleTable;
    return *table;
}

// A zeroed slot and its generation; false when out of memory. Called with the table locked.
bool TakeSlot(HandleTable& table, FreeSlot* slot) {
    if (!table.Released.empty()) {
        *slot = table.Released.back();
        table.Released.pop_back();
        return true;
    }
    if (table.Fresh.empty()) {
        std::unique_ptr<HANDLE_CTX[]> chunk(new (std::nothrow) HANDLE_CTX[kSlotsPerChunk]());
        if (chunk == nullptr) return false;
        // A chunk the handle's address bits cannot name is of no use (no current system maps
        // user memory there).
        if ((reinterpret_cast<uintptr_t>(&chunk[kSlotsPerChunk - 1]) & ~kHandleAddressMask) != 0) return false;
        table.Fresh.reserve(kSlotsPerChunk);
        for (size_t i = kSlotsPerChunk; i-- > 0;) table.Fresh.push_back(&chunk[i]);
        table.Chunks.push_back(std::move(chunk));
    }
    *slot = FreeSlot{table.Fresh.back(), 0};
    table.Fresh.pop_back();
    return true;
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
        FreeSlot slot{};
        if (!TakeSlot(table, &slot)) throw std::bad_alloc();
        table.Live.emplace(slot.Record, slot.Generation);
        HANDLE_CTX* record = slot.Record;
        const uint64_t handle = EncodeHandle(record, slot.Generation);
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

namespace {

// The live record behind `handle` with its type checked, or null; `owner` receives its hProv.
void* LiveContext(uint64_t handle, DWORD type, uint64_t* owner) {
    if (handle == 0) {
        return nullptr;
    }
    const HANDLE_CTX* record = DecodeHandle(handle);
    HandleTable& table = Table();
    std::lock_guard<std::mutex> guard(table.Lock);
    const auto live = table.Live.find(record);
    if (live == table.Live.end() || live->second != HandleGeneration(handle)) {
        return nullptr;
    }
    if (record->HndType != type) {
        return nullptr;
    }
    *owner = record->hProv;
    return record->Context;
}

}  // namespace

void* Get_CryptoCTX(uint64_t handle, DWORD type, uint64_t hProv) {
    uint64_t owner = 0;
    void* context = LiveContext(handle, type, &owner);
    return owner == hProv ? context : nullptr;
}

void* Get_CryptoCTXOfAnyOwner(uint64_t handle, DWORD type) {
    uint64_t owner = 0;
    return LiveContext(handle, type, &owner);
}

void Free_CryptoHandle(uint64_t handle) {
    const DWORD saved = GetLastError();
    HANDLE_CTX* record = DecodeHandle(handle);
    HandleTable& table = Table();
    try {
        std::lock_guard<std::mutex> guard(table.Lock);
        const auto live = table.Live.find(record);
        if (handle == 0 || live == table.Live.end() || live->second != HandleGeneration(handle)) {
            SetLastError(static_cast<DWORD>(NTE_BAD_UID));
            return;
        }
        const uint16_t generation = live->second;
        table.Live.erase(live);
        // Cleared so that nothing of the object outlives its handle in the slot.
        SecureZero(record, sizeof(HANDLE_CTX));
        if (generation != kLastGeneration) {
            table.Released.push_back(FreeSlot{record, static_cast<uint16_t>(generation + 1)});
        }
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
