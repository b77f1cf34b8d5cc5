#include "engine/spatial/ray_tracer.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace Engine {

TracerKind RayTracer::KindFromEnvironment()
{
    const char* value = std::getenv("KETRA_TRACER");
    return value && std::strcmp(value, "kdtree") == 0 ? TracerKind::kdTree : TracerKind::bvh;
}

void RayTracer::Build(const TriangleMeshView& view, const TriangleKdTree& tree, TracerKind wanted,
                      Core::ParallelFor* pool)
{
    kdTree = &tree;
    kind = wanted;
    bvh.Clear();
    if (kind == TracerKind::bvh)
        bvh.Build(view, pool);
}

void RayTracer::SetSlotCount(int32_t slotCount)
{
    queries.assign(size_t(std::max(slotCount, 0)), SlotQueries());
}

uint64_t RayTracer::QueryCount() const
{
    uint64_t sum = 0;
    for (const SlotQueries& slot : queries)
        sum += slot.count;
    return sum;
}

}  // namespace Engine
