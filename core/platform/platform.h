#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

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

// Processors this process may run on, at least 1: the online processors, narrowed to the
// process's CPU affinity (taskset) and to the CPU quota of its control group where the system
// states one (a container limited to 1.5 processors gets 2). The physical count comes from the
// CPU topology of those processors and falls back to the logical count where the topology cannot
// be read; it never exceeds the logical count.
int32_t LogicalProcessorCount();
int32_t PhysicalCoreCount();

// True when the processor and the system both support 256-bit AVX2 instructions (the system
// must save the wider registers on a thread switch, or using them corrupts other threads).
bool ProcessorHasAvx2();

// The processors a control-group CPU quota allows, rounded up; -1 when no group states one.
// `selfCgroup` is the text of /proc/self/cgroup and `root` the folder the hierarchies are
// mounted in (/sys/fs/cgroup): the group's cpu.max (a unified hierarchy) or its
// cpu.cfs_quota_us and cpu.cfs_period_us (the cpu controller of a split one) are read, and
// those of each group above it, whose quotas bind it too.
int32_t CgroupProcessorLimit(const std::string& selfCgroup, const std::string& root);

// Bytes of memory this process can use: the machine's physical memory, or less where its
// control group states a lower limit (memory.max, memory.limit_in_bytes); 0 when unknown.
uint64_t UsableMemoryBytes();
// The lowest memory limit the control groups of `selfCgroup` state; 0 when none does.
uint64_t CgroupMemoryLimit(const std::string& selfCgroup, const std::string& root);

// Interrupt (Ctrl-C) and termination requests. Once watched, such a request no longer ends the
// process: it is recorded, and `onRequest` is called in the signal's context, where it may only
// touch lock-free atomics. A blocking read (a question on the console) returns early instead of
// waiting on. False when the system refused.
bool WatchStopRequests(void (*onRequest)());
// The exit status a shell shows for a process ended by the first request's signal (130 for an
// interrupt, 143 for a termination); 0 while none arrived.
int32_t StopRequestExitCode();

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
