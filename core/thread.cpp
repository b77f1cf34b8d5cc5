#include "core/thread.h"

#include <cassert>
#include <mutex>
#include <unordered_map>
#include <utility>

#include "core/profiler.h"

namespace Core {
namespace {

std::atomic<int64_t> threadCounter{0};
thread_local int64_t currentThreadNumber = 0;

struct Registry {
    std::mutex lock;
    std::unordered_map<const Thread*, uint64_t> threads;  // thread -> OS thread id
    std::unique_ptr<Thread> mainThread;
    uint64_t mainThreadId = 0;
};

Registry& GetRegistry()
{
    // Never destroyed: threads may end while static destructors run at exit.
    static Registry* registry = new Registry;
    return *registry;
}

int32_t NormalizePriority(int32_t level)
{
    if (level > 3)
        level = 3;
    if (level < -4)
        level = -4;
    return level == -4 ? 0 : level;
}

}  // namespace

Thread::Thread() = default;

Thread::Thread(Delegate<void()> body) : body(std::move(body)) {}

Thread::~Thread()
{
    if (stopRequests.load() == 0)
        Join();
}

bool Thread::Start()
{
    if (osThread)
        return false;
    profile = std::make_unique<ThreadProfile>();
    osThread = Platform::CreateThread(&Thread::Entry, this);
    if (!osThread) {
        profile.reset();
        return false;
    }
    return true;
}

void* Thread::Entry(void* argument)
{
    Thread* thread = static_cast<Thread*>(argument);
    SetThreadProfile(thread->profile.get());
    currentThreadNumber = ++threadCounter;
    thread->threadNumber.store(currentThreadNumber);
    uint64_t id = Platform::CurrentThreadId();
    {
        Registry& registry = GetRegistry();
        std::lock_guard<std::mutex> guard(registry.lock);
        registry.threads[thread] = id;
    }
    thread->osThreadId.store(id);
    int32_t priority = thread->pendingPriority.load();
    if (priority != kNoPriority)
        Platform::SetThreadPriority(id, priority);

    thread->Run();

    thread->profile->Merge();
    SetThreadProfile(nullptr);
    return nullptr;
}

void Thread::Run()
{
    if (body)
        body();
}

void Thread::Join()
{
    if (!osThread)
        return;
    assert(Platform::CurrentThreadId() != osThreadId.load() && "a thread cannot join itself");
    // Raised before the hook wakes the thread, so that the woken loop already sees it.
    stopRequests++;
    RequestStop();
    Platform::JoinThread(osThread);
    osThread = nullptr;
    stopRequests--;
    profile.reset();
    Registry& registry = GetRegistry();
    std::lock_guard<std::mutex> guard(registry.lock);
    registry.threads.erase(this);
}

bool Thread::SetPriority(int32_t level)
{
    if (!osThread)
        return false;
    level = NormalizePriority(level);
    pendingPriority.store(level);
    uint64_t id = osThreadId.load();
    // Not running yet: the thread applies the level itself as it starts.
    if (id == 0)
        return true;
    return Platform::SetThreadPriority(id, level);
}

std::string Thread::GetName() const
{
    std::lock_guard<std::mutex> guard(GetRegistry().lock);
    return name;
}

void Thread::SetName(const std::string& newName)
{
    std::lock_guard<std::mutex> guard(GetRegistry().lock);
    name = newName;
}

void Thread::Sleep(int32_t milliseconds)
{
    ProfileScope scope("Thread::Sleep");
    Platform::SleepMilliseconds(milliseconds);
}

int64_t Thread::GetCurrentThreadNumber()
{
    return currentThreadNumber;
}

void RegisterMainThread()
{
    auto mainThread = std::make_unique<Thread>();
    uint64_t id = Platform::CurrentThreadId();
    mainThread->osThreadId.store(id);
    mainThread->name = "main";
    Registry& registry = GetRegistry();
    std::lock_guard<std::mutex> guard(registry.lock);
    registry.threads[mainThread.get()] = id;
    registry.mainThread = std::move(mainThread);
}

void UnregisterMainThread()
{
    std::unique_ptr<Thread> mainThread;
    {
        Registry& registry = GetRegistry();
        std::lock_guard<std::mutex> guard(registry.lock);
        mainThread = std::move(registry.mainThread);
        if (mainThread)
            registry.threads.erase(mainThread.get());
    }
}

bool FindThreadName(uint64_t osThreadId, std::string& found)
{
    Registry& registry = GetRegistry();
    std::lock_guard<std::mutex> guard(registry.lock);
    for (const auto& [thread, id] : registry.threads) {
        if (id == osThreadId && !thread->name.empty()) {
            found = thread->name;
            return true;
        }
    }
    return false;
}

}  // namespace Core
