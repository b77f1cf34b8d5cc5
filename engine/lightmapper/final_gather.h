#pragma once

#include <cstdint>
#include <vector>

#include "engine/lightmapper/build_context.h"
#include "engine/lightmapper/group.h"
#include "engine/lightmapper/lightmapper_settings.h"
#include "engine/lightmapper/mesh.h"
#include "geom/vec.h"

namespace Engine {

// The bounce pass of the lighting mode. The light buffers start as what each texel emits plus
// the direct light of basis 0; every bounce casts the rotated Hammersley set from every covered
// texel, gathers the light buffer of the lit surfaces the rays meet (times their object's
// reflectance), adds what it gathered to the bases and makes it the light of the next bounce.
// The sample count shrinks by 4 per bounce and the pass stops early when it reaches 0; what is
// left then scales the last step, which brings the gathered colour into basis 1 along the
// dominant incoming direction. Corner texel coordinates must be current (ComputeCornerTexelCoords).
void RunFinalGather(LmMesh& mesh, const LightmapperSettings& settings, LmBuildContext& context, LmCharts& charts,
                    int32_t bounces);

// What a gather ray needs of the triangle it meets, in one record per triangle instead of the
// triangle record, its corners, normals and object: a hit costs two cache lines.
struct alignas(64) GatherSurface {
    Geom::Vec3 p0, e1, e2;        // first corner and the edges leaving it, as the ray test reads them
    Geom::Vec3 n0, n1, n2;        // corner normals
    Geom::Vec2 uv0, uv1, uv2;     // corner texel coordinates in the chart's grid
    Geom::Vec3 faceNormal;
    Geom::Vec3 reflectance;       // of the triangle's object
    int32_t group;
    uint32_t flags;
};

std::vector<GatherSurface> MakeGatherSurfaces(const LmMesh& mesh);

// One bounce's rays: for every covered texel, `sampleCount` rays whose gathered light goes into
// the bounce buffers 0 (cosine-weighted colour), 2 (weighted direction in the tangent frame)
// and 3 (plain colour), each divided by the sample count. Reads the lit bit from `surfaces`.
void GatherBounce(const LmMesh& mesh, const std::vector<GatherSurface>& surfaces, const LightmapperSettings& settings,
                  LmBuildContext& context, LmCharts& charts, int32_t sampleCount);

// After a bounce's rays: blur the group's bounce buffers (unless blurring is off) and add them
// to its bases.
void MergeBounce(const LightmapperSettings& settings, LmGroup& group);

// Adds the gathered colour of basis 3 to basis 1, scaled by the cosine between the texel's
// normal and the dominant direction of basis 2, once per sample left (`sampleCount`), each
// time divided by that count: nothing when no sample is left.
void ApplyDominantDirection(const LmMesh& mesh, const LightmapperSettings& settings, LmGroup& group,
                            int32_t sampleCount);

}  // namespace Engine
