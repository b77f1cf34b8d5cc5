#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "engine/mesh/triangle_flags.h"
#include "engine/spatial/kdtree3.h"
#include "geom/box.h"
#include "geom/vec.h"
#include "image/bitmap/bitmap.h"

namespace Engine {

// Barycentric slack of the ray-triangle test: a ray through a shared edge hits both triangles
// instead of slipping between them. Raising it lets rays hit just beside a triangle.
constexpr float rayTriangleTolerance = 1e-4f;
// Hits this close to the origin are the surface the ray leaves (origins are lifted by a small
// epsilon), or lie behind it.
constexpr float selfHitDistance = 1.0f / 2304.0f;

// Moller-Trumbore without back-face culling, from the first corner and the two edges leaving it.
// Returns t (no sign test: callers judge it) and the weights b1, b2 of corners 1 and 2, or
// noHit. Kept inline and written out term by term: the leaf loop and the plain path must produce
// the same bits.
inline float RayTriangleEdges(const KdRay& ray, Geom::Vec3 p0, Geom::Vec3 e1, Geom::Vec3 e2, float tolerance,
                              float& b1, float& b2)
{
    // Every quotient is computed and the tests are combined into one choice: whether a ray
    // passes a triangle is close to a coin toss in a leaf, and a mispredicted branch per test
    // costs more than the two divisions an early exit would save.
    const Geom::Vec3 q = Geom::Cross(ray.direction, e2);
    const float det = Geom::Dot(q, e1);
    const Geom::Vec3 s = ray.origin - p0;
    const Geom::Vec3 r = Geom::Cross(s, e1);
    const float w1 = Geom::Dot(q, s) / det;
    const float w2 = Geom::Dot(r, ray.direction) / det;
    const float t = Geom::Dot(r, e2) / det;
    const bool flat = det == 0;
    b1 = flat ? 0.0f : w1;
    b2 = flat ? 0.0f : w2;
    const bool outside = (w1 < -tolerance) | (w2 < -tolerance) | (w1 + w2 > 1 + tolerance);
    return (flat | outside) ? noHit : t;
}

inline float RayTriangle(const KdRay& ray, Geom::Vec3 p0, Geom::Vec3 p1, Geom::Vec3 p2, float tolerance, float& b1,
                         float& b2)
{
    return RayTriangleEdges(ray, p0, p1 - p0, p2 - p0, tolerance, b1, b2);
}

// Cuts a triangle's box at the plane coordinate[axis] == position: corners on each side and the
// points where edges cross the plane, each box then clipped to the element box. Never fails.
bool SplitTriangle(float position, int32_t axis, const Geom::Box3& box, Geom::Vec3 p0, Geom::Vec3 p1, Geom::Vec3 p2,
                   Geom::Box3& left, Geom::Box3& right);

// Texel coordinate of a texture coordinate on a map of `size` texels: rounded half away from
// zero, then wrapped so the map repeats. Non-finite input gives 0.
int32_t WrapTexel(float coordinate, int32_t size);

// True when the alpha map lets a ray through at texture coordinate (s, r): alpha below 128.
bool AlphaPassesThrough(const Image::Bitmap& alphaMap, float s, float r);

// What the triangle ray tests need of a mesh, copied out of the owner's records so the tests do
// not depend on their layout.
struct TriangleCorners {
    int32_t pos[3] = {-1, -1, -1};
    int32_t uv[3] = {-1, -1, -1};
    uint32_t flags = 0;
    int32_t object = -1;
};

struct TriangleMeshView {
    const Geom::Vec3* positions = nullptr;
    const Geom::Vec2* uvs = nullptr;
    int32_t uvCount = 0;
    const TriangleCorners* triangles = nullptr;
    int32_t triangleCount = 0;
    // One entry per object; null (or an empty bitmap) where the object has no alpha map.
    const Image::Bitmap* const* alphaMaps = nullptr;
    int32_t objectCount = 0;
};

// A view of triangle lists held in vectors; alphaMaps has one entry per object (or none).
inline TriangleMeshView MakeTriangleMeshView(const std::vector<Geom::Vec3>& positions,
                                             const std::vector<Geom::Vec2>& uvs,
                                             const std::vector<TriangleCorners>& triangles,
                                             const std::vector<const Image::Bitmap*>& alphaMaps)
{
    TriangleMeshView view;
    view.positions = positions.data();
    view.uvs = uvs.data();
    view.uvCount = int32_t(uvs.size());
    view.triangles = triangles.data();
    view.triangleCount = int32_t(triangles.size());
    view.alphaMaps = alphaMaps.data();
    view.objectCount = int32_t(alphaMaps.size());
    return view;
}

// Gives a tree every triangle of the view as an element, id = triangle index, with the box of
// its corners. The caller binds the elements, sets the slots and builds.
template <class Elements>
void AddAllTriangles(const TriangleMeshView& view, KdTree3<Elements>& tree)
{
    tree.elementIds.resize(size_t(view.triangleCount));
    tree.elementBoxes.resize(size_t(view.triangleCount));
    for (int32_t i = 0; i < view.triangleCount; i++) {
        Geom::Box3 box;
        for (int32_t k = 0; k < 3; k++)
            box.Add(view.positions[view.triangles[i].pos[k]]);
        tree.elementIds[size_t(i)] = i;
        tree.elementBoxes[size_t(i)] = box;
    }
}

// True when flags keep the triangle out of queries of this mode: mode 0 (ambient-occlusion
// rays) ignores TriangleNoAoRays and TriangleNoRays triangles; other modes ignore them unless
// TriangleOwnObject is set as well.
inline bool HiddenFromMode(uint32_t flags, int32_t mode)
{
    if ((flags & (TriangleNoAoRays | TriangleNoRays)) == 0)
        return false;
    return mode == 0 || (flags & TriangleOwnObject) == 0;
}

// The alpha map that applies to the triangle, or null when it is not alpha-tested.
const Image::Bitmap* TriangleAlphaMap(const TriangleMeshView& mesh, int32_t triangle);

// The full test of one ray against triangle `triangle` (its element id): mode flags, the
// ray-triangle test, self-hit rejection and the alpha test. Distance or noHit.
float IntersectTriangle(const TriangleMeshView& mesh, int32_t mode, int32_t triangle, const KdRay& ray);

// The alpha test alone, at the hit's weights b1, b2 of corners 1 and 2: true when the triangle
// stops the ray there (always, when it is not alpha-tested).
bool TriangleAlphaBlocks(const TriangleMeshView& mesh, int32_t triangle, float b1, float b2);

// The ray a query traces and the limit its distances are judged against, in the forms above;
// false for a ray that meets nothing (a zero direction, or a limit that is not a number).
inline bool PrepareRayQuery(const KdRay& ray, float maxDistance, KdRay& walked, float& limit)
{
    const float lengthSquared = Geom::Dot(ray.direction, ray.direction);
    if (lengthSquared <= 1e-37f)
        return false;
    walked = ray;
    limit = maxDistance;
    if (maxDistance < 0) {
        // The same normalisation as the kd-tree's: the triangle test must see the same bits.
        limit = std::sqrt(lengthSquared);
        walked.direction = ray.direction / limit;
    }
    return limit >= 0;
}

// The ray queries answered by testing every triangle in index order: the reference that the
// trees must match. Same forms as KdTree3::RayNearest and RayAny: maxDistance >= 0 limits
// distances in multiples of the direction's length; negative makes the ray the segment origin ..
// origin + direction, normalised, and RayNearest returns a fraction of it. Nearest: the least
// distance <= the limit (a result of noHit or beyond is a miss), the lowest index among equal
// distances; hit (may be null) receives it. Any: some hit strictly below the limit.
float NearestTriangleByLoop(const TriangleMeshView& mesh, int32_t mode, const KdRay& ray, int32_t* hit,
                            float maxDistance);
bool AnyTriangleByLoop(const TriangleMeshView& mesh, int32_t mode, const KdRay& ray, float maxDistance);

bool SplitTriangleElement(const TriangleMeshView& mesh, float position, int32_t axis, const Geom::Box3& box,
                          int32_t triangle, Geom::Box3& left, Geom::Box3& right);

// Element policy of a KdTree3 over triangles whose element ids are triangle indices. After a
// build it keeps each leaf entry's first corner and edges in leaf order, so the leaf loop reads
// one contiguous run instead of chasing indices; IntersectEntry gives the same result as
// IntersectTriangle.
class TriangleElements {
public:
    TriangleElements() = default;
    explicit TriangleElements(const TriangleMeshView& view) : mesh(view) {}
    void SetView(const TriangleMeshView& view)
    {
        mesh = view;
        leafTriangles.clear();
        leafIds.clear();
    }
    const TriangleMeshView& View() const { return mesh; }

