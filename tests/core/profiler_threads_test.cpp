#include "core/profiler.h"

#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "core/event.h"
#include "core/thread.h"

namespace {

const char* const kOuterA = "Test::OuterA";
const char* const kOuterB = "Test::OuterB";
const char* const kInner = "Test::Inner";

std::string Header(uint64_t osThreadId, const char* name)
{
    char text[128];
    if (name)
        std::snprintf(text, sizeof text, "Profile status for thread %s (0x%016" PRIX64 "):\n", name, osThreadId);
    else
        std::snprintf(text, sizeof text, "Profile status for thread 0x%016" PRIX64 ":\n", osThreadId);
    return text;
}

// The lines of one thread's section of a report, header excluded; empty when it is missing.
std::vector<std::string> Section(const std::string& report, const std::string& header)
{
    std::vector<std::string> lines;
    size_t at = report.find(header);
    if (at == std::string::npos)
        return lines;
    std::istringstream rest(report.substr(at + header.size()));
    for (std::string line; std::getline(rest, line) && line.rfind("Profile status", 0) != 0;)
        lines.push_back(line);
    return lines;
}

TEST(ThreadProfile, SameNameUnderTwoParentsMakesTwoNodes)
{
    Core::ThreadProfile profile;
    for (int repeat = 0; repeat < 2; repeat++) {
        profile.Enter(kOuterA);
        profile.Enter(kInner);
        profile.Leave();
        profile.Leave();
        profile.Enter(kOuterB);
        profile.Enter(kInner);
        profile.Leave();
        profile.Leave();
    }
    const Core::ProfileNodeMap& nodes = profile.GetNodes();
    ASSERT_EQ(nodes.Count(), 4);
    const struct {
        const char* name;
        int64_t parent;
    } expected[] = {{kOuterA, -1}, {kInner, 0}, {kOuterB, -1}, {kInner, 2}};
    for (int32_t n = 0; n < 4; n++) {
        EXPECT_EQ(nodes[n].key.name, uint64_t(reinterpret_cast<uintptr_t>(expected[n].name))) << "node " << n;
        EXPECT_EQ(nodes[n].key.parent, expected[n].parent) << "node " << n;
        EXPECT_EQ(nodes[n].value.calls, 2u) << "node " << n;
        EXPECT_LE(nodes[n].value.exclusiveTicks, nodes[n].value.totalTicks) << "node " << n;
    }
    // A parent's exclusive time leaves out what its child took.
    EXPECT_EQ(nodes[0].value.exclusiveTicks, nodes[0].value.totalTicks - nodes[1].value.totalTicks);
}

TEST(ProfileReport, UnnamedThreadTreeAndLineFormat)
{
    Core::TakeProfileReport();
    Core::Thread thread([] {
        for (int repeat = 0; repeat < 3; repeat++) {
            Core::ProfileScope a(kOuterA);
            Core::ProfileScope inner(kInner);
        }
        Core::ProfileScope b(kOuterB);
        Core::Thread::Sleep(5);  // B takes longer, so it is listed first
        Core::ProfileScope inner(kInner);
    });
    ASSERT_TRUE(thread.Start());
    thread.Join();  // merges at thread end; the joined thread has left the registry

    std::string report = Core::TakeProfileReport();
    std::vector<std::string> lines = Section(report, Header(thread.GetOsThreadId(), nullptr));
    ASSERT_EQ(lines.size(), 5u) << report;
    const struct {
        const char* indent;
        const char* name;
        int calls;
    } expected[] = {
        {"        ", kOuterB, 1},
        {"                ", "Thread::Sleep", 1},
        {"                ", kInner, 1},
        {"        ", kOuterA, 3},
        {"                ", kInner, 3},
    };
    double percentSum = 0;
    for (size_t i = 0; i < lines.size(); i++) {
        // Read the numbers back, print them again in the report's format and expect the same line.
        const std::string& line = lines[i];
        size_t indent = line.find_first_not_of(' ');
        char name[64] = {};
        unsigned long long calls = 0, memory = 0;
        double seconds = -1, percent = -1;
        ASSERT_EQ(std::sscanf(line.c_str() + indent, "%63s => %llu calls, [exclusive] took %lf sec (%lf%%) excl.mem: %llu kb",
                      name, &calls, &seconds, &percent, &memory),
            5)
            << line;
        char again[256];
        std::snprintf(again, sizeof again, "%s%s => %llu calls, [exclusive] took %0.6lf sec (%0.2lf%%) excl.mem: %llu kb",
            std::string(indent, ' ').c_str(), name, calls, seconds, percent, memory);
        EXPECT_EQ(line, again);
        EXPECT_EQ(line.substr(0, indent), expected[i].indent) << line;
        EXPECT_STREQ(name, expected[i].name) << line;
        EXPECT_EQ(calls, (unsigned long long)expected[i].calls) << line;
        EXPECT_EQ(memory, 0u) << line;
        EXPECT_GE(seconds, 0.0) << line;
        percentSum += percent;
    }
    EXPECT_NEAR(percentSum, 100.0, 0.05);
    EXPECT_TRUE(Core::TakeProfileReport().find(Header(thread.GetOsThreadId(), nullptr)) == std::string::npos);
}

TEST(ProfileReport, RunningNamedThreadShowsItsName)
{
    Core::TakeProfileReport();
    Core::Event flushed, release;
    Core::Thread thread([&] {
        {
            Core::ProfileScope scope(kOuterA);
        }
        Core::FlushThreadProfile();
        flushed.Set();
        release.Wait(-1);
    });
    thread.SetName("loader");
    ASSERT_TRUE(thread.Start());
    flushed.Wait(-1);
    std::string report = Core::TakeProfileReport();
    release.Set();
    thread.Join();
    std::vector<std::string> lines = Section(report, Header(thread.GetOsThreadId(), "loader"));
    ASSERT_EQ(lines.size(), 1u) << report;
    EXPECT_EQ(lines[0].rfind(std::string("        ") + kOuterA + " => 1 calls, [exclusive] took ", 0), 0u) << lines[0];
}

}  // namespace
