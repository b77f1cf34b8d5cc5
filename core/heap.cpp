#include "core/heap.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "core/platform/platform.h"

namespace Core {
namespace {

// Every block carries a header in front of the payload that remembers its size, so delete can
// count without a lookup. 16 bytes keep the payload as aligned as malloc's.
constexpr size_t headerSize = 16;
constexpr uint64_t blockOverhead = 16;

// Blocks of at least this many bytes come from the system's large pages. The sanitizer builds
// keep every block on malloc so their checks still see it.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr size_t largeBlockMinimum = SIZE_MAX;
#else
constexpr size_t largeBlockMinimum = size_t(4) << 20;
#endif
// Marks a large block in the header's offset word.
constexpr uint64_t largeBlockFlag = uint64_t(1) << 63;
constexpr size_t smallPageSize = 4096;

size_t LargeBlockLength(size_t offset, uint64_t rounded)
{
    return (offset + rounded + smallPageSize - 1) & ~(smallPageSize - 1);
}

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

void* Allocate(size_t size, size_t alignment)
{
    // The header sits right before the payload, padded so the payload keeps its alignment.
    size_t offset = alignment > headerSize ? alignment : headerSize;
    if (size > SIZE_MAX - offset)
        return nullptr;
    uint64_t rounded = Rounded(size);
    bool large = size >= largeBlockMinimum && alignment <= Platform::LargePageSize;
    void* raw = large ? Platform::MapLargeBlock(LargeBlockLength(offset, rounded))
              : alignment > headerSize ? std::aligned_alloc(alignment, (size + offset + alignment - 1) / alignment * alignment)
                                       : std::malloc(size + offset);
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

// Running out of memory is fatal for the tool: say so and stop rather than unwind.
void* AllocateOrDie(size_t size, size_t alignment)
{
    void* p = Allocate(size, alignment);
    if (!p) {
        std::fputs("Fatal error: Out of memory!\n", stderr);
        std::abort();
    }
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

}  // namespace Core

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
