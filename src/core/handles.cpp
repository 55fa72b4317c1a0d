#include "core/handles.h"

#include <mutex>
#include <new>
#include <unordered_set>

#include "core/secure_wipe.h"
#include "kelm/winapi.h"

namespace kelm::core {

namespace {

// The addresses of every HANDLE_CTX handed out and not yet freed. Callers may share handles
// between threads carelessly; the table itself stays consistent whatever they do.
struct HandleTable {
    std::mutex Lock;
    std::unordered_set<const HANDLE_CTX*> Live;
};

HandleTable& Table() {
    // Never destroyed: handles may still be released by code running during process exit.
    static HandleTable* table = new HandleTable;
    return *table;
}

}  // namespace

BOOL Alloc_Init_CryptoHandle(uint64_t* out, DWORD type, void* context, uint64_t owner) {
    if (out == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto* record = static_cast<HANDLE_CTX*>(LocalAlloc(LPTR, sizeof(HANDLE_CTX)));
    if (record == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    const uint64_t handle = EncodeHandle(record);
    record->Context = context;
    record->HndType = type;
    record->hProv = owner != 0 ? owner : handle;

    HandleTable& table = Table();
    try {
        std::lock_guard<std::mutex> guard(table.Lock);
        table.Live.insert(record);
    } catch (const std::bad_alloc&) {
        LocalFree(record);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    *out = handle;
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
    {
        HandleTable& table = Table();
        std::lock_guard<std::mutex> guard(table.Lock);
        if (handle == 0 || table.Live.erase(record) == 0) {
            SetLastError(static_cast<DWORD>(NTE_BAD_UID));
            return;
        }
    }
    // Once out of the table the record is ours alone; clear it so a stale copy of the handle
    // that reaches freed memory finds nothing usable.
    SecureZero(record, sizeof(HANDLE_CTX));
    LocalFree(record);
    SetLastError(saved);
}

size_t LiveHandleCount() {
    HandleTable& table = Table();
    std::lock_guard<std::mutex> guard(table.Lock);
    return table.Live.size();
}

}  // namespace kelm::core
