#include "geom/geom_module.h"

#include <mutex>

#include "core/core_module.h"
#include "core/log.h"

namespace Geom {
namespace {

std::mutex moduleLock;
int initCount = 0;

}  // namespace

void GeomInit()
{
    Core::CoreInit();
    std::lock_guard<std::mutex> guard(moduleLock);
    if (initCount++ == 0)
        Core::Log("Geom initialized");
}

void GeomShutdown()
{
    {
        std::lock_guard<std::mutex> guard(moduleLock);
        if (initCount == 0)
            return;
        if (--initCount == 0)
            Core::Log("shutting down Geom");
    }
    Core::CoreShutdown();
}

}  // namespace Geom
