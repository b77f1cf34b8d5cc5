#pragma once

#include <cstdint>

#include "geom/box.h"
#include "geom/vec.h"

namespace Engine {

class Lightmapper;

// Grows charts across neighbour links, moves isolated triangles into the chart around them,
// lays out every chart's texel grid, sorts the charts largest first and marks border edges.
void BuildGroups(Lightmapper& lightmapper);
// Its three steps, in order (apart for measuring them): seed, merge, move isolated triangles
// and drop empty groups; lay out and pack every group in parallel; sort and mark borders.
void GroupTriangles(Lightmapper& lightmapper);
void LayoutGroups(Lightmapper& lightmapper);
void SortGroupsAndMarkBorders(Lightmapper& lightmapper);

// Whether triangle t may join group g: same projection key and texel size, the chart stays
// within 2048 texels a side, and t's projection overlaps none of g's triangles above or below it.
bool CanJoin(Lightmapper& lightmapper, int32_t triangle, int32_t group);

// Moves the smaller group's triangles into the larger one when every one of them can join it.
bool MergeGroups(Lightmapper& lightmapper, int32_t a, int32_t b);

// World units per texel of a triangle: the texel size times its object's multiplier.
float EffectiveTexelSize(const Lightmapper& lightmapper, uint32_t flags);

// Bounding box of the triangle's projected corners in texel units (empty with -l).
Geom::Box2 TriangleTexelBox(const Lightmapper& lightmapper, int32_t triangle);

// A triangle's projected corners and its edge lines, positive outside and negative inside.
struct EdgeLines {
    Geom::Vec2 corner[3];
    Geom::Vec3 line[3];  // (a, b, c): a x + b y + c
};
EdgeLines EdgeLines2D(const Lightmapper& lightmapper, int32_t triangle, int32_t axis);

// True when the projections overlap by more than 0.01 world units.
bool ProjectionsOverlap(const EdgeLines& a, const EdgeLines& b);

}  // namespace Engine
