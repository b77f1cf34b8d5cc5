#include "core/heap.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "core/platform/platform.h"
#include "core/sanitizer.h"
#include "core/spin_lock.h"

namespace Core {
namespace {

constexpr bool systemBlocks = KETRA_SANITIZED;

// Blocks of operator new from this size on, and blocks of growable arrays from the smaller one,
// get a segment of their own: a big array is reached at random, and on its own large pages it
// takes far fewer address-translation misses; freeing it gives the memory back at once; and a
// growable array grows there by moving pages, paying neither a copy nor the first touches of its
// old part again. Lowering them costs a system call per block and large-page rounding per block.
constexpr size_t ownSegmentMinimum = size_t(4) << 20;
constexpr size_t growingOwnSegmentMinimum = size_t(512) << 10;

// The heap is never destroyed: blocks may be freed by destructors that run after every other
// object of the program is gone. It needs no start-up either, being constant-initialised, so
// operator new can reach it before any constructor has run.
union ProcessHeap {
    constexpr ProcessHeap() : heap(ownSegmentMinimum, growingOwnSegmentMinimum) {}
    ~ProcessHeap() {}
    SegmentHeap heap;
};
constinit ProcessHeap process;
constinit SpinLock heapLock;
std::atomic<int32_t> startCount{0};
std::atomic<uint64_t> runtimeBlocks{0};

// Out of memory ends the tool; a refused request (an absurd size) is the caller's to report.
void* FatalUnlessRefused(void* block, HeapFailure failure)
{
    if (!block && (failure == HeapFailure::NoSegmentSlot || failure == HeapFailure::NoMemory))
        Heap::OutOfMemory(failure);
    return block;
}

size_t DefaultAlignment(size_t size) { return size >= 16 ? 16 : std::bit_floor(std::max<size_t>(size, 1)); }

uint64_t Rounded(size_t size) { return size < 8 ? 8 : (uint64_t(size) + 7) & ~uint64_t(7); }

// ---- sanitizer builds: every block from the C runtime, counted here ----

// The word before the payload holds the counted size, the word before that the distance back
// to the start of the runtime's block.
constexpr size_t systemHeaderSize = 16;
// As the heap's: larger requests are refused, smaller ones fail only when memory runs out.
constexpr uint64_t largestRequest = ~uint64_t(0) - (uint64_t(1) << 20);
HeapStats systemStats;

void CountSystemAlloc(uint64_t size)
{
    systemStats.allocCalls++;
    systemStats.allocBlocks++;
    systemStats.allocSize += size;
    systemStats.peakAllocSize = std::max(systemStats.peakAllocSize, systemStats.allocSize + 16 * systemStats.allocBlocks);
    systemStats.peakBlockSize = std::max(systemStats.peakBlockSize, size);
}

// Null with the reason in `failure` when refused or out of memory.
void* SystemAlloc(size_t size, size_t alignment, HeapFailure& failure)
{
    if (uint64_t(size) > largestRequest) {
        failure = HeapFailure::Refused;
        return nullptr;
    }
    size_t offset = std::max(alignment, systemHeaderSize);
    // The runtime's block ends where the request does, so the sanitizer sees a write past it.
    void* raw = alignment > systemHeaderSize ? std::aligned_alloc(alignment, (offset + size + alignment - 1) / alignment * alignment)
                                             : std::malloc(offset + size);
    if (!raw) {
        failure = HeapFailure::NoMemory;
        return nullptr;
    }
    char* payload = static_cast<char*>(raw) + offset;
    reinterpret_cast<uint64_t*>(payload)[-1] = Rounded(size);
    reinterpret_cast<uint64_t*>(payload)[-2] = offset;
    std::lock_guard<SpinLock> guard(heapLock);
    CountSystemAlloc(Rounded(size));
    return payload;
}

void SystemFree(void* payload)
{
    uint64_t size = static_cast<uint64_t*>(payload)[-1];
    uint64_t offset = static_cast<uint64_t*>(payload)[-2];
    {
        std::lock_guard<SpinLock> guard(heapLock);
        systemStats.freeCalls++;
        systemStats.allocBlocks--;
        systemStats.allocSize -= size;
    }
    std::free(static_cast<char*>(payload) - offset);
}

void* SystemRealloc(void* payload, size_t size, HeapFailure& failure)
{
    uint64_t oldSize = static_cast<uint64_t*>(payload)[-1];
    uint64_t offset = static_cast<uint64_t*>(payload)[-2];
    if (uint64_t(size) > largestRequest) {
        failure = HeapFailure::Refused;
        return nullptr;
    }
    if (offset != systemHeaderSize) {
        void* moved = SystemAlloc(size, offset, failure);
        if (moved) {
            std::memcpy(moved, payload, std::min<size_t>(size, size_t(oldSize)));
            SystemFree(payload);
        }
        return moved;
    }
    void* raw = std::realloc(static_cast<char*>(payload) - offset, offset + size);
    if (!raw) {
        failure = HeapFailure::NoMemory;
        return nullptr;
    }
    char* moved = static_cast<char*>(raw) + offset;
    reinterpret_cast<uint64_t*>(moved)[-1] = Rounded(size);
    std::lock_guard<SpinLock> guard(heapLock);
    systemStats.reallocCalls++;
    systemStats.allocSize = systemStats.allocSize - oldSize + Rounded(size);
    systemStats.peakAllocSize = std::max(systemStats.peakAllocSize, systemStats.allocSize + 16 * systemStats.allocBlocks);
    systemStats.peakBlockSize = std::max(systemStats.peakBlockSize, Rounded(size));
    return moved;
}

// ---- the ledger of measurement builds ----

#ifdef KETRA_HEAP_LEDGER
// Measurement builds (-DKETRA_HEAP_LEDGER) put the size each block was asked for in a front of
// its own before the payload, and keep the peak of their sum, so that the statistics can be held
// against the bytes the engine really asked for. The front raises these builds' own statistics by
// 16 bytes a block (more for over-aligned ones). It sits in front because the heap may later
// widen a block at its end.
uint64_t ledgerLive = 0;
uint64_t ledgerPeak = 0;

size_t LedgerFront(size_t alignment) { return std::max<size_t>(alignment, 16); }
uint64_t& AskedWord(void* payload) { return static_cast<uint64_t*>(payload)[-1]; }
uint64_t& FrontWord(void* payload) { return static_cast<uint64_t*>(payload)[-2]; }

// The payload handed out for `block` of the heap.
void* LedgerOpen(void* block, uint64_t asked, size_t front)
{
    char* payload = static_cast<char*>(block) + front;
    AskedWord(payload) = asked;
    FrontWord(payload) = front;
    ledgerLive += asked;
    ledgerPeak = std::max(ledgerPeak, ledgerLive);
    return payload;
}
// The heap's block behind a payload handed out, taken out of the ledger.
void* LedgerClose(void* payload)
{
    ledgerLive -= AskedWord(payload);
    return static_cast<char*>(payload) - FrontWord(payload);
}
uint64_t LedgerAsked(void* payload) { return AskedWord(payload); }
// Frees a block handed out by the heap; false, touching nothing, for any other block.
bool FreeIfOurs(void* payload)
{
    if (!process.heap.Owns(payload))
        return false;
    process.heap.Free(LedgerClose(payload));
    return true;
}
void LedgerReport()
{
    std::fprintf(stderr, "Heap ledger: peak asked for %llu bytes, peak counted %llu bytes\n", (unsigned long long)ledgerPeak,
                 (unsigned long long)process.heap.GetStats(false).peakAllocSize);
}
#else
size_t LedgerFront(size_t) { return 0; }
void* LedgerOpen(void* block, uint64_t, size_t) { return block; }
void* LedgerClose(void* payload) { return payload; }
uint64_t LedgerAsked(void*) { return 0; }
bool FreeIfOurs(void* payload) { return process.heap.TryFree(payload); }
void LedgerReport() {}
#endif

// The size to ask the heap for, the ledger's front included; absurd sizes stay absurd.
size_t WithFront(size_t size, size_t front) { return size > SIZE_MAX - front ? SIZE_MAX : size + front; }

// ---- the entry points ----

// Null only when refused; out of memory ends the tool unless the caller may fail.
void* Allocate(size_t size, size_t alignment, size_t ownSegmentLimit, bool mayFail = false)
{
    void* block;
    HeapFailure failure = HeapFailure::None;
    if constexpr (systemBlocks)
        block = SystemAlloc(size, alignment, failure);
    else {
        std::lock_guard<SpinLock> guard(heapLock);
        size_t front = LedgerFront(alignment);
        block = process.heap.Alloc(WithFront(size, front), alignment, ownSegmentLimit);
        failure = process.heap.LastFailure();
        if (block)
            block = LedgerOpen(block, size, front);
    }
    return mayFail ? block : FatalUnlessRefused(block, failure);
}

void Release(void* block)
{
    if (!block)
        return;
    if constexpr (systemBlocks) {
        SystemFree(block);
        return;
    }
    bool ours;
    {
        std::lock_guard<SpinLock> guard(heapLock);
        ours = FreeIfOurs(block);
    }
    // Blocks of the C runtime, from before the Core started the heap.
    if (!ours)
        std::free(block);
}

void* Resize(void* block, size_t size)
{
    if (!block)
        return Allocate(size, DefaultAlignment(size), growingOwnSegmentMinimum);
    if (size == 0) {
        Release(block);
        return nullptr;
    }
    void* resized = nullptr;
    HeapFailure failure = HeapFailure::None;
    if constexpr (systemBlocks)
        return FatalUnlessRefused(SystemRealloc(block, size, failure), failure);
    bool ours;
    {
        std::lock_guard<SpinLock> guard(heapLock);
        ours = process.heap.Owns(block);
        if (ours) {
            uint64_t asked = LedgerAsked(block);
            void* base = LedgerClose(block);
            size_t front = size_t(static_cast<char*>(block) - static_cast<char*>(base));
            resized = process.heap.Realloc(base, WithFront(size, front));
            failure = process.heap.LastFailure();
            if (resized)
                resized = LedgerOpen(resized, size, front);
            else
                LedgerOpen(base, asked, front);  // a failed resize leaves the block as it was
        }
    }
    if (!ours)
        return std::realloc(block, size);
    return FatalUnlessRefused(resized, failure);
}

// operator new: the C runtime until the Core starts the heap.
void* NewBlock(size_t size, size_t alignment, bool mayFail)
{
    alignment = std::max(alignment, DefaultAlignment(size));
    void* block;
    if (systemBlocks || startCount.load(std::memory_order_relaxed) > 0)
        block = Allocate(size, alignment, ownSegmentMinimum, mayFail);
    else {
        runtimeBlocks.fetch_add(1, std::memory_order_relaxed);
        size_t bytes = std::max<size_t>(size, 1);
        block = alignment > 16 ? std::aligned_alloc(alignment, (bytes + alignment - 1) / alignment * alignment)
                               : std::malloc(bytes);
    }
    if (!block && !mayFail)
        Heap::OutOfMemory();
    return block;
}

#if !KETRA_SANITIZED
// What the C runtime still serves (blocks from before the Core starts, and every block of a
// program that never starts it) stays in memory it keeps and reuses.
const bool runtimeTuned = [] {
    Platform::TuneRuntimeAllocator(ownSegmentMinimum, size_t(64) << 20);
    return true;
}();
#endif

}  // namespace

void* Heap::Alloc(size_t size) { return Allocate(size, DefaultAlignment(size), growingOwnSegmentMinimum); }

void* Heap::AllocZeroed(size_t count, size_t size)
{
    if (size != 0 && count > SIZE_MAX / size)
        return nullptr;
    void* block = Alloc(count * size);
    if (block)
        std::memset(block, 0, count * size);
    return block;
}

void* Heap::Realloc(void* block, size_t size) { return Resize(block, size); }

void Heap::Free(void* block) { Release(block); }

HeapStats Heap::GetStats(bool detailed)
{
    HeapStats stats;
    {
        std::lock_guard<SpinLock> guard(heapLock);
        stats = systemBlocks ? systemStats : process.heap.GetStats(detailed);
    }
    stats.preallocCalls = runtimeBlocks.load(std::memory_order_relaxed);
    return stats;
}

bool Heap::CheckConsistency()
{
    std::lock_guard<SpinLock> guard(heapLock);
    return process.heap.CheckConsistency();
}

void Heap::Start() { startCount.fetch_add(1, std::memory_order_relaxed); }
void Heap::Stop()
{
    if (startCount.fetch_sub(1, std::memory_order_relaxed) == 1) {
        std::lock_guard<SpinLock> guard(heapLock);
        LedgerReport();
    }
}

void Heap::OutOfMemory(HeapFailure failure)
{
    // Nothing that allocates: the heap may be the very thing that failed.
    std::fputs(failure == HeapFailure::NoSegmentSlot ? "Fatal error: Out of memory (segments)!\n" : "Fatal error: Out of memory!\n",
               stderr);
    std::fflush(stderr);
    std::_Exit(EXIT_FAILURE);
}

}  // namespace Core

