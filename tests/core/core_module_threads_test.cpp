#include "core/core_module.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "core/cpu_info.h"
#include "core/log.h"
#include "core/parallel_for.h"

namespace {

TEST(CoreModule, StartsOnceLogsCountsAndReportsProfileAtTheLastShutdown)
{
    std::vector<std::string> lines;
    int listener = Core::AddLogListener([&](const std::string& line) { lines.push_back(line.substr(14)); });
    Core::CoreInit();
    Core::CoreInit();  // only counts
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0], "Core initialized");
    EXPECT_EQ(lines[1], "Number of physical cores: " + std::to_string(Core::GetPhysicalCoreCount()));
    EXPECT_EQ(lines[2], "Number of logical cores: " + std::to_string(Core::GetLogicalCoreCount()));
    EXPECT_GE(Core::GetPhysicalCoreCount(), 1);
    EXPECT_LE(Core::GetPhysicalCoreCount(), Core::GetLogicalCoreCount());

    EXPECT_EQ(Core::GlobalParallelFor().GetThreadCount(), Core::GetLogicalCoreCount());
    std::vector<std::atomic<int32_t>> hits(20);
    Core::ParallelRun([&](int32_t start, int32_t) { hits[size_t(start)]++; }, 20, 1);
    for (const auto& hit : hits)
        EXPECT_EQ(hit.load(), 1);

    size_t linesBefore = lines.size();
    Core::CoreShutdown();
    EXPECT_TRUE(Core::CoreIsInitialized());
    EXPECT_EQ(lines.size(), linesBefore);
    Core::CoreShutdown();
    EXPECT_FALSE(Core::CoreIsInitialized());
    Core::RemoveLogListener(listener);

    // The caller waited for the job inside Event::Wait on the main thread's profile.
    bool reported = false;
    for (const std::string& line : lines) {
        size_t header = line.find("Profile status for thread main (0x");
        reported |= header != std::string::npos && line.find("Event::Wait", header) != std::string::npos;
    }
    EXPECT_TRUE(reported);
}

}  // namespace
