#pragma once

#include <cstdint>
#include <string>

namespace Core {

// Milliseconds of a monotonic clock, wrapping at 2^32 like the system tick it stands for.
uint32_t NowMilliseconds();
// Ticks of the high-resolution clock and their frequency per second.
uint64_t NowTicks();
uint64_t TickFrequency();
// Tick difference to microseconds, as 64-bit integer arithmetic.
int64_t TicksToMicroseconds(uint64_t ticks);

// Stopwatch in milliseconds. Created stopped with elapsed 0.
class Timer {
public:
    void Start();
    // Stops a running timer and returns the elapsed time; a stopped timer returns what it has.
    uint32_t Stop();
    // Time since start, restarting; a stopped timer returns its stored elapsed and starts.
    uint32_t Lap();
    // Running: time since start; stopped: the stored elapsed.
    uint32_t Peek() const;

private:
    uint32_t startTime = 0;
    uint32_t elapsed = 0;
    bool running = false;
};

// The same in microseconds, from the high-resolution clock.
class PreciseTimer {
public:
    void Start();
    int64_t Stop();
    int64_t Lap();
    int64_t Peek() const;

private:
    uint64_t startTicks = 0;
    int64_t elapsed = 0;
    bool running = false;
};

// Logs "<name> took <n> msec" when the block it lives in ends.
class ScopeTimer {
public:
    explicit ScopeTimer(std::string name);
    ~ScopeTimer();
    ScopeTimer(const ScopeTimer&) = delete;
    ScopeTimer& operator=(const ScopeTimer&) = delete;

private:
    std::string name;
    Timer timer;
};

// The same in microseconds: "<name> took <n> usec".
class PreciseScopeTimer {
public:
    explicit PreciseScopeTimer(std::string name);
    ~PreciseScopeTimer();
    PreciseScopeTimer(const PreciseScopeTimer&) = delete;
    PreciseScopeTimer& operator=(const PreciseScopeTimer&) = delete;

private:
    std::string name;
    PreciseTimer timer;
};

}  // namespace Core
