#pragma once

#include <cstdint>

namespace Core {

// Statistics of the process's allocations. Every operator new / delete of the program is
// counted once this file is linked in (referencing GetHeapStats pulls it in).
struct HeapStats {
    uint64_t allocBlocks = 0;    // blocks in use
    uint64_t allocSize = 0;      // their payload bytes, each rounded up to 8 (at least 8)
    uint64_t peakAllocSize = 0;  // largest allocSize + 16 * allocBlocks reached
    uint64_t allocCalls = 0;
    uint64_t freeCalls = 0;
};

HeapStats GetHeapStats();

}  // namespace Core
