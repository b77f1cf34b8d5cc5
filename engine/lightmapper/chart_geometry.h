#pragma once

#include <algorithm>
#include <cstdint>

#include "engine/lightmapper/group.h"
#include "engine/spatial/triangle_ops.h"
#include "geom/vec.h"

namespace Engine {

// Geometry of chart points against triangles, shared by every search for the triangle under a
// texel sample. Searches that must agree go through these same functions, so they compute the
// very same bits.

// The chart point back in 3-D with 0 on the projection axis.
inline Geom::Vec3 Lift(Geom::Vec2 q, int32_t axis)
{
    switch (axis) {
    case 0: return {0, q.x, q.y};
    case 1: return {q.x, 0, q.y};
    default: return {q.x, q.y, 0};
    }
}

inline Geom::Vec3 UnitAxis(int32_t axis)
{
    Geom::Vec3 v{0, 0, 0};
    v[axis] = 1;
    return v;
}

// The line through the lifted chart point along the projection axis against the triangle:
// t may be negative; the point must lie inside (no tolerance).
inline bool LineHit(Geom::Vec3 lifted, int32_t axis, const Geom::Vec3 p[3], float& t, float& u, float& v)
{
    KdRay line{lifted, UnitAxis(axis)};
    t = RayTriangle(line, p[0], p[1], p[2], 0.0f, u, v);
    return t != noHit;
}

// Squared chart-plane distance from q to edge i -> i + 1 of the projected corners, and the
// edge parameter of the nearest point.
inline float EdgeDistanceSquared(Geom::Vec2 q, int32_t axis, const Geom::Vec3 p[3], int32_t i, float& s)
{
    Geom::Vec2 a = ProjectToPlane(p[i], axis), b = ProjectToPlane(p[(i + 1) % 3], axis);
    Geom::Vec2 ab = b - a;
    float lengthSquared = Geom::Dot(ab, ab);
    s = lengthSquared > 0 ? std::clamp(Geom::Dot(q - a, ab) / lengthSquared, 0.0f, 1.0f) : 0.0f;
    Geom::Vec2 d = q - (a + ab * s);
    return Geom::Dot(d, d);
}

// The nearest edge of one triangle: squared distance (noHit when none is nearer), edge, parameter.
inline float NearestEdge(Geom::Vec2 q, int32_t axis, const Geom::Vec3 p[3], int32_t& edge, float& s)
{
    float best = noHit;
    edge = -1;
    s = 0;
    for (int32_t i = 0; i < 3; i++) {
        float si;
        float distanceSquared = EdgeDistanceSquared(q, axis, p, i, si);
        if (distanceSquared < best) {
            best = distanceSquared;
            edge = i;
            s = si;
        }
    }
    return best;
}

}  // namespace Engine
