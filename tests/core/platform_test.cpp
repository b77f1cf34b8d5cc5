#include "core/platform/platform.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

namespace {

using Core::Platform::CgroupMemoryLimit;
using Core::Platform::CgroupProcessorLimit;

// A control-group mount of our own: file path (relative to the mount) -> text.
std::string MakeCgroupTree(const std::map<std::string, std::string>& files)
{
    char pattern[] = "/tmp/ketra-cgroup-XXXXXX";
    std::string root = mkdtemp(pattern);
    for (const auto& [path, text] : files) {
        std::filesystem::path file = std::filesystem::path(root) / path;
        std::filesystem::create_directories(file.parent_path());
        std::ofstream(file) << text;
    }
    return root;
}

TEST(CgroupLimits, ProcessorQuotaOfTheGroupAndEveryGroupAboveIt)
{
    const struct {
        const char* name;
        const char* selfCgroup;
        std::map<std::string, std::string> files;
        int32_t processors;
    } rows[] = {
        {"no quota", "0::/a\n", {{"a/cpu.max", "max 100000\n"}, {"cpu.max", "max 100000\n"}}, -1},
        {"a quota rounds up", "0::/a/b\n", {{"a/b/cpu.max", "150000 100000\n"}, {"a/cpu.max", "max 100000\n"}}, 2},
        {"a parent's lower quota binds", "0::/a/b\n", {{"a/b/cpu.max", "400000 100000\n"}, {"a/cpu.max", "50000 100000\n"}}, 1},
        {"the mount's own group", "0::/\n", {{"cpu.max", "300000 100000\n"}}, 3},
        {"no files at all", "0::/a\n", {}, -1},
        {"split hierarchy", "5:cpu,cpuacct:/job\n4:memory:/job\n",
         {{"cpu,cpuacct/job/cpu.cfs_quota_us", "250000\n"}, {"cpu,cpuacct/job/cpu.cfs_period_us", "100000\n"}}, 3},
        {"split hierarchy, no quota", "5:cpu:/job\n",
         {{"cpu/job/cpu.cfs_quota_us", "-1\n"}, {"cpu/job/cpu.cfs_period_us", "100000\n"}}, -1},
        {"a group outside our namespace is not read", "0::/../x\n", {{"x/cpu.max", "100000 100000\n"}}, -1},
        {"malformed text states nothing", "0::/a\n", {{"a/cpu.max", "lots 100000\n"}}, -1},
    };
    for (const auto& row : rows) {
        std::string root = MakeCgroupTree(row.files);
        EXPECT_EQ(CgroupProcessorLimit(row.selfCgroup, root), row.processors) << row.name;
        std::filesystem::remove_all(root);
    }
}

TEST(CgroupLimits, MemoryLimitOfTheGroupAndEveryGroupAboveIt)
{
    const struct {
        const char* name;
        const char* selfCgroup;
        std::map<std::string, std::string> files;
        uint64_t bytes;
    } rows[] = {
        {"no limit", "0::/a\n", {{"a/memory.max", "max\n"}}, 0},
        {"the group's limit", "0::/a/b\n", {{"a/b/memory.max", "2147483648\n"}, {"a/memory.max", "max\n"}}, 2147483648u},
        {"a parent's lower limit binds", "0::/a/b\n", {{"a/b/memory.max", "4294967296\n"}, {"a/memory.max", "1073741824\n"}},
         1073741824u},
        {"split hierarchy", "4:memory:/job\n", {{"memory/job/memory.limit_in_bytes", "536870912\n"}}, 536870912u},
    };
    for (const auto& row : rows) {
        std::string root = MakeCgroupTree(row.files);
        EXPECT_EQ(CgroupMemoryLimit(row.selfCgroup, root), row.bytes) << row.name;
        std::filesystem::remove_all(root);
    }
}

TEST(ProcessorCounts, FollowTheAffinityMask)
{
    cpu_set_t original;
    ASSERT_EQ(sched_getaffinity(0, sizeof original, &original), 0);
    const int32_t all = Core::Platform::LogicalProcessorCount();
    EXPECT_LE(all, CPU_COUNT(&original));
    int first = 0;
    while (!CPU_ISSET(first, &original))
        first++;
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(first, &one);
    // The mask of this thread alone, given back below.
    ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
    const int32_t logical = Core::Platform::LogicalProcessorCount();
    const int32_t physical = Core::Platform::PhysicalCoreCount();
    ASSERT_EQ(sched_setaffinity(0, sizeof original, &original), 0);
    EXPECT_EQ(logical, 1);
    EXPECT_EQ(physical, 1);
    EXPECT_EQ(Core::Platform::LogicalProcessorCount(), all);
}

TEST(StopRequests, FirstRequestIsKeptAndASecondOfTheSameKindEndsTheProcess)
{
    // In a child of its own: watching changes how the whole process answers these signals.
    pid_t child = fork();
    if (child == 0) {
        static std::atomic<int> calls{0};
        if (!Core::Platform::WatchStopRequests([] { calls.fetch_add(1); }) ||
            Core::Platform::StopRequestExitCode() != 0)
            _exit(10);
        raise(SIGTERM);
        if (calls.load() != 1 || Core::Platform::StopRequestExitCode() != 143)
            _exit(11);
        raise(SIGINT);  // a request of another kind: noted, but the first one's code stays
        if (calls.load() != 2 || Core::Platform::StopRequestExitCode() != 143)
            _exit(12);
        raise(SIGTERM);  // a second termination request is not waited on
        _exit(13);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "exit code " << WEXITSTATUS(status);
    EXPECT_EQ(WTERMSIG(status), SIGTERM);
}

}  // namespace
