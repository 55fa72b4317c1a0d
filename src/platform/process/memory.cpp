// LocalAlloc/LocalFree and the process heap (GetProcessHeap, HeapAlloc, HeapFree).
#include "platform/process/memory.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_set>

#include "kelm/winapi.h"

namespace kelm::platform {
namespace {

constexpr UINT kLocalFlags = LMEM_FIXED | LMEM_ZEROINIT;
constexpr DWORD kHeapNoSerialize = 0x00000001;
constexpr DWORD kHeapGenerateExceptions = 0x00000004;
constexpr DWORD kHeapAllocFlags = HEAP_ZERO_MEMORY | kHeapNoSerialize | kHeapGenerateExceptions;

// The one process heap; its handle is this object's address.
struct ProcessHeap {
    int unused;
} g_process_heap;

struct BlockTable {
    std::mutex mutex;
    std::unordered_set<void*> blocks;
};

BlockTable& LocalBlocks() {
    static BlockTable table;
    return table;
}

BlockTable& HeapBlocks() {
    static BlockTable table;
    return table;
}

// A zero-byte request still gets a distinct block, as on Windows.
void* Allocate(BlockTable& table, size_t bytes, bool zero) {
    size_t size = bytes == 0 ? 1 : bytes;
    void* block = zero ? std::calloc(1, size) : std::malloc(size);
    if (block == nullptr) return nullptr;
    std::lock_guard<std::mutex> lock(table.mutex);
    table.blocks.insert(block);
    return block;
}

// Frees `block` when the table owns it; false for a block the table does not know.
bool Release(BlockTable& table, void* block) {
    {
        std::lock_guard<std::mutex> lock(table.mutex);
        if (table.blocks.erase(block) == 0) return false;
    }
    std::free(block);
    return true;
}

}  // namespace

LiveAllocations CountLiveAllocations() {
    LiveAllocations counts{};
    {
        std::lock_guard<std::mutex> lock(LocalBlocks().mutex);
        counts.local_blocks = LocalBlocks().blocks.size();
    }
    std::lock_guard<std::mutex> lock(HeapBlocks().mutex);
    counts.heap_blocks = HeapBlocks().blocks.size();
    return counts;
}

}  // namespace kelm::platform

using kelm::platform::g_process_heap;
using kelm::platform::HeapBlocks;
using kelm::platform::LocalBlocks;

// Fixed memory only: the handle is the block's address. Moveable memory is not offered.
KELM_WINAPI_EXPORT HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes) {
    if ((uFlags & ~kelm::platform::kLocalFlags) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    void* block = kelm::platform::Allocate(LocalBlocks(), uBytes, (uFlags & LMEM_ZEROINIT) != 0);
    if (block == nullptr) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return block;
}

// Returns nullptr on success (and for nullptr); returns the handle itself with
// ERROR_INVALID_HANDLE when it is not a live LocalAlloc block.
KELM_WINAPI_EXPORT HLOCAL WINAPI LocalFree(HLOCAL hMem) {
    if (hMem == nullptr) return nullptr;
    if (!kelm::platform::Release(LocalBlocks(), hMem)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return hMem;
    }
    return nullptr;
}

KELM_WINAPI_EXPORT HANDLE WINAPI GetProcessHeap(void) { return &g_process_heap; }

KELM_WINAPI_EXPORT LPVOID WINAPI HeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes) {
    if (hHeap != &g_process_heap) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if ((dwFlags & ~kelm::platform::kHeapAllocFlags) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    void* block = kelm::platform::Allocate(HeapBlocks(), dwBytes, (dwFlags & HEAP_ZERO_MEMORY) != 0);
    if (block == nullptr) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return block;
}

// Freeing nullptr succeeds; a block this heap did not hand out is refused.
KELM_WINAPI_EXPORT BOOL WINAPI HeapFree(HANDLE hHeap, DWORD dwFlags, LPVOID lpMem) {
    (void)dwFlags;
    if (hHeap != &g_process_heap) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (lpMem == nullptr) return TRUE;
    if (!kelm::platform::Release(HeapBlocks(), lpMem)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}
