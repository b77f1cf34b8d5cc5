#pragma once

#include <cstdint>

#include "engine/lightmapper/group.h"
#include "geom/vec.h"

namespace Engine {

class Lightmapper;

// A point on the mesh under a texel sample, with its interpolated frame.
struct TexelSample {
    Geom::Vec3 position{0, 0, 0};
    Geom::Vec3 normal{0, 0, 0};   // corner normals interpolated and normalised (zero stays zero)
    Geom::Vec4 tangent{0, 0, 0, 0};  // xyz interpolated and normalised, w interpolated
};

// The chart point of texel coordinates (x, y) of the group's grid: (x, y, 1) times texelToChart.
Geom::Vec2 ChartPoint(const LmGroup& group, float x, float y);

// Sample points of the 5 x 5 pattern in texel units, slot 0 the texel point itself.
extern const Geom::Vec2 subsampleOffsets[25];

// Finds, for every texel of a freshly laid out grid, the group triangle under each sample point
// and stores them run-length coded in the group, with the coverage bits. `threadIndex` picks the
// caller's tree query scratch.
void PackGroupTexels(Lightmapper& lightmapper, int32_t groupIndex, int32_t gridWidth, int32_t gridHeight,
                     int32_t threadIndex);

// The group triangle under a chart point, or the nearest edge point within two texels.
// Returns the triangle index, -1 when none.
int32_t FindGroupSample(Lightmapper& lightmapper, int32_t groupIndex, Geom::Vec2 chartPoint, int32_t threadIndex,
                        TexelSample& sample);

// Writes every corner's texel coordinates in its group's grid into lmUv.
void ComputeCornerTexelCoords(Lightmapper& lightmapper, int32_t groupIndex);

// Cuts the rows of every group into tasks of about 4096 texels (whole rows, at least one).
void BuildGroupTasks(Lightmapper& lightmapper);

// The surface sample of a texel point on triangle `triangleIndex` (corners moved off the
// chart's border edges first). False only when no point could be found.
bool EvaluateTexelSample(const Lightmapper& lightmapper, int32_t triangleIndex, const LmGroup& group,
                         Geom::Vec2 chartPoint, TexelSample& sample);

// Moves the corners of a triangle away from its flagged border edges by `distance`.
void InsetFlaggedEdges(Geom::Vec3 corners[3], Geom::Vec3 faceNormal, uint32_t flags, float distance);

}  // namespace Engine
