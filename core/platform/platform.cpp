#include "core/platform/platform.h"

#include <malloc.h>
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>
#include <thread>
#include <utility>
#include <vector>

namespace Core::Platform {

void AutoResetEvent::Set()
{
    {
        std::lock_guard<std::mutex> guard(lock);
        signalled = true;
    }
    wakeUp.notify_one();
}

bool AutoResetEvent::Wait(int32_t milliseconds)
{
    std::unique_lock<std::mutex> guard(lock);
    if (milliseconds < 0)
        wakeUp.wait(guard, [this] { return signalled; });
    else if (!wakeUp.wait_for(guard, std::chrono::milliseconds(milliseconds), [this] { return signalled; }))
        return false;
    signalled = false;
    return true;
}

struct OsThread {
    pthread_t handle;
};

namespace {

std::atomic<int32_t> creationsAllowed{-1};

bool CreationAllowedForTesting()
{
    int32_t allowed = creationsAllowed.load();
    while (allowed >= 0) {
        if (allowed == 0)
            return false;
        if (creationsAllowed.compare_exchange_weak(allowed, allowed - 1))
            return true;
    }
    return true;
}

// Reads one small non-negative integer from a sysfs file; -1 when missing or malformed.
int ReadSmallInteger(const char* path)
{
    std::FILE* file = std::fopen(path, "r");
    if (!file)
        return -1;
    int value = -1;
    if (std::fscanf(file, "%d", &value) != 1 || value < 0)
        value = -1;
    std::fclose(file);
    return value;
}

}  // namespace

OsThread* CreateThread(ThreadEntry entry, void* argument)
{
    if (!CreationAllowedForTesting())
        return nullptr;
    OsThread* thread = new (std::nothrow) OsThread;
    if (!thread)
        return nullptr;
    if (pthread_create(&thread->handle, nullptr, entry, argument) != 0) {
        delete thread;
        return nullptr;
    }
    return thread;
}

void JoinThread(OsThread* thread)
{
    if (!thread)
        return;
    pthread_join(thread->handle, nullptr);
    delete thread;
}

uint64_t CurrentThreadId()
{
    return uint64_t(syscall(SYS_gettid));
}

bool SetThreadPriority(uint64_t threadId, int32_t level)
{
    pid_t tid = pid_t(threadId);
    sched_param param{};
    param.sched_priority = 0;
    if (level <= -3)
        return sched_setscheduler(tid, SCHED_IDLE, &param) == 0;

    // Leave the idle class first, or the nice value below would not matter.
    if (sched_getscheduler(tid) == SCHED_IDLE && sched_setscheduler(tid, SCHED_OTHER, &param) != 0)
        return false;
    // Five nice steps per level keep the levels clearly apart without reaching the extremes
    // before time-critical; relative to the process, so a niced process stays niced.
    static const int niceOffset[] = {10, 5, 0, -5, -10, -15};  // levels -2 .. 3
    errno = 0;
    int base = getpriority(PRIO_PROCESS, pid_t(getpid()));
    if (base == -1 && errno != 0)
        base = 0;
    int nice = std::clamp(base + niceOffset[std::clamp(level, -2, 3) + 2], -20, 19);
    return setpriority(PRIO_PROCESS, id_t(tid), nice) == 0;
}

int32_t LogicalProcessorCount()
{
    long online = sysconf(_SC_NPROCESSORS_ONLN);
    if (online < 1)
        online = long(std::thread::hardware_concurrency());
    return int32_t(std::clamp(online, 1L, 4096L));
}

bool ProcessorHasAvx2()
{
#if defined(__x86_64__) || defined(__i386__)
    // The compiler's runtime checks the processor's identification bits and that the system has
    // enabled the extended register state.
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
#else
    return false;
#endif
}

int32_t PhysicalCoreCount()
{
    int32_t logical = LogicalProcessorCount();
    long configured = std::clamp(sysconf(_SC_NPROCESSORS_CONF), long(logical), 4096L);
    // One (package, core) pair per physical core; hyper-threads share theirs.
    std::vector<std::pair<int, int>> cores;
    char path[128];
    for (long cpu = 0; cpu < configured; cpu++) {
        std::snprintf(path, sizeof path, "/sys/devices/system/cpu/cpu%ld/topology/core_id", cpu);
        int core = ReadSmallInteger(path);
        std::snprintf(path, sizeof path, "/sys/devices/system/cpu/cpu%ld/topology/physical_package_id", cpu);
        int package = ReadSmallInteger(path);
        if (core >= 0 && package >= 0)
            cores.push_back({package, core});
    }
    std::sort(cores.begin(), cores.end());
    int32_t physical = int32_t(std::unique(cores.begin(), cores.end()) - cores.begin());
    if (physical < 1 || physical > logical)
        return logical;
    return physical;
}

void SleepMilliseconds(int32_t milliseconds)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(std::max(milliseconds, 0)));
}

