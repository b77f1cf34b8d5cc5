#include "core/parallel_for.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/cpu_info.h"
#include "core/log.h"
#include "core/platform/platform.h"
#include "core/thread.h"

namespace {

// Runs one job in which every participant blocks in its first chunk until all have arrived, so
// each of the threadCount participants takes exactly one chunk; returns the thread number seen
// at each thread index.
std::vector<int64_t> ThreadNumbersByIndex(Core::ParallelFor& pool)
{
    int32_t threads = pool.GetThreadCount();
    std::vector<int64_t> numbers(size_t(threads), -1);
    std::atomic<int32_t> arrived{0};
    pool.Run(
        [&](int32_t, int32_t threadIndex) {
            numbers[size_t(threadIndex)] = Core::Thread::GetCurrentThreadNumber();
            arrived++;
            while (arrived.load() < threads)
                std::this_thread::yield();
        },
        threads, 1);
    return numbers;
}

TEST(ParallelFor, EveryIndexRunsExactlyOnce)
{
    const struct {
        int32_t threads, count, chunk;
    } cases[] = {
        {1, 1, 1}, {1, 17, 4},                // no workers: the caller does it all
        {2, 1, 1}, {2, 2, 1}, {2, 3, 1},      // counts around the thread count
        {4, 3, 1}, {4, 5, 1}, {4, 1000, 1},   // fewer chunks than threads, then many more
        {4, 10, 4}, {4, 1000, 7}, {4, 5, 8},  // a short last chunk, a chunk larger than count
        {3, 999, 1000}, {3, 1001, 1000},
    };
    Core::ParallelFor pool;
    for (const auto& c : cases) {
        pool.Start(c.threads);
        ASSERT_EQ(pool.GetThreadCount(), c.threads);
        std::vector<std::atomic<int32_t>> hits(size_t(c.count));
        std::atomic<int32_t> badStart{0}, badThread{0};
        pool.Run(
            [&](int32_t start, int32_t threadIndex) {
                if (start < 0 || start >= c.count || start % c.chunk != 0)
                    badStart++;
                if (threadIndex < 0 || threadIndex >= c.threads)
                    badThread++;
                for (int32_t i = start; i < std::min(start + c.chunk, c.count); i++)
                    hits[size_t(i)]++;
            },
            c.count, c.chunk);
        std::string row = std::to_string(c.threads) + " threads, count " + std::to_string(c.count) + ", chunk " +
            std::to_string(c.chunk);
        EXPECT_EQ(badStart.load(), 0) << row;
        EXPECT_EQ(badThread.load(), 0) << row;
        for (int32_t i = 0; i < c.count; i++)
            ASSERT_EQ(hits[size_t(i)].load(), 1) << "index " << i << ", " << row;
    }
}

TEST(ParallelFor, BodyGetsTheFirstIndexOfEachChunk)
{
    Core::ParallelFor pool;
    pool.Start(3);
    std::mutex lock;
    std::multiset<int32_t> starts;
    pool.Run(
        [&](int32_t start, int32_t) {
            std::lock_guard<std::mutex> guard(lock);
            starts.insert(start);
        },
        10, 4);
    EXPECT_EQ(starts, (std::multiset<int32_t>{0, 4, 8}));
}

TEST(ParallelFor, CountsNearTheTopOfTheRangeDoNotWrap)
{
    // Every participant's last, failed claim overshoots count by a chunk; in 32 bits that
    // would come back as a negative start.
    Core::ParallelFor pool;
    pool.Start(2);
    std::mutex lock;
    std::multiset<int32_t> starts;
    pool.Run(
        [&](int32_t start, int32_t) {
            std::lock_guard<std::mutex> guard(lock);
            starts.insert(start);
        },
        INT32_MAX, 1 << 30);
    EXPECT_EQ(starts, (std::multiset<int32_t>{0, 1 << 30}));
}

TEST(ParallelFor, EmptyJobsAndShutDownPoolsNeverCallTheBody)
{
    Core::ParallelFor pool;
    std::atomic<int32_t> calls{0};
    auto body = [&](int32_t, int32_t) { calls++; };
    pool.Run(body, 0, 1);
    pool.Run(body, -3, 1);
    pool.Run(body, 5, 0);
    pool.Run(body, 5, -1);
    EXPECT_EQ(calls.load(), 0);

    pool.Run(body, 5, 1);
    EXPECT_EQ(calls.load(), 5);
    pool.Shutdown();
    pool.Run(body, 5, 1);
    pool.Run(body, 5, 1);
    EXPECT_EQ(calls.load(), 5);
}

TEST(ParallelFor, FirstRunStartsOneThreadPerLogicalCore)
{
    Core::ParallelFor pool;
    EXPECT_EQ(pool.GetThreadCount(), Core::GetLogicalCoreCount());
    std::atomic<int32_t> calls{0};
    pool.Run([&](int32_t, int32_t) { calls++; }, 3, 1);
    EXPECT_EQ(calls.load(), 3);
    EXPECT_EQ(pool.GetThreadCount(), Core::GetLogicalCoreCount());
}

TEST(ParallelFor, StartKeepsWorkersForTheSameCountAndReplacesThemForAnother)
{
    Core::ParallelFor pool;
    pool.Start(3);
    std::vector<int64_t> first = ThreadNumbersByIndex(pool);
    ASSERT_EQ(first.size(), 3u);
    EXPECT_EQ(first[0], Core::Thread::GetCurrentThreadNumber());
    EXPECT_GT(first[1], 0);
    EXPECT_GT(first[2], 0);
    EXPECT_NE(first[1], first[2]);

    pool.Start(3);
    EXPECT_EQ(ThreadNumbersByIndex(pool), first);
    pool.Start(0);  // one per logical core
    EXPECT_EQ(pool.GetThreadCount(), Core::GetLogicalCoreCount());

    pool.Start(2);
    std::vector<int64_t> second = ThreadNumbersByIndex(pool);
    ASSERT_EQ(second.size(), 2u);
    EXPECT_EQ(second[0], first[0]);
    // New threads are numbered after every earlier one.
    EXPECT_GT(second[1], std::max(first[1], first[2]));
}

TEST(ParallelFor, SkipRemainingChunksStopsFurtherClaims)
{
    {
        Core::ParallelFor pool;
        pool.Start(1);
        int32_t calls = 0;
        pool.Run(
            [&](int32_t start, int32_t) {
                calls++;
                if (start == 10)
                    pool.SkipRemainingChunks();
            },
            1000, 1);
        EXPECT_EQ(calls, 11);
    }
    // With workers, a chunk claimed just before the skip may still begin after it, but no more
    // than one per other participant.
    Core::ParallelFor pool;
    pool.Start(4);
    std::atomic<bool> skipped{false};
    std::atomic<int32_t> lateCalls{0}, calls{0};
    pool.Run(
        [&](int32_t start, int32_t) {
            if (skipped.load())
                lateCalls++;
            calls++;
            if (start == 20) {
                pool.SkipRemainingChunks();
                skipped.store(true);
            }
        },
        100000, 1);
    EXPECT_LE(lateCalls.load(), 3);
    // The next job is unaffected.
    calls = 0;
    pool.Run([&](int32_t, int32_t) { calls++; }, 50, 1);
    EXPECT_EQ(calls.load(), 50);
}

TEST(ParallelFor, ManyShortJobsAllComplete)
{
    // Back-to-back jobs of varying size: a lost wake-up or a stray completion signal shows up as a
    // hang or as a job that returns before its chunks are done.
    Core::ParallelFor pool;
    pool.Start(4);
    int32_t total = 0;
    for (int32_t job = 0; job < 3000; job++) {
        int32_t count = 1 + job % 6;
        std::atomic<int32_t> done{0};
        pool.Run([&](int32_t, int32_t) { done++; }, count, 1);
        ASSERT_EQ(done.load(), count) << "job " << job;
        total += done.load();
    }
    EXPECT_GT(total, 0);
}

TEST(ParallelFor, RestartAfterShutdownGivesAWorkingPool)
{
    Core::ParallelFor pool;
    pool.Start(3);
    pool.Shutdown();
    EXPECT_EQ(pool.GetThreadCount(), 0);
    pool.Start(3);
    std::atomic<int32_t> calls{0};
    pool.Run([&](int32_t, int32_t) { calls++; }, 30, 1);
    EXPECT_EQ(calls.load(), 30);
}

TEST(ParallelFor, RunsWithTheWorkersThatCouldBeCreated)
{
    std::vector<std::string> lines;
    int listener = Core::AddLogListener([&](const std::string& line) { lines.push_back(line); });
    for (int32_t allowed : {0, 1}) {
        Core::Platform::LimitThreadCreationForTesting(allowed);
        Core::ParallelFor pool;
        pool.Start(4);
        Core::Platform::LimitThreadCreationForTesting(-1);
        EXPECT_EQ(pool.GetThreadCount(), 1 + allowed);
        std::vector<std::atomic<int32_t>> hits(40);
        std::atomic<int32_t> badThread{0};
        pool.Run(
            [&](int32_t start, int32_t threadIndex) {
                if (threadIndex >= pool.GetThreadCount())
                    badThread++;
                hits[size_t(start)]++;
            },
            40, 1);
        EXPECT_EQ(badThread.load(), 0);
        for (const auto& hit : hits)
            EXPECT_EQ(hit.load(), 1);
    }
    Core::RemoveLogListener(listener);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("ParallelFor::Start: could not create worker thread 1 of 3; running with 1 threads"),
        std::string::npos)
        << lines[0];
    EXPECT_NE(lines[1].find("could not create worker thread 2 of 3; running with 2 threads"), std::string::npos)
        << lines[1];
}

}  // namespace
