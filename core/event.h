#pragma once

#include <cstdint>

#include "core/platform/platform.h"

namespace Core {

// Auto-reset event, created not signalled.
class Event {
public:
    Event() = default;
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    void Set();
    // Milliseconds, -1 for ever; true only when the event was signalled in time.
    bool Wait(int32_t milliseconds);

private:
    Platform::AutoResetEvent event;
};

}  // namespace Core
