#include "core/timer.h"

#include <chrono>
#include <utility>

#include "core/log.h"

namespace Core {

uint32_t NowMilliseconds()
{
    auto now = std::chrono::steady_clock::now().time_since_epoch();
    return uint32_t(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

uint64_t NowTicks()
{
    return uint64_t(std::chrono::steady_clock::now().time_since_epoch().count());
}

uint64_t TickFrequency()
{
    using Period = std::chrono::steady_clock::period;
    return uint64_t(Period::den / Period::num);
}

int64_t TicksToMicroseconds(uint64_t ticks)
{
    // Split to keep ticks * 1000000 from overflowing for long intervals.
    uint64_t frequency = TickFrequency();
    return int64_t(ticks / frequency * 1000000 + ticks % frequency * 1000000 / frequency);
}

void Timer::Start()
{
    running = true;
    startTime = NowMilliseconds();
}

uint32_t Timer::Stop()
{
    if (running) {
        elapsed = NowMilliseconds() - startTime;
        running = false;
    }
    return elapsed;
}

uint32_t Timer::Lap()
{
    uint32_t result = Peek();
    Start();
    return result;
}

uint32_t Timer::Peek() const
{
    return running ? NowMilliseconds() - startTime : elapsed;
}

void PreciseTimer::Start()
{
    running = true;
    startTicks = NowTicks();
}

int64_t PreciseTimer::Stop()
{
    if (running) {
        elapsed = TicksToMicroseconds(NowTicks() - startTicks);
        running = false;
    }
    return elapsed;
}

int64_t PreciseTimer::Lap()
{
    int64_t result = Peek();
    Start();
    return result;
}

int64_t PreciseTimer::Peek() const
{
    return running ? TicksToMicroseconds(NowTicks() - startTicks) : elapsed;
}

ScopeTimer::ScopeTimer(std::string name) : name(std::move(name))
{
    timer.Start();
}

ScopeTimer::~ScopeTimer()
{
    LogFormat("%s took %d msec", name.c_str(), int(timer.Stop()));
}

PreciseScopeTimer::PreciseScopeTimer(std::string name) : name(std::move(name))
{
    timer.Start();
}

PreciseScopeTimer::~PreciseScopeTimer()
{
    LogFormat("%s took %lld usec", name.c_str(), (long long)timer.Stop());
}

}  // namespace Core
