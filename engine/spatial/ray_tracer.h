#pragma once

#include <cassert>
#include <cstdint>
#include <vector>

#include "core/parallel_for.h"
#include "engine/spatial/triangle_ops.h"
#include "engine/spatial/wide_bvh.h"

namespace Engine {

// Which structure answers the ray queries.
enum class TracerKind { bvh, kdTree };

// The ray queries of the tracing passes: the wide BVH by default; the kd-tree when the
// environment variable KETRA_TRACER is "kdtree", so tests and benchmarks can set the two side by
// side on one build. Both answer exactly as the loop over every triangle, except that the
// kd-tree walk can miss a hit in the triangle test's tolerance band at a cell border; the
// triangle reported for equal distances may differ (the BVH names the lowest index).
class RayTracer {
public:
    // Reads KETRA_TRACER; anything but "kdtree" (or nothing) means the BVH.
    static TracerKind KindFromEnvironment();

    // The kd-tree must be built (by the caller, at any time before the first query) and must
    // outlive the tracer; the BVH is built here over the view unless the kd-tree is chosen.
    // With a pool, the BVH build runs its subtrees on the pool's threads; the tree is the same.
    void Build(const TriangleMeshView& view, const TriangleKdTree& kdTree, TracerKind kind,
               Core::ParallelFor* pool = nullptr);
    // One query counter per thread slot, all 0; queries name their slot as for the kd-tree.
    void SetSlotCount(int32_t slotCount);
    // Queries made since the slots were set, over all slots: what a pass cast.
    uint64_t QueryCount() const;

    // Same meaning and forms as KdTree3::RayNearest and RayAny; slot is the caller's thread slot
    // (the kd-tree's mailbox; the BVH needs none).
    float RayNearest(int32_t slot, int32_t mode, const KdRay& ray, int32_t* hit, float maxDistance) const
    {
        assert(size_t(slot) < queries.size() && "RayTracer query from a slot it was not sized for");
        queries[size_t(slot)].count++;
        if (kind == TracerKind::kdTree)
            return kdTree->RayNearest(slot, mode, ray, hit, maxDistance);
        return bvh.RayNearest(mode, ray, hit, maxDistance);
    }
    bool RayAny(int32_t slot, int32_t mode, const KdRay& ray, float maxDistance) const
    {
        assert(size_t(slot) < queries.size() && "RayTracer query from a slot it was not sized for");
        queries[size_t(slot)].count++;
        if (kind == TracerKind::kdTree)
            return kdTree->RayAny(slot, mode, ray, maxDistance);
        return bvh.RayAny(mode, ray, maxDistance);
    }

    TracerKind Kind() const { return kind; }
    const WideBvh& Bvh() const { return bvh; }
    WideBvh& Bvh() { return bvh; }

private:
    // Each slot's counter on a cache line of its own: threads count on every query.
    struct alignas(64) SlotQueries {
        uint64_t count = 0;
    };

    const TriangleKdTree* kdTree = nullptr;
    mutable std::vector<SlotQueries> queries;
    WideBvh bvh;
    TracerKind kind = TracerKind::bvh;
};

}  // namespace Engine
