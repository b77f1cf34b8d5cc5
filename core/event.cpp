#include "core/event.h"

#include "core/profiler.h"

namespace Core {

void Event::Set()
{
    event.Set();
}

bool Event::Wait(int32_t milliseconds)
{
    ProfileScope scope("Event::Wait");
    return event.Wait(milliseconds);
}

}  // namespace Core
