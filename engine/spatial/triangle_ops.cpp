#include "engine/spatial/triangle_ops.h"

#include <cassert>
#include <cmath>

namespace Engine {
namespace {

// Per axis the larger minimum and the smaller maximum; empty when any axis ends up inverted.
Geom::Box3 IntersectBoxes(const Geom::Box3& a, const Geom::Box3& b)
{
    Geom::Box3 result;
    for (int axis = 0; axis < 3; axis++) {
        result.min[axis] = std::max(a.min[axis], b.min[axis]);
        result.max[axis] = std::min(a.max[axis], b.max[axis]);
        if (result.min[axis] > result.max[axis])
            return Geom::Box3();
    }
    return result;
}

Geom::Vec2 UvAt(const TriangleMeshView& mesh, int32_t index)
{
    if (index < 0 || index >= mesh.uvCount || !mesh.uvs)
        return {0, 0};
    return mesh.uvs[index];
}

}  // namespace

bool SplitTriangle(float position, int32_t axis, const Geom::Box3& box, Geom::Vec3 p0, Geom::Vec3 p1, Geom::Vec3 p2,
                   Geom::Box3& left, Geom::Box3& right)
{
    const Geom::Vec3 corners[3] = {p0, p1, p2};
    left = Geom::Box3();
    right = Geom::Box3();
    // A corner on the plane belongs to both sides.
    for (const Geom::Vec3& corner : corners) {
        if (corner[axis] <= position)
            left.Add(corner);
        if (corner[axis] >= position)
            right.Add(corner);
    }
    for (int k = 0; k < 3; k++) {
        const Geom::Vec3& start = corners[k];
        const Geom::Vec3& end = corners[(k + 1) % 3];
        const bool crosses = (start[axis] < position && end[axis] > position) ||
                             (start[axis] > position && end[axis] < position);
        if (!crosses)
            continue;
        Geom::Vec3 crossing;
        for (int a = 0; a < 3; a++)
            crossing[a] = start[a] + (end[a] - start[a]) * (position - start[axis]) / (end[axis] - start[axis]);
        // Rounding must not move the crossing off the plane it was cut at.
        crossing[axis] = position;
        left.Add(crossing);
        right.Add(crossing);
    }
    left = IntersectBoxes(left, box);
    right = IntersectBoxes(right, box);
    return true;
}

int32_t WrapTexel(float coordinate, int32_t size)
{
    const float scaled = coordinate * float(size);
    const float shifted = scaled < 0 ? scaled - 0.5f : scaled + 0.5f;
    int32_t texel;
    if (std::fabs(shifted) < 2147483520.0f) {
        texel = int32_t(shifted) % size;
    } else {
        // Beyond the integer range the truncated value is already whole; wrap it exactly.
        const double wrapped = std::fmod(double(shifted), double(size));
        if (!std::isfinite(wrapped))
            return 0;
        texel = int32_t(wrapped);
    }
    return texel < 0 ? texel + size : texel;
}

bool AlphaPassesThrough(const Image::Bitmap& alphaMap, float s, float r)
{
    const int32_t x = WrapTexel(s, alphaMap.Width());
    const int32_t y = WrapTexel(r, alphaMap.Height());
    return (alphaMap.At(x, y) >> 24) < 128;
}

const Image::Bitmap* TriangleAlphaMap(const TriangleMeshView& mesh, int32_t triangle)
{
    const TriangleCorners& corners = mesh.triangles[triangle];
    if ((corners.flags & TriangleAlphaTested) == 0 || !mesh.alphaMaps)
        return nullptr;
    if (corners.object < 0 || corners.object >= mesh.objectCount)
        return nullptr;
    const Image::Bitmap* map = mesh.alphaMaps[corners.object];
    if (!map || map->Width() <= 0 || map->Height() <= 0)
        return nullptr;
    return map;
}

namespace {

// Texture coordinate at the hit, from the weights of corners 1 and 2.
bool AlphaBlocksAt(const TriangleMeshView& mesh, const Image::Bitmap& map, int32_t triangle, float b1, float b2)
{
    const TriangleCorners& corners = mesh.triangles[triangle];
    const Geom::Vec2 uv0 = UvAt(mesh, corners.uv[0]);
    const Geom::Vec2 uv1 = UvAt(mesh, corners.uv[1]);
    const Geom::Vec2 uv2 = UvAt(mesh, corners.uv[2]);
    const float s = uv0.x + (uv1.x - uv0.x) * b1 + (uv2.x - uv0.x) * b2;
    const float r = uv0.y + (uv1.y - uv0.y) * b1 + (uv2.y - uv0.y) * b2;
    return !AlphaPassesThrough(map, s, r);
}

}  // namespace

float IntersectTriangle(const TriangleMeshView& mesh, int32_t mode, int32_t triangle, const KdRay& ray)
{
    const TriangleCorners& corners = mesh.triangles[triangle];
    if (HiddenFromMode(corners.flags, mode))
        return noHit;
    float b1, b2;
    const float t = RayTriangle(ray, mesh.positions[corners.pos[0]], mesh.positions[corners.pos[1]],
                                mesh.positions[corners.pos[2]], rayTriangleTolerance, b1, b2);
    if (!(t > selfHitDistance) || t == noHit)
        return noHit;
    const Image::Bitmap* map = TriangleAlphaMap(mesh, triangle);
    if (map && !AlphaBlocksAt(mesh, *map, triangle, b1, b2))
        return noHit;
    return t;
}

bool TriangleAlphaBlocks(const TriangleMeshView& mesh, int32_t triangle, float b1, float b2)
{
    const Image::Bitmap* map = TriangleAlphaMap(mesh, triangle);
    return !map || AlphaBlocksAt(mesh, *map, triangle, b1, b2);
}

float NearestTriangleByLoop(const TriangleMeshView& mesh, int32_t mode, const KdRay& ray, int32_t* hit,
                            float maxDistance)
{
    KdRay walked;
    float limit;
    if (!PrepareRayQuery(ray, maxDistance, walked, limit))
        return noHit;
    float best = noHit;
    int32_t bestTriangle = -1;
    for (int32_t i = 0; i < mesh.triangleCount; i++) {
        const float t = IntersectTriangle(mesh, mode, i, walked);
        // Strictly less: the earlier triangle keeps a tie.
        if (t < best) {
            best = t;
            bestTriangle = i;
        }
    }
    if (bestTriangle < 0 || best > limit)
        return noHit;
    if (hit)
        *hit = bestTriangle;
    return maxDistance < 0 ? best / limit : best;
}

bool AnyTriangleByLoop(const TriangleMeshView& mesh, int32_t mode, const KdRay& ray, float maxDistance)
{
    KdRay walked;
    float limit;
    if (!PrepareRayQuery(ray, maxDistance, walked, limit))
        return false;
    for (int32_t i = 0; i < mesh.triangleCount; i++) {
        const float t = IntersectTriangle(mesh, mode, i, walked);
        // A miss is never a hit, whatever the limit.
        if (t != noHit && t < limit)
            return true;
    }
    return false;
}

bool SplitTriangleElement(const TriangleMeshView& mesh, float position, int32_t axis, const Geom::Box3& box,
                          int32_t triangle, Geom::Box3& left, Geom::Box3& right)
{
    const TriangleCorners& corners = mesh.triangles[triangle];
    return SplitTriangle(position, axis, box, mesh.positions[corners.pos[0]], mesh.positions[corners.pos[1]],
                         mesh.positions[corners.pos[2]], left, right);
}

void TriangleElements::TreeBuilt(const std::vector<int32_t>& leafElements, const std::vector<int32_t>& elementIds)
{
    assert(elementIds.size() <= size_t(elementMask) + 1);
    leafTriangles.assign(leafElements.size() + 3, LeafTriangle{});
    leafIds.resize(leafElements.size());
    for (size_t k = 0; k < leafElements.size(); k++) {
        const int32_t triangle = elementIds[size_t(leafElements[k])];
        leafIds[k] = triangle;
        const TriangleCorners& corners = mesh.triangles[triangle];
        const Geom::Vec3 p0 = mesh.positions[corners.pos[0]];
        LeafTriangle& entry = leafTriangles[k];
        entry.p0 = p0;
        entry.e1 = mesh.positions[corners.pos[1]] - p0;
        entry.e2 = mesh.positions[corners.pos[2]] - p0;
        entry.packed = uint32_t(leafElements[k]);
        if (HiddenFromMode(corners.flags, 0))
            entry.packed |= hiddenFromMode0;
        if (HiddenFromMode(corners.flags, 1))
            entry.packed |= hiddenFromOtherModes;
        if (TriangleAlphaMap(mesh, triangle))
            entry.packed |= alphaTested;
    }
}

bool TriangleElements::AlphaBlocks(int32_t triangle, float b1, float b2) const
{
    return TriangleAlphaBlocks(mesh, triangle, b1, b2);
}

}  // namespace Engine
