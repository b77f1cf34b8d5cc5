#pragma once

#include <cstddef>
#include <cstdint>

#include "core/segment_heap.h"

namespace Core {

// The process's heap: the entry points of the engine's new and delete and of its growable
// arrays, each under the heap's one lock. Statistics count every block of the heap since the
// start of the process.
//
// operator new takes its blocks from the C runtime until the Core starts the heap (a count
// raised by CoreInit and lowered by CoreShutdown); delete and Free hand every block that is not
// the heap's to the C runtime, so blocks from before the start can be freed at any time, and
// blocks of the heap can be freed after the Core stops.
//
// Sanitizer builds serve every block from the C runtime, still counted, so that the sanitizer
// checks each block on its own.
namespace Heap {
// Alignment 16, or for sizes below 16 the largest power of two not above the size. Growable
// arrays live here: from 512 KB a block has a segment of its own, and Realloc then grows it by
// moving pages. Null only for an absurd request (beyond 2^64 - 2^20 bytes, or count times size
// overflowing), the old block then left as it was; running out of memory ends the process
// (OutOfMemory). Realloc of null allocates, Realloc to size 0 frees.
void* Alloc(size_t size);
void* AllocZeroed(size_t count, size_t size);
void* Realloc(void* block, size_t size);
void Free(void* block);
HeapStats GetStats(bool detailed = false);
// SegmentHeap::CheckConsistency of the process heap, under its lock; sanitizer builds have no
// segments and always pass. For tests.
bool CheckConsistency();

// Raised by the Core's start-up, lowered by its shutdown: while positive, operator new uses
// the heap.
void Start();
void Stop();

// Running out of memory is fatal for the tool: says so ("Out of memory (segments)!" for a full
// segment table, else "Out of memory!") and ends the process with a failure code rather than
// unwind.
[[noreturn]] void OutOfMemory(HeapFailure failure = HeapFailure::NoMemory);
}  // namespace Heap

inline HeapStats GetHeapStats() { return Heap::GetStats(false); }

}  // namespace Core
