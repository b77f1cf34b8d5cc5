#include "core/platform/platform.h"

#include <malloc.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
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
#include <string>
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

// The whole of a small text file (the kernel's pseudo files); empty when it cannot be read.
std::string ReadSmallTextFile(const std::string& path)
{
    std::string text;
    std::FILE* file = std::fopen(path.c_str(), "r");
    if (!file)
        return text;
    char block[4096];
    size_t n;
    while (text.size() < (size_t(1) << 20) && (n = std::fread(block, 1, sizeof block, file)) > 0)
        text.append(block, n);
    std::fclose(file);
    return text;
}

// A whole non-negative decimal number at the start of `text` (leading blanks skipped, a line end
// may follow); -1 for anything else, "max" included.
int64_t LeadingCount(const std::string& text, size_t& end)
{
    size_t at = text.find_first_not_of(" \t");
    if (at == std::string::npos || text[at] < '0' || text[at] > '9')
        return -1;
    int64_t value = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; at++) {
        if (value > (INT64_MAX - 9) / 10)
            return -1;
        value = value * 10 + (text[at] - '0');
    }
    end = at;
    return value;
}

int64_t LeadingCount(const std::string& text)
{
    size_t end = 0;
    return LeadingCount(text, end);
}

// One line of /proc/self/cgroup: "id:controllers:path". The unified hierarchy has no
// controllers listed.
struct CgroupLine {
    std::string controllers;
    std::string path;
};

std::vector<CgroupLine> CgroupLines(const std::string& selfCgroup)
{
    std::vector<CgroupLine> lines;
    size_t start = 0;
    while (start < selfCgroup.size()) {
        size_t end = selfCgroup.find('\n', start);
        if (end == std::string::npos)
            end = selfCgroup.size();
        std::string line = selfCgroup.substr(start, end - start);
        start = end + 1;
        size_t first = line.find(':');
        size_t second = first == std::string::npos ? first : line.find(':', first + 1);
        if (second == std::string::npos)
            continue;
        CgroupLine parsed{line.substr(first + 1, second - first - 1), line.substr(second + 1)};
        // A group outside our namespace shows as a path that climbs; its files are not ours to read.
        if (parsed.path.empty() || parsed.path[0] != '/' || parsed.path.find("..") != std::string::npos)
            continue;
        lines.push_back(parsed);
    }
    return lines;
}

bool ListsController(const std::string& controllers, const std::string& name)
{
    size_t start = 0;
    for (;;) {
        size_t end = controllers.find(',', start);
        if (controllers.compare(start, end == std::string::npos ? std::string::npos : end - start, name) == 0)
            return true;
        if (end == std::string::npos)
            return false;
        start = end + 1;
    }
}

// Calls visit(folder) for the group's folder under `mount` and every group folder above it.
template <class Visit>
void ForGroupAndAncestors(const std::string& mount, std::string path, Visit visit)
{
    for (;;) {
        visit(path == "/" ? mount : mount + path);
        if (path == "/")
            return;
        size_t slash = path.rfind('/');
        path = slash == 0 ? "/" : path.substr(0, slash);
    }
}

// A stated limit below the current one replaces it; limits <= 0 state nothing.
template <class T>
void KeepLowest(T& lowest, T limit)
{
    if (limit > 0 && (lowest <= 0 || limit < lowest))
        lowest = limit;
}

int32_t QuotaProcessors(int64_t quota, int64_t period)
{
    if (quota <= 0 || period <= 0)
        return -1;
    return int32_t(std::clamp<int64_t>((quota + period - 1) / period, 1, 4096));
}

// The processors a cgroup v2 cpu.max text allows ("max 100000" allows any number).
int32_t ProcessorsOfCpuMax(const std::string& text)
{
    size_t end = 0;
    int64_t quota = LeadingCount(text, end);
    if (quota < 0)
        return -1;
    return QuotaProcessors(quota, LeadingCount(text.substr(end)));
}

// The processors the process may run on by its affinity mask; -1 when it cannot be read.
int32_t AffinityProcessorCount(std::vector<int>* cpus)
{
    const int setSize = 4096;
    cpu_set_t* set = CPU_ALLOC(setSize);
    if (!set)
        return -1;
    const size_t bytes = CPU_ALLOC_SIZE(setSize);
    CPU_ZERO_S(bytes, set);
    int32_t count = -1;
    if (sched_getaffinity(0, bytes, set) == 0) {
        count = CPU_COUNT_S(bytes, set);
        for (int cpu = 0; cpus && cpu < setSize; cpu++) {
            if (CPU_ISSET_S(cpu, bytes, set))
                cpus->push_back(cpu);
        }
    }
    CPU_FREE(set);
    return count;
}

const char* const selfCgroupPath = "/proc/self/cgroup";
const char* const cgroupMount = "/sys/fs/cgroup";