    bool SplitElement(float position, int32_t axis, const Geom::Box3& box, int32_t id, Geom::Box3& left,
                      Geom::Box3& right) const
    {
        return SplitTriangleElement(mesh, position, axis, box, id, left, right);
    }
    float IntersectElement(int32_t mode, int32_t id, const KdRay& ray, float /*best*/) const
    {
        return IntersectTriangle(mesh, mode, id, ray);
    }

    void TreeBuilt(const std::vector<int32_t>& leafElements, const std::vector<int32_t>& elementIds);

    // The entry's element index rides in the record the test reads anyway, so the leaf loop
    // needs no separate index load before the mailbox check.
    int32_t EntryElement(int32_t listPosition) const
    {
        return int32_t(leafTriangles[size_t(listPosition)].packed & elementMask);
    }

    float IntersectEntry(int32_t mode, int32_t listPosition, const KdRay& ray, float /*best*/) const
    {
        const LeafTriangle& entry = leafTriangles[size_t(listPosition)];
        const uint32_t hidden = entry.packed & (mode == 0 ? hiddenFromMode0 : hiddenFromOtherModes);
        float b1, b2;
        const float t = RayTriangleEdges(ray, entry.p0, entry.e1, entry.e2, rayTriangleTolerance, b1, b2);
        // Written as !(t > ...) so a NaN distance is a miss, as it would be at every caller.
        // One combined test for the same reason as inside the triangle test.
        const bool missed = (hidden != 0) | !(t > selfHitDistance) | (t == noHit);
        if (missed)
            return noHit;
        if ((entry.packed & alphaTested) && !AlphaBlocks(leafIds[size_t(listPosition)], b1, b2))
            return noHit;
        return t;
    }

#if defined(__SSE2__)
    // The leaf loop for entries first .. first + count - 1: each entry whose mark differs from
    // the stamp is marked and tested, four at a time with the one-entry arithmetic, and the
    // nearest distance below `best` wins, the earliest entry on a tie, as one entry after another
    // would give. Returns the new best; hitElement receives the winner's element index.
    float IntersectRun(int32_t mode, int32_t first, int32_t count, const KdRay& ray, uint32_t* marks, uint32_t stamp,
                       float best, int32_t& hitElement) const;
#endif

private:
    // Rule bits above the element index (element indices stay below 2^29).
    enum : uint32_t {
        hiddenFromMode0 = 1u << 29,
        hiddenFromOtherModes = 1u << 30,
        alphaTested = 1u << 31,
        elementMask = (1u << 29) - 1
    };
    struct LeafTriangle {
        Geom::Vec3 p0, e1, e2;
        uint32_t packed;  // element index | rule bits
    };
    bool AlphaBlocks(int32_t triangle, float b1, float b2) const;

