#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "core/delegate.h"
#include "core/parallel_for.h"
#include "engine/spatial/ray_tracer.h"
#include "engine/spatial/triangle_ops.h"
#include "image/bitmap/bitmap.h"

namespace Engine {

// Progress of a build: percentage, a stage-specific value the console ignores, and a title that
// is non-empty only when a stage starts.
using LightmapperProgress = Core::Delegate<void(float percent, float value, const std::string& title)>;

// How a stage reports progress and learns that the build was cancelled; safe from any thread.
class BuildProgress {
public:
    BuildProgress(const LightmapperProgress& progress, const std::atomic<int32_t>& cancelled)
        : progress(&progress), cancelled(&cancelled)
    {
    }

    void Report(float percent, float value, const std::string& title) const
    {
        if (*progress)
            (*progress)(percent, value, title);
    }
    bool IsCancelled() const { return cancelled->load() != 0; }

private:
    const LightmapperProgress* progress;
    const std::atomic<int32_t>* cancelled;
};

// The searches over the mesh's triangles (element id = triangle index): the kd-tree answers box
// queries, the tracer answers rays (through its BVH, or the kd-tree), both reading compact copies
// of the triangles that the tree stage makes. Flags changed after the tree stage, and alpha maps
// given to objects after it, are not seen (the pixels of a map it has are read where they lie).
// The trees point at the copies, so the whole stays where it was built.
struct TriangleTrees {
    TriangleTrees() = default;
    TriangleTrees(const TriangleTrees&) = delete;
    TriangleTrees& operator=(const TriangleTrees&) = delete;

    // The ray queries every pass makes, in the forms of KdTree3::RayNearest and RayAny: the
    // nearest hit within the limit (noHit for none), and whether any hit is closer than it.
    // `slot` is the caller's thread slot.
    float RayNearest(int32_t slot, int32_t mode, const KdRay& ray, int32_t* hit, float maxDistance) const
    {
        return tracer.RayNearest(slot, mode, ray, hit, maxDistance);
    }
    bool RayAny(int32_t slot, int32_t mode, const KdRay& ray, float maxDistance) const
    {
        return tracer.RayAny(slot, mode, ray, maxDistance);
    }

    TriangleKdTree kdTree;
    RayTracer tracer;
    TriangleElements elements;
    std::vector<TriangleCorners> corners;
    std::vector<const Image::Bitmap*> alphaMaps;
};

// Every thread index that the pool may hand a body, whether or not it has started yet.
int32_t ThreadSlotCount(const Core::ParallelFor& pool);

// What the stages run on, for the length of one build: the pool, progress and cancel, the trees,
// and scratch sized once per build and picked by the thread index the pool hands a body.
struct LmBuildContext {
    LmBuildContext(Core::ParallelFor& pool, BuildProgress progress);
    LmBuildContext(const LmBuildContext&) = delete;
    LmBuildContext& operator=(const LmBuildContext&) = delete;

    Core::ParallelFor& pool;
    BuildProgress progress;
    const int32_t slotCount;
    TriangleTrees trees;
    // One candidate list per thread slot for the box queries of grouping and texel packing.
    std::vector<std::vector<int32_t>> candidates;
};

}  // namespace Engine
