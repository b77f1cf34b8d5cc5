#include "core/log.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <utility>
#include <vector>

namespace Core {
namespace {

struct ListenerEntry {
    int id;
    LogListener listener;
};

struct LogState {
    // Recursive, so a listener that logs does not deadlock on itself.
    std::recursive_mutex lock;
    std::vector<ListenerEntry> listeners;
    int nextId = 1;
};

LogState& State()
{
    // Never destroyed: threads may still log while static destructors run at exit.
    static LogState* state = new LogState;
    return *state;
}

std::string TimePrefix()
{
    auto now = std::chrono::system_clock::now();
    std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    int millis = int(std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
    std::tm local{};
    localtime_r(&seconds, &local);
    char prefix[32];
    std::snprintf(prefix, sizeof prefix, "%02d:%02d:%02d.%03d  ", local.tm_hour, local.tm_min, local.tm_sec, millis);
    return prefix;
}

}  // namespace

void Log(const std::string& text)
{
    LogState& state = State();
    std::lock_guard<std::recursive_mutex> guard(state.lock);
    if (state.listeners.empty())
        return;
    std::string line = TimePrefix() + text;
    if (line.size() > size_t(logLineLimit))
        line.resize(logLineLimit);
    for (const ListenerEntry& entry : state.listeners)
        entry.listener(line);
}

void LogFormat(const char* format, ...)
{
    char buffer[logLineLimit + 1];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    Log(buffer);
}

int AddLogListener(LogListener listener)
{
    LogState& state = State();
    std::lock_guard<std::recursive_mutex> guard(state.lock);
    int id = state.nextId++;
    state.listeners.push_back({id, std::move(listener)});
    return id;
}

void RemoveLogListener(int id)
{
    LogState& state = State();
    std::lock_guard<std::recursive_mutex> guard(state.lock);
    std::erase_if(state.listeners, [id](const ListenerEntry& entry) { return entry.id == id; });
}

}  // namespace Core