    TriangleMeshView mesh;
    // In leaf order, followed by three blank records so that four records can always be read
    // from any entry.
    std::vector<LeafTriangle> leafTriangles;
    std::vector<int32_t> leafIds;  // element id per entry, for the rare alpha test
};

#if defined(__SSE2__)
inline float TriangleElements::IntersectRun(int32_t mode, int32_t first, int32_t count, const KdRay& ray,
                                            uint32_t* marks, uint32_t stamp, float best, int32_t& hitElement) const
{
    static_assert(sizeof(LeafTriangle) == 40, "four records are read as 16 + 16 + 8 bytes each");
    const uint32_t hiddenBit = mode == 0 ? hiddenFromMode0 : hiddenFromOtherModes;
    const __m128 dx = _mm_set1_ps(ray.direction.x), dy = _mm_set1_ps(ray.direction.y),
                 dz = _mm_set1_ps(ray.direction.z);
    const __m128 ox = _mm_set1_ps(ray.origin.x), oy = _mm_set1_ps(ray.origin.y), oz = _mm_set1_ps(ray.origin.z);
    const __m128 low = _mm_set1_ps(-rayTriangleTolerance), high = _mm_set1_ps(1 + rayTriangleTolerance);
    const __m128 zero = _mm_setzero_ps(), selfHit = _mm_set1_ps(selfHitDistance), miss = _mm_set1_ps(noHit);
    for (int32_t group = first, end = first + count; group < end; group += 4) {
        // Which of the four are this run's entries and not yet tested by this query.
        int32_t elements[4];
        uint32_t packedBits[4];
        alignas(16) uint32_t live[4];
        bool any = false;
        for (int32_t j = 0; j < 4; j++) {
            packedBits[j] = leafTriangles[size_t(group + j)].packed;
            elements[j] = int32_t(packedBits[j] & elementMask);
            const bool test = group + j < end && marks[elements[j]] != stamp && !(packedBits[j] & hiddenBit);
            if (group + j < end)
                marks[elements[j]] = stamp;
            live[j] = test ? ~0u : 0u;
            any |= test;
        }
        if (!any)
            continue;
        const float* r = &leafTriangles[size_t(group)].p0.x;
        __m128 a0 = _mm_loadu_ps(r), a1 = _mm_loadu_ps(r + 10), a2 = _mm_loadu_ps(r + 20), a3 = _mm_loadu_ps(r + 30);
        _MM_TRANSPOSE4_PS(a0, a1, a2, a3);  // p0.x, p0.y, p0.z, e1.x
        __m128 b0 = _mm_loadu_ps(r + 4), b1 = _mm_loadu_ps(r + 14), b2 = _mm_loadu_ps(r + 24), b3 = _mm_loadu_ps(r + 34);
        _MM_TRANSPOSE4_PS(b0, b1, b2, b3);  // e1.y, e1.z, e2.x, e2.y
        const __m128 e2z = _mm_setr_ps(r[8], r[18], r[28], r[38]);
        const __m128 p0x = a0, p0y = a1, p0z = a2, e1x = a3, e1y = b0, e1z = b1, e2x = b2, e2y = b3;
        // The arithmetic of RayTriangleEdges, term by term.
        const __m128 qx = _mm_sub_ps(_mm_mul_ps(dy, e2z), _mm_mul_ps(dz, e2y));
        const __m128 qy = _mm_sub_ps(_mm_mul_ps(dz, e2x), _mm_mul_ps(dx, e2z));
        const __m128 qz = _mm_sub_ps(_mm_mul_ps(dx, e2y), _mm_mul_ps(dy, e2x));
        const __m128 det = _mm_add_ps(_mm_add_ps(_mm_mul_ps(qx, e1x), _mm_mul_ps(qy, e1y)), _mm_mul_ps(qz, e1z));
        const __m128 sx = _mm_sub_ps(ox, p0x), sy = _mm_sub_ps(oy, p0y), sz = _mm_sub_ps(oz, p0z);
        const __m128 rx = _mm_sub_ps(_mm_mul_ps(sy, e1z), _mm_mul_ps(sz, e1y));
        const __m128 ry = _mm_sub_ps(_mm_mul_ps(sz, e1x), _mm_mul_ps(sx, e1z));
        const __m128 rz = _mm_sub_ps(_mm_mul_ps(sx, e1y), _mm_mul_ps(sy, e1x));
        const __m128 w1 = _mm_div_ps(_mm_add_ps(_mm_add_ps(_mm_mul_ps(qx, sx), _mm_mul_ps(qy, sy)), _mm_mul_ps(qz, sz)), det);
        const __m128 w2 = _mm_div_ps(_mm_add_ps(_mm_add_ps(_mm_mul_ps(rx, dx), _mm_mul_ps(ry, dy)), _mm_mul_ps(rz, dz)), det);
        const __m128 t = _mm_div_ps(_mm_add_ps(_mm_add_ps(_mm_mul_ps(rx, e2x), _mm_mul_ps(ry, e2y)), _mm_mul_ps(rz, e2z)), det);
        __m128 out = _mm_or_ps(_mm_cmpeq_ps(det, zero), _mm_cmplt_ps(w1, low));
        out = _mm_or_ps(out, _mm_cmplt_ps(w2, low));
        out = _mm_or_ps(out, _mm_cmpgt_ps(_mm_add_ps(w1, w2), high));
        // !(t > selfHit) keeps a NaN distance a miss.
        out = _mm_or_ps(out, _mm_andnot_ps(_mm_cmpgt_ps(t, selfHit), _mm_castsi128_ps(_mm_set1_epi32(-1))));
        out = _mm_or_ps(out, _mm_cmpeq_ps(t, miss));
        const __m128 hit = _mm_andnot_ps(out, _mm_load_ps(reinterpret_cast<const float*>(live)));
        const int hitLanes = _mm_movemask_ps(hit);
        if (hitLanes == 0)
            continue;
        alignas(16) float distance[4], weight1[4], weight2[4];
        _mm_store_ps(distance, t);
        _mm_store_ps(weight1, w1);
        _mm_store_ps(weight2, w2);
        for (int32_t j = 0; j < 4; j++) {
            if (!(hitLanes & (1 << j)))
                continue;
            const float d = distance[j];
            if ((packedBits[j] & alphaTested) && !AlphaBlocks(leafIds[size_t(group + j)], weight1[j], weight2[j]))
                continue;
            if (d < best) {
                best = d;
                hitElement = elements[j];
            }
        }
    }
    return best;
}
#endif

using TriangleKdTree = KdTree3<TriangleElements>;

}  // namespace Engine
