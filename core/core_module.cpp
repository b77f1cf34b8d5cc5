#include "core/core_module.h"

#include <mutex>

#include "core/log.h"

namespace Core {
namespace {

std::mutex moduleLock;
int initCount = 0;

}  // namespace

void CoreInit()
{
    std::lock_guard<std::mutex> guard(moduleLock);
    if (initCount++ > 0)
        return;
    Log("Core initialized");
}

void CoreShutdown()
{
    std::lock_guard<std::mutex> guard(moduleLock);
    if (initCount == 0 || --initCount > 0)
        return;
    Log("shutting down Core");
}

bool CoreIsInitialized()
{
    std::lock_guard<std::mutex> guard(moduleLock);
    return initCount > 0;
}

}  // namespace Core
