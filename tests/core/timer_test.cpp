#include "core/timer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "core/log.h"

namespace {

void SleepMs(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

TEST(Timer, StoppedTimerKeepsItsElapsedValue)
{
    Core::Timer timer;
    EXPECT_EQ(timer.Peek(), 0u);
    timer.Start();
    SleepMs(3);
    uint32_t elapsed = timer.Stop();
    EXPECT_GE(elapsed, 3u);
    SleepMs(3);
    EXPECT_EQ(timer.Stop(), elapsed);
    EXPECT_EQ(timer.Peek(), elapsed);
    // Lap on a stopped timer hands back the stored value and starts counting again.
    EXPECT_EQ(timer.Lap(), elapsed);
    SleepMs(2);
    EXPECT_GE(timer.Peek(), 2u);
}

TEST(PreciseTimer, StoppedTimerKeepsItsElapsedValue)
{
    Core::PreciseTimer timer;
    timer.Start();
    SleepMs(2);
    int64_t elapsed = timer.Stop();
    EXPECT_GE(elapsed, 2000);
    SleepMs(2);
    EXPECT_EQ(timer.Stop(), elapsed);
    EXPECT_EQ(timer.Peek(), elapsed);
    EXPECT_EQ(timer.Lap(), elapsed);
    SleepMs(1);
    EXPECT_GE(timer.Lap(), 1000);
}

TEST(ScopeTimer, LogsTheNameAndTheTimeTaken)
{
    std::vector<std::string> lines;
    int listener = Core::AddLogListener([&](const std::string& line) { lines.push_back(line.substr(14)); });
    {
        Core::ScopeTimer timer("Grouping");
        Core::PreciseScopeTimer precise("KdTree3<T>::Build");
        SleepMs(2);
    }
    Core::RemoveLogListener(listener);
    ASSERT_EQ(lines.size(), 2u);
    long long usec = -1;
    int msec = -1;
    ASSERT_EQ(std::sscanf(lines[0].c_str(), "KdTree3<T>::Build took %lld usec", &usec), 1) << lines[0];
    EXPECT_EQ(lines[0], "KdTree3<T>::Build took " + std::to_string(usec) + " usec");
    EXPECT_GE(usec, 2000);
    ASSERT_EQ(std::sscanf(lines[1].c_str(), "Grouping took %d msec", &msec), 1) << lines[1];
    EXPECT_EQ(lines[1], "Grouping took " + std::to_string(msec) + " msec");
    EXPECT_GE(msec, 2);
}

}  // namespace
