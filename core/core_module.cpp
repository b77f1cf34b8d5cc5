#include "core/core_module.h"

#include <cassert>
#include <memory>
#include <mutex>

#include "core/cpu_info.h"
#include "core/heap.h"
#include "core/log.h"
#include "core/parallel_for.h"
#include "core/profiler.h"
#include "core/thread.h"
#include "core/timer.h"

namespace Core {
namespace {

std::mutex moduleLock;
int initCount = 0;

// Alive between the first CoreInit and the last CoreShutdown.
std::unique_ptr<ThreadProfile> mainProfile;
std::unique_ptr<ParallelFor> globalPool;

}  // namespace

void CoreInit()
{
    std::lock_guard<std::mutex> guard(moduleLock);
    if (initCount++ > 0)
        return;
    // From here on the engine's new and delete use the heap, so everything the Core and the
    // tool allocate is counted in its statistics.
    Heap::Start();
    // The monotonic clock behind the timers needs no timer period or frequency set-up here; one
    // read makes sure it is usable before the first timer.
    NowTicks();
    DetectCoreCounts();
    RegisterMainThread();
    mainProfile = std::make_unique<ThreadProfile>();
    SetThreadProfile(mainProfile.get());
    globalPool = std::make_unique<ParallelFor>();

    Log("Core initialized");
    if (GetPhysicalCoreCount() != 0)
        LogFormat("Number of physical cores: %d", GetPhysicalCoreCount());
    if (GetLogicalCoreCount() != 0)
        LogFormat("Number of logical cores: %d", GetLogicalCoreCount());
}

void CoreShutdown()
{
    std::lock_guard<std::mutex> guard(moduleLock);
    if (initCount == 0 || --initCount > 0)
        return;
    Log("shutting down Core");
    // The main thread's latest second would otherwise be missing from the report.
    mainProfile->Merge();
    std::string report = TakeProfileReport();
    if (!report.empty())
        Log(report);

    globalPool->Shutdown();
    globalPool.reset();
    SetThreadProfile(nullptr);
    mainProfile.reset();
    UnregisterMainThread();
    // Blocks still alive stay the heap's and can be freed later; new blocks come from the
    // C runtime again.
    Heap::Stop();
}

bool CoreIsInitialized()
{
    std::lock_guard<std::mutex> guard(moduleLock);
    return initCount > 0;
}

ParallelFor& GlobalParallelFor()
{
    assert(globalPool && "the global pool exists between CoreInit and CoreShutdown");
    return *globalPool;
}

void ParallelRun(const ParallelBody& body, int32_t count, int32_t chunk)
{
    GlobalParallelFor().Run(body, count, chunk);
}

}  // namespace Core
