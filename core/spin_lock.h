#pragma once

#include <atomic>
#include <thread>

namespace Core {

// A lock for critical sections of a few dozen instructions, such as the heap's: taking it free
// costs one atomic exchange and giving it back one store, where a mutex would also pay for its
// sleeping waiters. A thread that finds it taken spins briefly, then yields its processor, so that
// a holder that was preempted (more threads than processors) gets to run and release it instead
// of the waiter burning its whole time slice.
class SpinLock {
public:
    constexpr SpinLock() = default;
    SpinLock(const SpinLock&) = delete;
    SpinLock& operator=(const SpinLock&) = delete;

    void lock() noexcept
    {
        if (!taken.exchange(true, std::memory_order_acquire))
            return;
        WaitAndLock();
    }
    void unlock() noexcept { taken.store(false, std::memory_order_release); }

private:
    // About a microsecond of spinning: longer than the heap holds the lock, shorter than a
    // time slice.
    static constexpr int spinsBeforeYield = 64;

    void WaitAndLock() noexcept
    {
        for (;;) {
            for (int spin = 0; spin < spinsBeforeYield; spin++) {
                // Reads only while taken, so waiters do not keep stealing the cache line.
                if (!taken.load(std::memory_order_relaxed) && !taken.exchange(true, std::memory_order_acquire))
                    return;
                Pause();
            }
            std::this_thread::yield();
        }
    }

    static void Pause() noexcept
    {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
    }

    std::atomic<bool> taken{false};
};

}  // namespace Core
