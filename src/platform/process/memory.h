// The local and process-heap allocators. Each keeps a table of its live blocks, so that a block
// freed twice, freed by the other allocator or never allocated is refused instead of corrupting
// the heap, and tests can check that every record was released.
#pragma once

#include <cstddef>

#include "platform/export.h"

namespace kelm::platform {

struct LiveAllocations {
    size_t local_blocks;  // LocalAlloc'd, not yet LocalFree'd
    size_t heap_blocks;   // HeapAlloc'd, not yet HeapFree'd
};

KELM_PLATFORM_API LiveAllocations CountLiveAllocations();

}  // namespace kelm::platform
