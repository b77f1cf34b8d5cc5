#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "core/delegate.h"
#include "core/platform/platform.h"

namespace Core {

class ThreadProfile;

// An OS thread with a number, a name and a profile. Threads are numbered in creation order
// from 1 (the main thread is 0) and listed in the Core's thread registry while they run, which is
// where the profiler finds their names.
class Thread {
public:
    Thread();
    explicit Thread(Delegate<void()> body);
    // Joins first unless a stop was already requested. A derived class whose Run uses its own
    // members must join in its own destructor: by the time this one runs they are gone.
    virtual ~Thread();
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // Called by Join before it waits, so that a thread blocked on its own event can leave.
    virtual void RequestStop() {}
    // False when already started or when the system cannot create the thread.
    virtual bool Start();
    // The thread's body; the base calls its delegate.
    virtual void Run();

    // Asks the thread to stop (RequestStop, stopRequests) and waits for it; nothing when not started.
    void Join();
    // Level -4 .. 3 (clamped): -3 idle, -2 lowest, -1 below normal, 0 normal, 1 above normal,
    // 2 highest, 3 time-critical; -4 means normal. False when not started or the system refuses.
    bool SetPriority(int32_t level);

    bool IsStarted() const { return osThread != nullptr; }
    // 0 until the thread has begun to run.
    int64_t GetThreadNumber() const { return threadNumber.load(); }
    uint64_t GetOsThreadId() const { return osThreadId.load(); }
    std::string GetName() const;
    void SetName(const std::string& name);

    // Sleeps inside the profiling scope "Thread::Sleep".
    static void Sleep(int32_t milliseconds);
    // Number of the calling thread: 0 on the main thread and threads not started by a Thread.
    static int64_t GetCurrentThreadNumber();

    // Non-zero asks the thread's loop to end.
    std::atomic<int32_t> stopRequests{0};

protected:
    Delegate<void()> body;

private:
    friend void RegisterMainThread();
    friend bool FindThreadName(uint64_t osThreadId, std::string& name);
    static void* Entry(void* argument);

    Platform::OsThread* osThread = nullptr;
    std::unique_ptr<ThreadProfile> profile;
    std::atomic<uint64_t> osThreadId{0};
    std::atomic<int64_t> threadNumber{0};
    // Applied by whichever of SetPriority and the new thread sees the other's half: the thread's
    // kernel id is known only once it runs. kNoPriority when none was asked for.
    static constexpr int32_t kNoPriority = 100;
    std::atomic<int32_t> pendingPriority{kNoPriority};
    std::string name;  // under the registry lock
};

// Core start-up and shut-down: enter the calling thread as "main" (number 0) into the registry,
// and take it out again.
void RegisterMainThread();
void UnregisterMainThread();
// The name of the registered thread with this OS id; false when none is registered or it has
// no name.
bool FindThreadName(uint64_t osThreadId, std::string& name);

}  // namespace Core
