#include "core/timer.h"

#include <gtest/gtest.h>

#include <regex>
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
    std::smatch match;
    ASSERT_TRUE(std::regex_match(lines[0], match, std::regex(R"(KdTree3<T>::Build took (\d+) usec)"))) << lines[0];
    EXPECT_GE(std::stoll(match[1].str()), 2000);
    ASSERT_TRUE(std::regex_match(lines[1], match, std::regex(R"(Grouping took (\d+) msec)"))) << lines[1];
    EXPECT_GE(std::stoi(match[1].str()), 2);
}

}  // namespace
