// The tool stopped by a real signal in the middle of writing its outputs, and the tool run on
// fewer processors than the machine has. The test watches the folder with inotify and freezes
// the tool (SIGSTOP) as soon as the bytes of its mesh file start to arrive, so the signal lands
// at a known point: after the bake, with the mesh file half written.
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "run_process_fixture.h"

namespace {

const char* const earlierMesh = "mesh of an earlier run\n";
const char* const earlierPage = "page of an earlier run";

// A flat grid of 2 n^2 triangles: at texel size 1 the bake is quick, while the mesh file of
// 6 n^2 lines takes long enough to write that the test can freeze the tool in the middle of it.
std::string GridObj(int n)
{
    std::ostringstream obj;
    for (int y = 0; y <= n; y++)
        for (int x = 0; x <= n; x++)
            obj << "v " << x << " 0 " << y << "\n";
    for (int y = 0; y < n; y++) {
        for (int x = 0; x < n; x++) {
            int a = y * (n + 1) + x + 1;
            obj << "f " << a << " " << a + 1 << " " << a + n + 2 << " " << a + n + 1 << "\n";
        }
    }
    return obj.str();
}

std::set<std::string> Listing(const std::string& dir)
{
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        names.insert(entry.path().filename().string());
    return names;
}

bool HasExited(pid_t pid)
{
    siginfo_t info{};
    return waitid(P_PID, id_t(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid;
}

// The tool at low priority, so that the watching test runs the moment inotify reports.
void LowPriority() { setpriority(PRIO_PROCESS, 0, 10); }

// The mesh file's temporary name starts with ".out.txt.ketra-" (the folder probe made before the
// bake is ".out.txt.ketra-probe-"). Waits for its first bytes, then freezes the process; false
// when the process ended first or nothing came within the time.
bool FreezeWhenMeshBytesArrive(int watch, pid_t pid, std::string& temporary)
{
    const std::string prefix = ".out.txt.ketra-";
    for (int waited = 0; waited < 600 * 10; waited++) {
        pollfd ready{watch, POLLIN, 0};
        if (poll(&ready, 1, 100) <= 0) {
            if (HasExited(pid))
                return false;
            continue;
        }
        alignas(inotify_event) char buffer[16384];
        ssize_t length = read(watch, buffer, sizeof buffer);
        for (ssize_t at = 0; at < length;) {
            const inotify_event* event = reinterpret_cast<const inotify_event*>(buffer + at);
            at += ssize_t(sizeof(inotify_event) + event->len);
            std::string name = event->len > 0 ? event->name : "";
            if (name.compare(0, prefix.size(), prefix) != 0 || name.find("probe") != std::string::npos)
                continue;
            if (event->mask & IN_CREATE)
                temporary = name;
            if ((event->mask & IN_MODIFY) && name == temporary) {
                kill(pid, SIGSTOP);
                return true;
            }
        }
    }
    return false;
}

// Threads of the process that run below its main thread's priority: the pools' workers.
int WorkerThreadCount(pid_t pid)
{
    auto niceOf = [](const std::filesystem::path& stat) {
        std::string text = TestSupport::ReadFile(stat.string());
        // Field 19 is the nice value; the command name (field 2) is in parentheses and may hold spaces.
        std::istringstream fields(text.substr(text.rfind(')') + 2));
        std::string field;
        for (int i = 3; i <= 19; i++)
            fields >> field;
        return std::stoi(field);
    };
    const std::filesystem::path tasks = "/proc/" + std::to_string(pid) + "/task";
    const int mainNice = niceOf(tasks / std::to_string(pid) / "stat");
    int workers = 0;
    for (const auto& task : std::filesystem::directory_iterator(tasks)) {
        if (niceOf(task.path() / "stat") > mainNice)
            workers++;
    }
    return workers;
}

class StopRequests : public testing::Test {
protected:
    void SetUp() override
    {
        dir = TestSupport::MakeTempDirectory();
        TestSupport::WriteFile(dir + "/grid.obj", GridObj(220));
        TestSupport::WriteFile(dir + "/lights.txt", "light ambient colour 1 1 1\n");
        TestSupport::WriteFile(dir + "/out.txt", earlierMesh);
        TestSupport::WriteFile(dir + "/Ketra_lightmap_0.png", earlierPage);
        watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        ASSERT_GE(watch, 0);
        ASSERT_GE(inotify_add_watch(watch, dir.c_str(), IN_CREATE | IN_MODIFY), 0);
    }

    void TearDown() override
    {
        if (watch >= 0)
            close(watch);
        std::filesystem::remove_all(dir);
    }

    // Starts a bake of the grid and freezes it once its mesh file is being written.
    // `modeArgs` come before the files (the lighting mode's -d 0 -L lights.txt, say).
    TestSupport::StartedProcess StartAndFreezeInTheWrites(const TestSupport::ChildSetup& setup,
                                                          const std::vector<std::string>& modeArgs = {})
    {
        // Events of an earlier run in this folder must not be taken for this one's.
        char stale[16384];
        while (read(watch, stale, sizeof stale) > 0) {
        }
        const std::string meshBefore = TestSupport::ReadFile(dir + "/out.txt");
        std::vector<std::string> args = {KETRA_BINARY, "-f", "-s", "1", "-t", "1"};
        args.insert(args.end(), modeArgs.begin(), modeArgs.end());
        args.insert(args.end(), {"grid.obj", "out.txt"});
        TestSupport::StartedProcess process = TestSupport::StartProcess(args, dir, "", setup);
        std::string temporary;
        frozen = FreezeWhenMeshBytesArrive(watch, process.pid, temporary);
        if (frozen) {
            // Frozen in the middle: the mesh file has bytes under its temporary name only.
            EXPECT_GT(std::filesystem::file_size(dir + "/" + temporary), 0u);
            EXPECT_EQ(TestSupport::ReadFile(dir + "/out.txt"), meshBefore);
        }
        return process;
    }

    std::string dir;
    int watch = -1;
    bool frozen = false;
};

TEST_F(StopRequests, SignalDuringTheWritesRemovesEverythingAndKeepsEarlierOutputs)
{
    const struct {
        int signal;
        int exitCode;
        std::vector<std::string> modeArgs;
    } rows[] = {
        {SIGINT, 130, {}},
        {SIGTERM, 143, {}},
        {SIGINT, 130, {"-d", "0", "-L", "lights.txt"}},  // the lighting mode writes the same way
    };
    for (const auto& row : rows) {
        TestSupport::StartedProcess process = StartAndFreezeInTheWrites(LowPriority, row.modeArgs);
        ASSERT_TRUE(frozen) << "the tool ended before its mesh file was written";
        kill(process.pid, row.signal);
        kill(process.pid, SIGCONT);
        TestSupport::ProcessResult r = TestSupport::FinishProcess(process);

        const std::string rowName =
            std::string(strsignal(row.signal)) + (row.modeArgs.empty() ? "" : ", lighting mode");
        EXPECT_EQ(r.exitCode, row.exitCode) << rowName << "\n" << r.err;
        EXPECT_NE(r.out.find("\naborted\n"), std::string::npos) << r.out;
        EXPECT_EQ(r.err, "");
        // Not a byte of this run stays; the earlier run's files are as they were.
        EXPECT_EQ(Listing(dir), (std::set<std::string>{"grid.obj", "lights.txt", "out.txt", "Ketra_lightmap_0.png"}));
        EXPECT_EQ(TestSupport::ReadFile(dir + "/out.txt"), earlierMesh);
        EXPECT_EQ(TestSupport::ReadFile(dir + "/Ketra_lightmap_0.png"), earlierPage);
    }
}

TEST_F(StopRequests, OneAllowedProcessorMeansNoWorkerThreads)
{
    cpu_set_t allowed;
    ASSERT_EQ(sched_getaffinity(0, sizeof allowed, &allowed), 0);
    int first = 0;
    while (!CPU_ISSET(first, &allowed))
        first++;
    auto oneProcessor = [first] {
        LowPriority();
        cpu_set_t only;
        CPU_ZERO(&only);
        CPU_SET(first, &only);
        sched_setaffinity(0, sizeof only, &only);
    };
    TestSupport::StartedProcess process = StartAndFreezeInTheWrites(oneProcessor);
    ASSERT_TRUE(frozen) << "the tool ended before its mesh file was written";
    EXPECT_EQ(WorkerThreadCount(process.pid), 0);
    kill(process.pid, SIGCONT);
    TestSupport::ProcessResult r = TestSupport::FinishProcess(process);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(TestSupport::ReadFile(dir + "/out.txt"), earlierMesh);

    // The count above means something only if the tool has workers when it may use more.
    if (CPU_COUNT(&allowed) > 1) {
        TestSupport::StartedProcess all = StartAndFreezeInTheWrites(LowPriority);
        ASSERT_TRUE(frozen) << "the tool ended before its mesh file was written";
        EXPECT_EQ(WorkerThreadCount(all.pid), CPU_COUNT(&allowed) - 1);
        kill(all.pid, SIGCONT);
        EXPECT_EQ(TestSupport::FinishProcess(all).exitCode, 0);
    }
}

}  // namespace
