#include "core/thread.h"

#include <gtest/gtest.h>

#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "core/event.h"

namespace {

TEST(Event, AutoResetsAndCollapsesRepeatedSets)
{
    Core::Event event;
    EXPECT_FALSE(event.Wait(0));
    EXPECT_FALSE(event.Wait(5));
    event.Set();
    event.Set();
    EXPECT_TRUE(event.Wait(0));
    EXPECT_FALSE(event.Wait(0));
}

TEST(Event, SetFromAnotherThreadEndsAnEndlessWait)
{
    Core::Event ping, pong;
    Core::Thread thread([&] {
        ping.Wait(-1);
        pong.Set();
    });
    ASSERT_TRUE(thread.Start());
    ping.Set();
    EXPECT_TRUE(pong.Wait(-1));
    thread.Join();
}

TEST(Thread, RunsItsBodyOnceAndIsNumberedAfterEarlierThreads)
{
    std::atomic<int32_t> runs{0};
    std::atomic<int64_t> seenNumber{-1};
    Core::Thread first([&] {
        runs++;
        seenNumber = Core::Thread::GetCurrentThreadNumber();
    });
    EXPECT_EQ(first.GetThreadNumber(), 0);
    EXPECT_FALSE(first.SetPriority(-1));  // not started
    ASSERT_TRUE(first.Start());
    EXPECT_FALSE(first.Start());
    first.Join();
    first.Join();
    EXPECT_EQ(runs.load(), 1);
    EXPECT_GT(first.GetThreadNumber(), 0);
    EXPECT_EQ(seenNumber.load(), first.GetThreadNumber());

    Core::Thread second([] {});
    ASSERT_TRUE(second.Start());
    second.Join();
    EXPECT_GT(second.GetThreadNumber(), first.GetThreadNumber());
    EXPECT_EQ(Core::Thread::GetCurrentThreadNumber(), 0);
}

// A thread that idles until it is asked to stop, the way a pool's worker does.
struct WaitingThread : Core::Thread {
    ~WaitingThread() override { Join(); }
    void RequestStop() override { wake.Set(); }
    void Run() override
    {
        running.Set();
        while (stopRequests.load() == 0)
            wake.Wait(-1);
    }
    Core::Event wake, running;
};

TEST(Thread, JoinWakesTheThreadThroughRequestStop)
{
    WaitingThread thread;
    thread.SetName("waiter");
    ASSERT_TRUE(thread.Start());
    thread.running.Wait(-1);
    std::string name;
    ASSERT_TRUE(Core::FindThreadName(thread.GetOsThreadId(), name));
    EXPECT_EQ(name, "waiter");

    thread.Join();
    EXPECT_EQ(thread.stopRequests.load(), 0);
    EXPECT_FALSE(Core::FindThreadName(thread.GetOsThreadId(), name));
}

TEST(Thread, DestructorJoinsARunningThread)
{
    std::atomic<bool> ran{false};
    {
        WaitingThread thread;
        ASSERT_TRUE(thread.Start());
        thread.running.Wait(-1);
        ran = true;
    }
    EXPECT_TRUE(ran.load());
}

TEST(Thread, PriorityLevelsAreClampedAndMapped)
{
    WaitingThread thread;
    ASSERT_TRUE(thread.Start());
    // Likely set before the thread has told its id: then it applies the level as it starts.
    EXPECT_TRUE(thread.SetPriority(-1));
    thread.running.Wait(-1);
    id_t tid = id_t(thread.GetOsThreadId());
    int base = getpriority(PRIO_PROCESS, id_t(getpid()));
    EXPECT_EQ(getpriority(PRIO_PROCESS, tid), base + 5);
    // Lowering is always allowed; raising may need privileges, so only lower from here on.
    EXPECT_TRUE(thread.SetPriority(-2));
    EXPECT_EQ(getpriority(PRIO_PROCESS, tid), base + 10);
    EXPECT_TRUE(thread.SetPriority(-3));
    EXPECT_EQ(sched_getscheduler(pid_t(tid)), SCHED_IDLE);
    if (geteuid() == 0) {
        EXPECT_TRUE(thread.SetPriority(-100));  // clamped to -4, which means normal
        EXPECT_EQ(sched_getscheduler(pid_t(tid)), SCHED_OTHER);
        EXPECT_EQ(getpriority(PRIO_PROCESS, tid), base);
    }
}

TEST(Thread, SleepWaitsAtLeastTheGivenTime)
{
    auto before = std::chrono::steady_clock::now();
    Core::Thread::Sleep(3);
    EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(3));
}

}  // namespace
