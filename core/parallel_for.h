#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "core/delegate.h"
#include "core/event.h"

namespace Core {

// Loop body: the first index of a claimed chunk and the index of the thread running it
// (0 for the calling thread, 1 .. GetThreadCount() - 1 for workers).
using ParallelBody = Delegate<void(int32_t start, int32_t threadIndex)>;

// A pool of worker threads that spreads an index range over all cores. The calling thread
// takes part as participant 0 and Run returns when every chunk has been processed. One job at a
// time: Run must not be entered concurrently or from inside a body on the same pool.
class ParallelFor {
public:
    ParallelFor();
    ~ParallelFor();
    ParallelFor(const ParallelFor&) = delete;
    ParallelFor& operator=(const ParallelFor&) = delete;

    // Creates threadCount - 1 workers (threadCount < 1: one per logical core). Same count as now:
    // nothing happens; another count replaces the workers. When the system refuses a thread, the
    // failure goes to the log and the pool runs with the workers it has (GetThreadCount says how
    // many threads that makes).
    void Start(int32_t threadCount);
    // Calls body(start, threadIndex) once per chunk of `chunk` indices of [0, count).
    void Run(const ParallelBody& body, int32_t count, int32_t chunk);
    // Lets no participant claim another chunk of the running job; chunks already started finish.
    void SkipRemainingChunks();
    int32_t GetThreadCount() const;
    // Stops and joins the workers; later Runs return at once without calling the body.
    void Shutdown();

private:
    struct Worker;
    // Claims chunks of the published job until none is left.
    void Participate(const ParallelBody& body, int32_t threadIndex);
    // Counts the participant out; the last one wakes the caller.
    void Leave();

    Event doneEvent;
    std::atomic<int32_t> stopping{0};
    std::atomic<int32_t> threadCount{0};
    std::atomic<int32_t> started{0};
    std::atomic<int32_t> active{0};
    // `next` is bumped by every participant once per chunk: keep it on a cache line of its own,
    // apart from the fields the participants only read. It is 64-bit because every participant
    // overshoots `count` by up to a chunk, which must not wrap round to a small index near the
    // top of the 32-bit range.
    alignas(64) std::atomic<int64_t> next{0};
    alignas(64) std::atomic<int32_t> count{0};
    std::atomic<int32_t> chunk{1};
    std::vector<std::unique_ptr<Worker>> workers;
};

// The Core's pool, alive between CoreInit and CoreShutdown.
ParallelFor& GlobalParallelFor();
// Run on the global pool.
void ParallelRun(const ParallelBody& body, int32_t count, int32_t chunk);

}  // namespace Core
