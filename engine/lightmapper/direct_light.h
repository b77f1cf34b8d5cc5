#pragma once

#include "engine/lightmapper/build_context.h"
#include "engine/lightmapper/group.h"
#include "engine/lightmapper/lightmapper_settings.h"
#include "engine/lightmapper/mesh.h"

namespace Engine {

// The two direct-light passes of the lighting mode. Each light reaches a texel's sample points
// when it is in range, in front of the surface and not blocked (a directional light only
// through a surface flagged TriangleCoarse, the opening it shines through); the texel gets the
// slot-weighted mean of its points. The first pass (`firstPass`) adds the irradiance colour to
// basis 0 and the light's direction in the tangent frame to basis 2; the second adds the colour
// to basis 1 and then smooths every chart when SmoothDirectLight is set. Only the bases the
// build keeps receive anything. Charts made at an eighth of the resolution get no direct light.
// Every triangle that receives light is marked TriangleLit.
void RunDirectLight(LmMesh& mesh, const LightmapperSettings& settings, LmBuildContext& context, LmCharts& charts,
                    bool firstPass);

}  // namespace Engine
