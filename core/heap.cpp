#include "core/heap.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "core/platform/platform.h"

namespace Core {
namespace {

// Every block carries a header in front of the payload that remembers its size, so delete can
// count without a lookup. 16 bytes keep the payload as aligned as malloc's. The payload really
// has the rounded size it records, so a resize may copy all of it.
constexpr size_t headerSize = 16;
constexpr uint64_t blockOverhead = 16;

// Blocks of at least this many bytes come from the system's large pages. A block of Heap::Alloc
// or Heap::Realloc goes there sooner: it is a growing array that will likely grow on, and
// on this kind of machine each first touch of a small page costs about as much as filling it
// many times over. The sanitizer builds keep every block on malloc so their checks still see it
// (GCC says so with __SANITIZE_*__, clang only through __has_feature).
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define KETRA_HEAP_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || defined(KETRA_HEAP_SANITIZED)
constexpr size_t largeBlockMinimum = SIZE_MAX;
constexpr size_t largeGrowingMinimum = SIZE_MAX;
#else
constexpr size_t largeBlockMinimum = size_t(4) << 20;
constexpr size_t largeGrowingMinimum = size_t(512) << 10;
#endif
// Marks a large block in the header's offset word.
constexpr uint64_t largeBlockFlag = uint64_t(1) << 63;

// Larger requests are refused outright, so that no size computation below can overflow.
constexpr size_t largestRequest = SIZE_MAX / 4;

// Mappings cover whole large pages, so the last one can be a large page too and a block can grow
// within its mapping without a system call. Pages past the payload are never touched and cost no
// memory.
size_t LargeBlockLength(size_t offset, uint64_t rounded)
{
    return (offset + rounded + Platform::LargePageSize - 1) & ~(Platform::LargePageSize - 1);
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// Blocks below the large-block size stay with the C runtime, in memory it keeps and reuses.
const bool runtimeTuned = [] {
    Platform::TuneRuntimeAllocator(largeBlockMinimum, size_t(64) << 20);
    return true;
}();
#endif

std::atomic<uint64_t> blocks{0};
std::atomic<uint64_t> bytes{0};
std::atomic<uint64_t> peak{0};
std::atomic<uint64_t> allocCalls{0};
std::atomic<uint64_t> freeCalls{0};

uint64_t Rounded(size_t size) { return size < 8 ? 8 : (uint64_t(size) + 7) & ~uint64_t(7); }

void CountAlloc(uint64_t size)
{
    allocCalls.fetch_add(1, std::memory_order_relaxed);
    uint64_t nowBlocks = blocks.fetch_add(1, std::memory_order_relaxed) + 1;
    uint64_t nowBytes = bytes.fetch_add(size, std::memory_order_relaxed) + size;
    uint64_t inUse = nowBytes + blockOverhead * nowBlocks;
    uint64_t seen = peak.load(std::memory_order_relaxed);
    while (inUse > seen && !peak.compare_exchange_weak(seen, inUse, std::memory_order_relaxed)) {
    }
}

void CountFree(uint64_t size)
{
    freeCalls.fetch_add(1, std::memory_order_relaxed);
    blocks.fetch_sub(1, std::memory_order_relaxed);
    bytes.fetch_sub(size, std::memory_order_relaxed);
}

void* Allocate(size_t size, size_t alignment, size_t largeMinimum = largeBlockMinimum)
{
    // The header sits right before the payload, padded so the payload keeps its alignment.
    size_t offset = alignment > headerSize ? alignment : headerSize;
    if (size > largestRequest)
        return nullptr;
    uint64_t rounded = Rounded(size);
    bool large = size >= largeMinimum && alignment <= Platform::LargePageSize;
    void* raw = large ? Platform::MapLargeBlock(LargeBlockLength(offset, rounded)) : nullptr;
    if (!raw) {
        // A refused mapping falls back on the C runtime, which may still find the memory.
        large = false;
        raw = alignment > headerSize ? std::aligned_alloc(alignment, (rounded + offset + alignment - 1) / alignment * alignment)
                                     : std::malloc(rounded + offset);
    }
    if (!raw)
        return nullptr;
    char* payload = static_cast<char*>(raw) + offset;
    reinterpret_cast<uint64_t*>(payload)[-1] = rounded;
    reinterpret_cast<uint64_t*>(payload)[-2] = offset | (large ? largeBlockFlag : 0);
    CountAlloc(rounded);
    return payload;
}

void Release(void* payload)
{
    if (!payload)
        return;
    uint64_t size = static_cast<uint64_t*>(payload)[-1];
    uint64_t offsetWord = static_cast<uint64_t*>(payload)[-2];
    size_t offset = size_t(offsetWord & ~largeBlockFlag);
    CountFree(size);
    char* raw = static_cast<char*>(payload) - offset;
    if (offsetWord & largeBlockFlag)
        Platform::UnmapLargeBlock(raw, LargeBlockLength(offset, size));
    else
        std::free(raw);
}

// Keeps the block's count and moves only its size; a resize never has the old and the new
// block alive at once as far as the statistics go.
void CountResize(uint64_t oldSize, uint64_t newSize)
{
    uint64_t nowBytes = bytes.fetch_add(newSize - oldSize, std::memory_order_relaxed) + (newSize - oldSize);
    uint64_t inUse = nowBytes + blockOverhead * blocks.load(std::memory_order_relaxed);
    uint64_t seen = peak.load(std::memory_order_relaxed);
    while (inUse > seen && !peak.compare_exchange_weak(seen, inUse, std::memory_order_relaxed)) {
    }
}

void* Resize(void* payload, size_t size)
{
    if (!payload)
        return Allocate(size, 0, largeGrowingMinimum);
    if (size == 0) {
        Release(payload);
        return nullptr;
    }
    if (size > largestRequest)
        return nullptr;
    uint64_t oldSize = static_cast<uint64_t*>(payload)[-1];
    uint64_t offsetWord = static_cast<uint64_t*>(payload)[-2];
    size_t offset = size_t(offsetWord & ~largeBlockFlag);
    uint64_t rounded = Rounded(size);
    char* raw = static_cast<char*>(payload) - offset;
    void* moved = nullptr;
    if (offsetWord & largeBlockFlag) {
        size_t oldLength = LargeBlockLength(offset, oldSize), newLength = LargeBlockLength(offset, rounded);
        moved = newLength == oldLength ? raw : Platform::RemapLargeBlock(raw, oldLength, newLength);
    } else if (offset == headerSize && size < largeGrowingMinimum)
        moved = std::realloc(raw, rounded + offset);
    else {
        // Between kinds of block, or off the default alignment: a new block and a copy.
        void* fresh = Allocate(size, offset > headerSize ? offset : 0, largeGrowingMinimum);
        if (!fresh)
            return nullptr;
        std::memcpy(fresh, payload, size_t(std::min(oldSize, rounded)));
        Release(payload);
        return fresh;
    }
    if (!moved)
        return nullptr;
    char* movedPayload = static_cast<char*>(moved) + offset;
    reinterpret_cast<uint64_t*>(movedPayload)[-1] = rounded;
    CountResize(oldSize, rounded);
    return movedPayload;
}

void* AllocateOrDie(size_t size, size_t alignment)
{
    void* p = Allocate(size, alignment);
    if (!p)
        Heap::OutOfMemory();
    return p;
}

}  // namespace

HeapStats GetHeapStats()
{
    HeapStats stats;
    stats.allocBlocks = blocks.load();
    stats.allocSize = bytes.load();
    stats.peakAllocSize = peak.load();
    stats.allocCalls = allocCalls.load();
    stats.freeCalls = freeCalls.load();
    return stats;
}

void* Heap::Alloc(size_t size) { return Allocate(size, 0, largeGrowingMinimum); }
void* Heap::Realloc(void* block, size_t size) { return Resize(block, size); }
void Heap::Free(void* block) { Release(block); }

void Heap::OutOfMemory()
{
    std::fputs("Fatal error: Out of memory!\n", stderr);
    std::abort();
}

}  // namespace Core

// Fuzz builds keep the system's operators: libFuzzer's runtime allocates through them and keeps
// its corpus until the process ends, and LeakSanitizer does not see a block as referenced when
// every pointer to it points past the header this heap puts in front.
#ifndef KETRA_SYSTEM_OPERATOR_NEW
void* operator new(size_t size) { return Core::AllocateOrDie(size, 0); }
void* operator new[](size_t size) { return Core::AllocateOrDie(size, 0); }
void* operator new(size_t size, std::align_val_t a) { return Core::AllocateOrDie(size, size_t(a)); }
void* operator new[](size_t size, std::align_val_t a) { return Core::AllocateOrDie(size, size_t(a)); }
void* operator new(size_t size, const std::nothrow_t&) noexcept { return Core::Allocate(size, 0); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return Core::Allocate(size, 0); }
void operator delete(void* p) noexcept { Core::Release(p); }
void operator delete[](void* p) noexcept { Core::Release(p); }
void operator delete(void* p, size_t) noexcept { Core::Release(p); }
void operator delete[](void* p, size_t) noexcept { Core::Release(p); }
void operator delete(void* p, std::align_val_t) noexcept { Core::Release(p); }
void operator delete[](void* p, std::align_val_t) noexcept { Core::Release(p); }
void operator delete(void* p, size_t, std::align_val_t) noexcept { Core::Release(p); }
void operator delete[](void* p, size_t, std::align_val_t) noexcept { Core::Release(p); }
#endif
