#include "core/handles.h"

#include <memory>
#include <mutex>
#include <new>
#include <unordered_map>
#include <vector>

#include "core/context_records.h"
#include "core/objects_in_use.h"
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

// A record handed out and not yet given back to the slots. Calls that looked it up hold it
// (Uses); a freed handle whose record is still held is Freed (no lookup finds it any more) and
// goes back to the slots, its context with it when asked, when the last holder lets go.
struct LiveRecord {
    uint16_t Generation;
    uint32_t Uses = 0;
    bool Freed = false;
    void* ContextToFree = nullptr;  // freed by the record's type once no call holds it
    DWORD Type = 0;
};

// Callers may share handles between threads carelessly; the table itself stays consistent
// whatever they do.
struct HandleTable {
    std::mutex Lock;
    std::unordered_map<const HANDLE_CTX*, LiveRecord> Live;  // handed out and not yet back
    std::vector<FreeSlot> Released;                           // reusable slots, latest release last
    std::vector<HANDLE_CTX*> Fresh;                           // never-used slots of the newest chunk
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
        table.Live.emplace(slot.Record, LiveRecord{slot.Generation});
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

// Frees a context by the type of the handle that stood for it.
void FreeContext(DWORD type, void* context) {
    switch (type) {
    case HANDLE_PROVIDER_TYPE: Free_ProvCTX(static_cast<ProvCTX*>(context)); break;
    case HANDLE_CONTAINER_TYPE: Free_ContainerCTX(static_cast<ContainerCTX*>(context)); break;
    case HANDLE_KEY_TYPE: Free_KeyCTX(static_cast<KeyCTX*>(context)); break;
    case HANDLE_HASH_TYPE: Free_HashCTX(static_cast<HashCTX*>(context)); break;
    default: break;
    }
}

// Gives a record back to the slots; the context it should free, if any, goes to *context.
// Called with the table locked.
void ReturnRecord(HandleTable& table, std::unordered_map<const HANDLE_CTX*, LiveRecord>::iterator live,
                  LiveRecord* returned) {
    auto* record = const_cast<HANDLE_CTX*>(live->first);
    *returned = live->second;
    table.Live.erase(live);
    // Cleared so that nothing of the object outlives its handle in the slot.
    SecureZero(record, sizeof(HANDLE_CTX));
    if (returned->Generation != kLastGeneration) {
        try {
            table.Released.push_back(FreeSlot{record, static_cast<uint16_t>(returned->Generation + 1)});
        } catch (const std::bad_alloc&) {
            // The slot is out of the live table and cleared; it is simply never reused.
        }
    }
}

// What an ObjectsInUse runs for each record it held.
void LetGoRecord(const void* held) {
    HandleTable& table = Table();
    LiveRecord returned{0};
    {
        std::lock_guard<std::mutex> guard(table.Lock);
        const auto live = table.Live.find(static_cast<const HANDLE_CTX*>(held));
        if (live == table.Live.end()) return;
        if (--live->second.Uses != 0 || !live->second.Freed) return;
        ReturnRecord(table, live, &returned);
    }
    if (returned.ContextToFree != nullptr) FreeContext(returned.Type, returned.ContextToFree);
}

// The live record behind `handle` with its type checked, or null; `owner` receives its hProv.
// Within an ObjectsInUse, the record (and with it its context) is held until that closes.
void* LiveContext(uint64_t handle, DWORD type, uint64_t* owner) {
    if (handle == 0) {
        return nullptr;
    }
    const HANDLE_CTX* record = DecodeHandle(handle);
    HandleTable& table = Table();
    std::lock_guard<std::mutex> guard(table.Lock);
    const auto live = table.Live.find(record);
    if (live == table.Live.end() || live->second.Freed || live->second.Generation != HandleGeneration(handle)) {
        return nullptr;
    }
    if (record->HndType != type) {
        return nullptr;
    }
    if (ObjectsInUse::Hold(&LetGoRecord, record)) {
        ++live->second.Uses;
    }
    *owner = record->hProv;
    return record->Context;
}

// Takes the handle out of use: at once, or, while calls hold its record, when the last of them
// lets go. `free_context`: the context goes with it. False when the handle is not live.
bool Retire(uint64_t handle, bool free_context) {
    HANDLE_CTX* record = DecodeHandle(handle);
    HandleTable& table = Table();
    LiveRecord returned{0};
    {
        std::lock_guard<std::mutex> guard(table.Lock);
        const auto live = table.Live.find(record);
        if (handle == 0 || live == table.Live.end() || live->second.Freed ||
            live->second.Generation != HandleGeneration(handle)) {
            return false;
        }
        if (free_context) {
            live->second.ContextToFree = record->Context;
            live->second.Type = record->HndType;
        }
        if (live->second.Uses != 0) {
            live->second.Freed = true;
            return true;
        }
        ReturnRecord(table, live, &returned);
    }
    if (returned.ContextToFree != nullptr) FreeContext(returned.Type, returned.ContextToFree);
    return true;
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
    if (!Retire(handle, false)) {
        SetLastError(static_cast<DWORD>(NTE_BAD_UID));
        return;
    }
    SetLastError(saved);
}

bool Release_CryptoObject(uint64_t handle) {
    const DWORD saved = GetLastError();
    const bool released = Retire(handle, true);
    SetLastError(saved);
    return released;
}

size_t LiveHandleCount() {
    HandleTable& table = Table();
    std::lock_guard<std::mutex> guard(table.Lock);
    return table.Live.size();
}

}  // namespace kelm::core
