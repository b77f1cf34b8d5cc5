#include "engine/spatial/wide_bvh.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <emmintrin.h>

#include "core/cpu_info.h"
#include "engine/spatial/wide_bvh_builder.h"

namespace Engine {
namespace {

// Largest distance a nearest query can report: noHit and beyond mean a miss.
const float lastDistance = std::nextafter(noHit, 0.0f);

// All three axes at once; lane by lane the same arithmetic as one axis at a time.
void PrepareBvhRay(BvhRay& r, float sceneMagnitude)
{
    const __m128 origin = _mm_setr_ps(r.ray.origin.x, r.ray.origin.y, r.ray.origin.z, 0);
    const __m128 direction = _mm_setr_ps(r.ray.direction.x, r.ray.direction.y, r.ray.direction.z, 1);
    const __m128 signBit = _mm_set1_ps(-0.0f);
    const float originMagnitude = std::max(std::max(std::fabs(r.ray.origin.x), std::fabs(r.ray.origin.y)),
                                           std::fabs(r.ray.origin.z));
    const float margin = WideBvh::rayMarginScale * (originMagnitude + sceneMagnitude);
    // -0 counts as negative, so its infinite inverse has the sign that picks the bounds the way a
    // tiny negative direction would.
    const __m128 negative = _mm_and_ps(direction, signBit);
    const __m128 shift = _mm_or_ps(_mm_set1_ps(margin), negative);  // -margin where negative
    const __m128 inverse = _mm_div_ps(_mm_set1_ps(1.0f), direction);
    _mm_storeu_ps(r.nearOrigin, _mm_add_ps(origin, shift));
    _mm_storeu_ps(r.farOrigin, _mm_sub_ps(origin, shift));
    _mm_storeu_ps(r.nearInverse, inverse);
    _mm_storeu_ps(r.farInverse, _mm_mul_ps(inverse, _mm_set1_ps(bvhFarScale)));
    // Rows lo x, hi x, lo y, ...: the near row is the high one on a negative axis.
    const __m128i lowRows = _mm_setr_epi32(0, 2 * WideBvh::width, 4 * WideBvh::width, 0);
    const __m128i highStep = _mm_slli_epi32(_mm_srli_epi32(_mm_castps_si128(negative), 31), 3);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(r.nearOffset), _mm_add_epi32(lowRows, highStep));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(r.farOffset),
                     _mm_sub_epi32(_mm_add_epi32(lowRows, _mm_set1_epi32(WideBvh::width)), highStep));
}

}  // namespace

void WideBvh::Build(const TriangleMeshView& view, Core::ParallelFor* pool)
{
    Clear();
    mesh = view;
    WideBvhParts parts = BuildWideBvh(view, pool);
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
    BvhRay prepared;
    KdRay& walked = prepared.ray;
    float limit;
    if (!PrepareRayQuery(ray, maxDistance, walked, limit))
        return noHit;
    float best = std::min(limit, lastDistance);
    // Any index is below the start, so a hit exactly at the limit counts.
    int32_t bestTriangle = INT32_MAX;
    if (root != noRoot) {
        PrepareBvhRay(prepared, sceneMagnitude);
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
    BvhRay prepared;
    KdRay& walked = prepared.ray;
    float limit;
    if (!PrepareRayQuery(ray, maxDistance, walked, limit))
        return false;
    if (root != noRoot) {
        PrepareBvhRay(prepared, sceneMagnitude);
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