// Only lock-free atomics may be touched from a signal handler.
std::atomic<int32_t> stopSignal{0};
std::atomic<void (*)()> stopCallback{nullptr};
static_assert(std::atomic<int32_t>::is_always_lock_free && std::atomic<void (*)()>::is_always_lock_free);

extern "C" void OnStopSignal(int signal)
{
    const int savedErrno = errno;
    int32_t none = 0;
    stopSignal.compare_exchange_strong(none, int32_t(signal));
    if (void (*callback)() = stopCallback.load())
        callback();
    errno = savedErrno;
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

int32_t CgroupProcessorLimit(const std::string& selfCgroup, const std::string& root)
{
    int32_t lowest = -1;
    for (const CgroupLine& line : CgroupLines(selfCgroup)) {
        if (line.controllers.empty()) {
            ForGroupAndAncestors(root, line.path, [&](const std::string& folder) {
                KeepLowest(lowest, ProcessorsOfCpuMax(ReadSmallTextFile(folder + "/cpu.max")));
            });
        } else if (ListsController(line.controllers, "cpu")) {
            ForGroupAndAncestors(root + "/" + line.controllers, line.path, [&](const std::string& folder) {
                KeepLowest(lowest, QuotaProcessors(LeadingCount(ReadSmallTextFile(folder + "/cpu.cfs_quota_us")),
                                                   LeadingCount(ReadSmallTextFile(folder + "/cpu.cfs_period_us"))));
            });
        }
    }
    return lowest;
}

int32_t LogicalProcessorCount()
{
    long online = sysconf(_SC_NPROCESSORS_ONLN);
    if (online < 1)
        online = long(std::thread::hardware_concurrency());
    int32_t count = int32_t(std::clamp(online, 1L, 4096L));
    KeepLowest(count, AffinityProcessorCount(nullptr));
    KeepLowest(count, CgroupProcessorLimit(ReadSmallTextFile(selfCgroupPath), cgroupMount));
    return count;
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
    std::vector<int> cpus;
    if (AffinityProcessorCount(&cpus) < 1) {
        long configured = std::clamp(sysconf(_SC_NPROCESSORS_CONF), long(logical), 4096L);
        for (int cpu = 0; cpu < int(configured); cpu++)
            cpus.push_back(cpu);
    }
    // One (package, core) pair per physical core; hyper-threads share theirs.
    std::vector<std::pair<int, int>> cores;
    char path[128];
    for (int cpu : cpus) {
        std::snprintf(path, sizeof path, "/sys/devices/system/cpu/cpu%d/topology/core_id", cpu);
        int core = ReadSmallInteger(path);
        std::snprintf(path, sizeof path, "/sys/devices/system/cpu/cpu%d/topology/physical_package_id", cpu);
        int package = ReadSmallInteger(path);
        if (core >= 0 && package >= 0)
            cores.push_back({package, core});
    }
    std::sort(cores.begin(), cores.end());
    int32_t physical = int32_t(std::unique(cores.begin(), cores.end()) - cores.begin());
    // A quota can leave fewer usable processors than the mask has cores.
    if (physical < 1 || physical > logical)
        return logical;
    return physical;
}

uint64_t CgroupMemoryLimit(const std::string& selfCgroup, const std::string& root)
{
    int64_t lowest = 0;
    for (const CgroupLine& line : CgroupLines(selfCgroup)) {
        if (line.controllers.empty()) {
            ForGroupAndAncestors(root, line.path, [&](const std::string& folder) {
                KeepLowest(lowest, LeadingCount(ReadSmallTextFile(folder + "/memory.max")));
            });
        } else if (ListsController(line.controllers, "memory")) {
            ForGroupAndAncestors(root + "/" + line.controllers, line.path, [&](const std::string& folder) {
                KeepLowest(lowest, LeadingCount(ReadSmallTextFile(folder + "/memory.limit_in_bytes")));
            });
        }
    }
    return uint64_t(lowest);
}

uint64_t UsableMemoryBytes()
{
    long pages = sysconf(_SC_PHYS_PAGES);
    long pageSize = sysconf(_SC_PAGE_SIZE);
    uint64_t physical = pages > 0 && pageSize > 0 ? uint64_t(pages) * uint64_t(pageSize) : 0;
    uint64_t limit = CgroupMemoryLimit(ReadSmallTextFile(selfCgroupPath), cgroupMount);
    if (limit > 0 && (physical == 0 || limit < physical))
        return limit;
    return physical;
}

bool WatchStopRequests(void (*onRequest)())
{
    stopCallback.store(onRequest);
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a read waiting for an answer on the console returns, so the request is seen.
    // SA_RESETHAND: a second request of the same kind ends the process at once, should the first
    // not be answered soon enough.
    action.sa_flags = SA_RESETHAND;
    return sigaction(SIGINT, &action, nullptr) == 0 && sigaction(SIGTERM, &action, nullptr) == 0;
}

int32_t StopRequestExitCode()
{
    int32_t signal = stopSignal.load();
    return signal != 0 ? 128 + signal : 0;
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
