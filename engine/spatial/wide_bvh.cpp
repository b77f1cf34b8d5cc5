#include "engine/spatial/wide_bvh.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "core/cpu_info.h"
#include "engine/spatial/wide_bvh_builder.h"

namespace Engine {
namespace {

// Largest distance a nearest query can report: noHit and beyond mean a miss.
const float lastDistance = std::nextafter(noHit, 0.0f);

BvhRay PrepareBvhRay(const KdRay& walked, float sceneMagnitude)
{
    BvhRay r;
    r.ray = walked;
    const float o[3] = {walked.origin.x, walked.origin.y, walked.origin.z};
    const float d[3] = {walked.direction.x, walked.direction.y, walked.direction.z};
    const float originMagnitude = std::max({std::fabs(o[0]), std::fabs(o[1]), std::fabs(o[2])});
    const float margin = WideBvh::rayMarginScale * (originMagnitude + sceneMagnitude);
    for (int a = 0; a < 3; a++) {
        // -0 counts as negative, so its infinite inverse has the sign that picks the bounds the
        // way a tiny negative direction would.
        const bool negative = std::signbit(d[a]);
        const float inverse = 1.0f / d[a];
        r.nearRow[a] = 2 * a + (negative ? 1 : 0);
        r.farRow[a] = 2 * a + (negative ? 0 : 1);
        r.nearOrigin[a] = negative ? o[a] - margin : o[a] + margin;
        r.farOrigin[a] = negative ? o[a] + margin : o[a] - margin;
        r.nearInverse[a] = inverse;
        r.farInverse[a] = inverse * bvhFarScale;
    }
    return r;
}

}  // namespace

void WideBvh::Build(const TriangleMeshView& view, int32_t threadCount)
{
    Clear();
    mesh = view;
    WideBvhParts parts = BuildWideBvh(view, threadCount);
    nodes = std::move(parts.nodes);
    leaves = std::move(parts.leaves);
    looseTriangles = std::move(parts.looseTriangles);
    root = parts.root;
    sceneMagnitude = parts.sceneMagnitude;
    // A deeper tree than the walk's stack holds cannot come out of the build (its depth is
    // bounded); stop rather than trace with a stack that could overflow.
    if (parts.depth > bvhMaxDepth) {
        std::fprintf(stderr, "Assertion failed: %s at line %d in file %s\n", "0 && \"bvh too deep\"", __LINE__,
                     __FILE__);
        std::abort();
    }
    kernel = Core::CpuHasAvx2() ? BvhKernel::avx2 : BvhKernel::sse2;

    stats = Stats();
    stats.nodeCount = int32_t(nodes.size());
    stats.leafCount = parts.leafCount;
    stats.triangleCount = parts.triangleCount;
    stats.looseCount = int32_t(looseTriangles.size());
    stats.depth = parts.depth;
    stats.bytes = nodes.size() * sizeof(Node) + leaves.size() * sizeof(LeafChunk) + looseTriangles.size() * 4;
}

void WideBvh::Clear()
{
    mesh = TriangleMeshView();
    std::vector<Node>().swap(nodes);
    std::vector<LeafChunk>().swap(leaves);
    std::vector<int32_t>().swap(looseTriangles);
    root = noRoot;
    sceneMagnitude = 0;
    stats = Stats();
}

BvhWalkData WideBvh::WalkData() const
{
    return BvhWalkData{nodes.data(), leaves.data(), root, &mesh};
}

bool WideBvh::SetKernel(BvhKernel wanted)
{
    if (wanted == BvhKernel::avx2 && !Core::CpuHasAvx2())
        return false;
    kernel = wanted;
    return true;
}

float WideBvh::RayNearest(int32_t mode, const KdRay& ray, int32_t* hit, float maxDistance) const
{
    KdRay walked;
    float limit;
    if (!PrepareRayQuery(ray, maxDistance, walked, limit))
        return noHit;
    float best = std::min(limit, lastDistance);
    // Any index is below the start, so a hit exactly at the limit counts.
    int32_t bestTriangle = INT32_MAX;
    if (root != noRoot) {
        const BvhRay prepared = PrepareBvhRay(walked, sceneMagnitude);
        const BvhWalkData data = WalkData();
        best = kernel == BvhKernel::avx2 ? BvhNearestAvx2(data, prepared, mode, best, bestTriangle)
                                         : BvhNearestSse2(data, prepared, mode, best, bestTriangle);
    }
    for (const int32_t triangle : looseTriangles) {
        const float t = IntersectTriangle(mesh, mode, triangle, walked);
        if (t < best || (t == best && triangle < bestTriangle)) {
            best = t;
            bestTriangle = triangle;
        }
    }
    if (bestTriangle == INT32_MAX)
        return noHit;
    if (hit)
        *hit = bestTriangle;
    return maxDistance < 0 ? best / limit : best;
}

bool WideBvh::RayAny(int32_t mode, const KdRay& ray, float maxDistance) const
{
    KdRay walked;
    float limit;
    if (!PrepareRayQuery(ray, maxDistance, walked, limit))
        return false;
    if (root != noRoot) {
        const BvhRay prepared = PrepareBvhRay(walked, sceneMagnitude);
        const BvhWalkData data = WalkData();
        const bool any = kernel == BvhKernel::avx2 ? BvhAnyAvx2(data, prepared, mode, limit)
                                                   : BvhAnySse2(data, prepared, mode, limit);
        if (any)
            return true;
    }
    for (const int32_t triangle : looseTriangles) {
        const float t = IntersectTriangle(mesh, mode, triangle, walked);
        if (t != noHit && t < limit)
            return true;
    }
    return false;
}

}  // namespace Engine
