#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

// The thin layer over the host system. Everything above it is portable; every OS call of the
// Core lives in platform.cpp.
namespace Core::Platform {

// Auto-reset event: Set wakes one waiter (or lets the next Wait pass at once) and the successful
// Wait consumes the signal. Sets without a waiter in between collapse into one.
class AutoResetEvent {
public:
    void Set();
    // Milliseconds, -1 waits for ever. True when the event was signalled in time.
    bool Wait(int32_t milliseconds);

private:
    std::mutex lock;
    std::condition_variable wakeUp;
    bool signalled = false;
};

struct OsThread;
using ThreadEntry = void* (*)(void* argument);

// Starts entry(argument) on a new thread with the default stack size; null when the system
// refuses. JoinThread waits for it to end and frees the handle.
OsThread* CreateThread(ThreadEntry entry, void* argument);
void JoinThread(OsThread* thread);

// The kernel's id of the calling thread (what shows in tools such as top), never 0.
uint64_t CurrentThreadId();

// Priority levels -3 (idle) .. 3 (time-critical), 0 normal. Idle becomes the idle scheduling
// class; the others nice values relative to the process's. Raising above normal usually needs
// privileges, so callers must treat false as "kept the old priority".
bool SetThreadPriority(uint64_t threadId, int32_t level);

// At least 1 each. The physical count comes from the CPU topology and falls back to the
// logical count where the topology cannot be read.
int32_t LogicalProcessorCount();
int32_t PhysicalCoreCount();

// True when the processor and the system both support 256-bit AVX2 instructions (the system
// must save the wider registers on a thread switch, or using them corrupts other threads).
bool ProcessorHasAvx2();

void SleepMilliseconds(int32_t milliseconds);

// Large blocks straight from the system, aligned to `LargePageSize` and backed by large pages
// where the system offers them: big random-access arrays (trees, hash buckets, vertex lists)
// then take far fewer address-translation misses and first-touch faults. Null when refused.
constexpr size_t LargePageSize = size_t(2) << 20;
void* MapLargeBlock(size_t length);
void UnmapLargeBlock(void* block, size_t length);
// Resizes a block of MapLargeBlock, keeping its contents; the block may move. Null when refused,
// and the old block is then untouched.
void* RemapLargeBlock(void* block, size_t oldLength, size_t newLength);

// Has the C runtime serve every block below `largeBlockMinimum` from its own reused heap and
// keep up to `retained` bytes of freed memory: blocks above the limit are mapped separately by
// the caller, and without this the runtime would map mid-sized blocks afresh each time too,
// paying first-touch faults over and over. Does nothing where the runtime offers no such setting.
void TuneRuntimeAllocator(size_t largeBlockMinimum, size_t retained);

// Lets the next `allowed` thread creations succeed and refuses every one after them; -1 (the
// default) refuses none. Only tests use it, to reach the failure paths of thread start-up.
void LimitThreadCreationForTesting(int32_t allowed);

}  // namespace Core::Platform
