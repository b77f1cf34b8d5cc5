#include "core/parallel_for.h"

#include "core/cpu_info.h"
#include "core/log.h"
#include "core/profiler.h"
#include "core/thread.h"

namespace Core {

struct ParallelFor::Worker : Thread {
    Worker(int32_t index, ParallelFor* pool) : index(index), pool(pool) {}
    // Join here, while the events the loop waits on still exist.
    ~Worker() override { Join(); }

    void RequestStop() override { workEvent.Set(); }
    void Run() override;

    const int32_t index;
    // The caller's body; it outlives the job because the caller waits for every participant.
    const ParallelBody* job = nullptr;
    ParallelFor* const pool;
    Event workEvent;
    Event startedEvent;
};

void ParallelFor::Worker::Run()
{
    startedEvent.Set();
    if (stopRequests.load() != 0)
        return;
    for (;;) {
        ProfileScope scope("ParallelFor::Worker::Work [Loop]");
        workEvent.Wait(-1);
        // A wake-up from RequestStop carries no job: leaving `active` alone keeps a stray
        // completion signal from ending a later job early.
        if (stopRequests.load() != 0)
            return;
        pool->Participate(*job, index);
        pool->Leave();
    }
}

ParallelFor::ParallelFor() = default;

ParallelFor::~ParallelFor()
{
    Shutdown();
}

void ParallelFor::Start(int32_t newThreadCount)
{
    started.store(1);
    if (newThreadCount < 1)
        newThreadCount = GetLogicalCoreCount();
    if (newThreadCount == threadCount.load())
        return;
    Shutdown();
    stopping.store(0);
    active.store(0);
    next.store(0);
    count.store(0);
    workers.reserve(size_t(newThreadCount - 1));
    for (int32_t i = 1; i < newThreadCount; i++) {
        auto worker = std::make_unique<Worker>(i, this);
        if (!worker->Start()) {
            // Indices stay dense, 1 .. started workers, so they remain below GetThreadCount.
            LogFormat("ParallelFor::Start: could not create worker thread %d of %d; running with %d threads", i,
                newThreadCount - 1, i);
            break;
        }
        worker->SetPriority(-1);
        worker->startedEvent.Wait(-1);
        workers.push_back(std::move(worker));
    }
    threadCount.store(int32_t(workers.size()) + 1);
}

void ParallelFor::Run(const ParallelBody& body, int32_t jobCount, int32_t jobChunk)
{
    if (stopping.load() != 0 || jobCount < 1 || jobChunk < 1)
        return;
    if (threadCount.load() == 0)
        Start(0);
    chunk.store(jobChunk);

    int32_t chunkCount = jobCount / jobChunk + (jobCount % jobChunk != 0 ? 1 : 0);
    int32_t participants = std::min(chunkCount, int32_t(workers.size()) + 1);
    active.store(participants);
    next.store(-int64_t(jobChunk));
    count.store(jobCount);

    for (int32_t w = 1; w < participants; w++) {
        Worker& worker = *workers[size_t(w - 1)];
        worker.job = &body;
        worker.workEvent.Set();
    }
    Participate(body, 0);
    Leave();
    // The last participant's signal; when that was us, it is consumed at once.
    doneEvent.Wait(-1);
}

void ParallelFor::Participate(const ParallelBody& body, int32_t threadIndex)
{
    int32_t jobChunk = chunk.load();
    int32_t jobCount = count.load();
    for (;;) {
        int64_t start = next.fetch_add(jobChunk) + jobChunk;
        if (start >= jobCount)
            break;
        body(int32_t(start), threadIndex);
    }
}

void ParallelFor::Leave()
{
    if (active.fetch_sub(1) <= 1)
        doneEvent.Set();
}

void ParallelFor::SkipRemainingChunks()
{
    next.store(count.load());
}

int32_t ParallelFor::GetThreadCount() const
{
    return started.load() != 0 ? threadCount.load() : GetLogicalCoreCount();
}

void ParallelFor::Shutdown()
{
    stopping.store(1);
    next.store(count.load());
    for (std::unique_ptr<Worker>& worker : workers) {
        worker->stopRequests++;
        worker->Join();
        worker.reset();
    }
    workers.clear();
    threadCount.store(0);
}

}  // namespace Core
