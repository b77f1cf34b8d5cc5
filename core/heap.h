#pragma once

#include <cstddef>
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

// Blocks for growable arrays of plain records, counted like those of operator new and freed
// only here. Realloc keeps the contents up to the smaller size; a large block grows by moving
// its pages rather than copying them into fresh memory, so growing a big array pays neither the
// copy nor the first touches of its old part again. Null when out of memory; a failed Realloc
// leaves the old block as it was. Realloc of null allocates, Realloc to size 0 frees.
namespace Heap {
void* Alloc(size_t size);
void* Realloc(void* block, size_t size);
void Free(void* block);
// Running out of memory is fatal for the tool: says so and stops rather than unwind.
[[noreturn]] void OutOfMemory();
}  // namespace Heap

}  // namespace Core
