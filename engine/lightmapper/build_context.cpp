#include "engine/lightmapper/build_context.h"

#include <algorithm>

#include "core/cpu_info.h"

namespace Engine {

int32_t ThreadSlotCount(const Core::ParallelFor& pool)
{
    // A pool that has not started yet starts with one thread per logical core.
    return std::max({Core::GetLogicalCoreCount(), pool.GetThreadCount(), 1});
}

LmBuildContext::LmBuildContext(Core::ParallelFor& pool, BuildProgress progress)
    : pool(pool), progress(progress), slotCount(ThreadSlotCount(pool)), candidates(size_t(slotCount))
{
}

}  // namespace Engine
