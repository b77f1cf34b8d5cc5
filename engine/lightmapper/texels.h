#pragma once

#include <cstdint>
#include <vector>

#include "engine/lightmapper/box_query_order.h"
#include "engine/lightmapper/build_context.h"
#include "engine/lightmapper/group.h"
#include "engine/lightmapper/lightmapper_settings.h"
#include "engine/lightmapper/mesh.h"
#include "geom/vec.h"

namespace Engine {

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

// What finding the group triangle under a chart point reads: the mesh, the kd-tree with one
// thread's slot and query scratch, and the build's epsilon. `order`, when given, is the tree's
// query order, which settles ties between a group's triangles without a query.
struct SampleSearch {
    const LmMesh& mesh;
    const TriangleKdTree& tree;
    int32_t slot;
    std::vector<int32_t>& candidates;
    float epsilon;
    const BoxQueryOrder* order = nullptr;
};

// The box FindGroupSample queries for a chart point: two texels around it in the chart plane,
// the group's whole depth (and epsilon) along the projection axis.
Geom::Box3 SampleQueryBox(const SampleSearch& search, const LmGroup& group, Geom::Vec2 chartPoint);

// The group triangle under a chart point, or the nearest edge point within two texels.
// Returns the triangle index, -1 when none.
int32_t FindGroupSample(const SampleSearch& search, const LmGroup& group, int32_t groupIndex, Geom::Vec2 chartPoint,
                        TexelSample& sample);

// The texel packing stage: for every laid-out group, in parallel, the group triangle under each
// sample point of each texel, stored run-length coded with the coverage bits; in the lighting
// mode, the colours of emissive objects go into the group's light buffer.
void PackTexels(const LmMesh& mesh, const LightmapperSettings& settings, LmBuildContext& context,
                std::vector<LmGroup>& groups);
// The same for one group (`groupIndex` is its place in the list, which its triangles carry).
void PackGroupTexels(const SampleSearch& search, const LightmapperSettings& settings, int32_t groupIndex,
                     LmGroup& group);

// Writes every corner's texel coordinates in its group's grid into lmUv.
void ComputeCornerTexelCoords(LmMesh& mesh, const LmGroup& group);

// Cuts the rows of every group into tasks of about 4096 texels (whole rows, at least one).
std::vector<GroupTask> BuildGroupTasks(const std::vector<LmGroup>& groups);

// The surface sample of a texel point on triangle `triangleIndex` (corners moved off the
// chart's border edges by three epsilons first). False only when no point could be found.
bool EvaluateTexelSample(const LmMesh& mesh, float epsilon, int32_t triangleIndex, const LmGroup& group,
                         Geom::Vec2 chartPoint, TexelSample& sample);

// Moves the corners of a triangle away from its flagged border edges by `distance`.
void InsetFlaggedEdges(Geom::Vec3 corners[3], Geom::Vec3 faceNormal, uint32_t flags, float distance);

}  // namespace Engine