// Fuzz builds keep the system's operators: libFuzzer's runtime allocates through them and keeps
// its corpus until the process ends, and LeakSanitizer does not see a block as referenced when
// every pointer to it points past the header this heap puts in front.
#ifndef KETRA_SYSTEM_OPERATOR_NEW
void* operator new(size_t size) { return Core::NewBlock(size, 0, false); }
void* operator new[](size_t size) { return Core::NewBlock(size, 0, false); }
void* operator new(size_t size, std::align_val_t a) { return Core::NewBlock(size, size_t(a), false); }
void* operator new[](size_t size, std::align_val_t a) { return Core::NewBlock(size, size_t(a), false); }
void* operator new(size_t size, const std::nothrow_t&) noexcept { return Core::NewBlock(size, 0, true); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return Core::NewBlock(size, 0, true); }
void* operator new(size_t size, std::align_val_t a, const std::nothrow_t&) noexcept { return Core::NewBlock(size, size_t(a), true); }
void* operator new[](size_t size, std::align_val_t a, const std::nothrow_t&) noexcept { return Core::NewBlock(size, size_t(a), true); }
void operator delete(void* p) noexcept { Core::Release(p); }
void operator delete[](void* p) noexcept { Core::Release(p); }
void operator delete(void* p, size_t) noexcept { Core::Release(p); }
void operator delete[](void* p, size_t) noexcept { Core::Release(p); }
void operator delete(void* p, std::align_val_t) noexcept { Core::Release(p); }
void operator delete[](void* p, std::align_val_t) noexcept { Core::Release(p); }
void operator delete(void* p, size_t, std::align_val_t) noexcept { Core::Release(p); }
void operator delete[](void* p, size_t, std::align_val_t) noexcept { Core::Release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { Core::Release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { Core::Release(p); }
#endif
