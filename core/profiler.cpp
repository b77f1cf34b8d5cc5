#include "core/profiler.h"

#include <algorithm>
#include <cassert>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <utility>

#include "core/platform/platform.h"
#include "core/thread.h"
#include "core/timer.h"

namespace Core {
namespace {

struct ThreadTotals {
    uint64_t osThreadId;
    ProfileNodeMap nodes;
};

struct GlobalProfile {
    std::mutex lock;
    HashMap<uint64_t, int32_t> threadIndex;  // OS thread id -> index into threads
    std::vector<ThreadTotals> threads;
};

GlobalProfile& GetGlobalProfile()
{
    // Never destroyed: threads that end during exit still merge into it.
    static GlobalProfile* profile = new GlobalProfile;
    return *profile;
}

thread_local ThreadProfile* currentProfile = nullptr;

// The profile of a thread that has none set (one not started through Thread, or the main
// thread outside the Core's lifetime). Each thread gets its own, so recording stays lock-free,
// and hands its counters over when the thread ends.
struct OwnProfile {
    ThreadProfile profile;
    ~OwnProfile() { profile.Merge(); }
};

void AppendFormat(std::string& text, const char* format, ...) __attribute__((format(printf, 2, 3)));

void AppendFormat(std::string& text, const char* format, ...)
{
    char line[1024];
    va_list args;
    va_start(args, format);
    int length = std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (length > 0)
        text.append(line, std::min(size_t(length), sizeof line - 1));
}

void AppendNode(std::string& text, const ProfileNodeMap& nodes, const std::vector<std::vector<int32_t>>& children,
    int32_t node, int depth, uint64_t exclusiveSum)
{
    const ProfileNode& counters = nodes[node].value;
    double frequency = double(TickFrequency());
    double share = exclusiveSum > 0 ? double(counters.exclusiveTicks) * 100.0 / double(exclusiveSum) : 0.0;
    AppendFormat(text, "%s%s => %" PRIu64 " calls, [exclusive] took %0.6lf sec (%0.2lf%%) excl.mem: %" PRIu64 " kb\n",
        std::string(size_t(8 + 8 * depth), ' ').c_str(), reinterpret_cast<const char*>(nodes[node].key.name),
        counters.calls, double(counters.exclusiveTicks) / frequency, share, counters.memory / 1024);
    for (int32_t child : children[size_t(node)])
        AppendNode(text, nodes, children, child, depth + 1, exclusiveSum);
}

void AppendThread(std::string& text, const ThreadTotals& thread)
{
    const ProfileNodeMap& nodes = thread.nodes;
    // The id printed as a zero-padded pointer-width hex number, the same on every system.
    std::string name;
    if (FindThreadName(thread.osThreadId, name))
        AppendFormat(text, "Profile status for thread %s (0x%016" PRIX64 "):\n", name.c_str(), thread.osThreadId);
    else
        AppendFormat(text, "Profile status for thread 0x%016" PRIX64 ":\n", thread.osThreadId);

    // Children in the order they were first entered; a parent always precedes its children.
    std::vector<std::vector<int32_t>> children(size_t(nodes.Count()));
    std::vector<int32_t> roots;
    uint64_t exclusiveSum = 0;
    for (int32_t n = 0; n < nodes.Count(); n++) {
        int64_t parent = nodes[n].key.parent;
        if (parent >= 0)
            children[size_t(parent)].push_back(n);
        else
            roots.push_back(n);
        exclusiveSum += nodes[n].value.exclusiveTicks;
    }
    std::stable_sort(roots.begin(), roots.end(),
        [&](int32_t a, int32_t b) { return nodes[a].value.totalTicks > nodes[b].value.totalTicks; });
    for (int32_t root : roots)
        AppendNode(text, nodes, children, root, 0, exclusiveSum);
}

}  // namespace

ThreadProfile::ThreadProfile() : lastFlushTick(NowTicks()) {}

ThreadProfile::~ThreadProfile()
{
    assert(stack.empty() && "a profile scope outlived its thread's profile");
}

void ThreadProfile::Enter(const char* name)
{
    stack.push_back(current);
    current = nodes.FindOrAdd({uint64_t(reinterpret_cast<uintptr_t>(name)), current}, ProfileNode{});
    ProfileNode& node = nodes[current].value;
    node.calls++;
    node.lastEntryTick = NowTicks();
    if (!hasFirstTick) {
        firstTick = node.lastEntryTick;
        hasFirstTick = true;
    }
}

void ThreadProfile::Leave()
{
    assert(!stack.empty() && current >= 0);
    int32_t parent = stack.back();
    uint64_t now = NowTicks();
    ProfileNode& node = nodes[current].value;
    uint64_t elapsed = now - node.lastEntryTick;
    node.totalTicks += elapsed;
    node.exclusiveTicks += elapsed - node.childTicks;
    node.childTicks = 0;
    // At most once a second, so the lock traffic does not grow with the number of scopes.
    if (now - lastFlushTick >= TickFrequency()) {
        lastFlushTick = now;
        Merge();
    }
    if (parent >= 0)
        nodes[parent].value.childTicks += elapsed;
    current = parent;
    stack.pop_back();
}

void ThreadProfile::Merge()
{
    if (nodes.Count() == 0)
        return;
    mergeScratch.resize(size_t(nodes.Count()));
    uint64_t threadId = Platform::CurrentThreadId();
    GlobalProfile& global = GetGlobalProfile();
    {
        std::lock_guard<std::mutex> guard(global.lock);
        bool added = false;
        int32_t slot = global.threadIndex.FindOrAdd(threadId, int32_t(global.threads.size()), added);
        if (added)
            global.threads.push_back({threadId, {}});
        ProfileNodeMap& merged = global.threads[size_t(global.threadIndex[slot].value)].nodes;
        // Node indices differ between the local and the merged map when one OS thread had more
        // than one profile, so parents are translated; a parent always comes before its children.
        for (int32_t n = 0; n < nodes.Count(); n++) {
            ProfileKey key = nodes[n].key;
            if (key.parent >= 0)
                key.parent = mergeScratch[size_t(key.parent)];
            int32_t m = merged.FindOrAdd(key, ProfileNode{});
            mergeScratch[size_t(n)] = m;
            const ProfileNode& local = nodes[n].value;
            ProfileNode& total = merged[m].value;
            total.totalTicks += local.totalTicks;
            total.exclusiveTicks += local.exclusiveTicks;
            total.calls += local.calls;
            total.memory = local.memory;
            total.memoryPeak = local.memoryPeak;
        }
    }
    for (int32_t n = 0; n < nodes.Count(); n++) {
        ProfileNode& local = nodes[n].value;
        local.totalTicks = 0;
        local.exclusiveTicks = 0;
        local.calls = 0;
    }
}

ProfileScope::ProfileScope(const char* name) : profile(GetThreadProfile())
{
    profile->Enter(name);
}

ProfileScope::~ProfileScope()
{
    profile->Leave();
}

ThreadProfile* GetThreadProfile()
{
    if (currentProfile)
        return currentProfile;
    static thread_local OwnProfile own;
    return &own.profile;
}

void SetThreadProfile(ThreadProfile* profile)
{
    currentProfile = profile;
}

void FlushThreadProfile()
{
    GetThreadProfile()->Merge();
}

std::string TakeProfileReport()
{
    std::vector<ThreadTotals> threads;
    {
        GlobalProfile& global = GetGlobalProfile();
        std::lock_guard<std::mutex> guard(global.lock);
        threads = std::move(global.threads);
        global.threads.clear();
        global.threadIndex.Clear();
    }
    std::string text;
    for (const ThreadTotals& thread : threads) {
        if (thread.nodes.Count() > 0)
            AppendThread(text, thread);
    }
    return text;
}

}  // namespace Core