void* MapLargeBlock(size_t length)
{
    // Over-reserve by one large page and trim both ends so the block starts on a large-page
    // boundary; only whole aligned large pages can be backed by one.
    size_t reserved = length + LargePageSize;
    void* mapped = mmap(nullptr, reserved, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED)
        return nullptr;
    uintptr_t start = reinterpret_cast<uintptr_t>(mapped);
    uintptr_t aligned = (start + LargePageSize - 1) & ~uintptr_t(LargePageSize - 1);
    if (aligned > start)
        munmap(mapped, aligned - start);
    uintptr_t end = start + reserved;
    if (end > aligned + length)
        munmap(reinterpret_cast<void*>(aligned + length), end - (aligned + length));
    void* block = reinterpret_cast<void*>(aligned);
#ifdef MADV_HUGEPAGE
    madvise(block, length, MADV_HUGEPAGE);
#endif
    return block;
}

void UnmapLargeBlock(void* block, size_t length) { munmap(block, length); }

void* RemapLargeBlock(void* block, size_t oldLength, size_t newLength)
{
#if defined(__linux__) && defined(MREMAP_FIXED)
    // The pages move by their page-table entries onto a fresh large-page boundary: neither a
    // copy nor the first-touch faults of the old part are paid again, and large pages stay whole.
    if (newLength <= oldLength) {
        if (newLength < oldLength)
            munmap(static_cast<char*>(block) + newLength, oldLength - newLength);
        return block;
    }
    void* target = MapLargeBlock(newLength);
    if (!target)
        return nullptr;
    void* moved = mremap(block, oldLength, newLength, MREMAP_MAYMOVE | MREMAP_FIXED, target);
    if (moved == MAP_FAILED) {
        munmap(target, newLength);
        return nullptr;
    }
#ifdef MADV_HUGEPAGE
    madvise(moved, newLength, MADV_HUGEPAGE);
#endif
    return moved;
#else
    void* target = MapLargeBlock(newLength);
    if (!target)
        return nullptr;
    std::memcpy(target, block, std::min(oldLength, newLength));
    munmap(block, oldLength);
    return target;
#endif
}

void TuneRuntimeAllocator(size_t largeBlockMinimum, size_t retained)
{
#if defined(__GLIBC__) && defined(M_MMAP_THRESHOLD) && defined(M_TRIM_THRESHOLD)
    mallopt(M_MMAP_THRESHOLD, int(std::min<size_t>(largeBlockMinimum, INT32_MAX)));
    mallopt(M_TRIM_THRESHOLD, int(std::min<size_t>(retained, INT32_MAX)));
#else
    (void)largeBlockMinimum;
    (void)retained;
#endif
}

void LimitThreadCreationForTesting(int32_t allowed)
{
    creationsAllowed.store(allowed < 0 ? -1 : allowed);
}

}  // namespace Core::Platform
