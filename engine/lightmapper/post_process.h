#pragma once

#include <cstdint>

#include "engine/lightmapper/group.h"
#include "engine/lightmapper/lightmapper_settings.h"

namespace Engine {

// Odd blur kernel for a group: 5 for texels 0.25 wide, two more per halving below that.
int32_t AutoKernelSize(const LmGroup& group);

// Separable Gaussian blur of the group's buffers that averages covered texels only (a texel is
// covered when its first sample lies on a triangle) and fills uncovered texels within half a
// kernel above or below covered ones. Works on the bases the build uses when ambient occlusion
// is on or `useBases` is set, else on the bounce buffers.
void BlurGroup(const LightmapperSettings& settings, int32_t kernel, LmGroup& group, bool useBases);

// End of the ambient-occlusion pass for one group: blur (unless switched off) and power.
void PostProcessAoGroup(const LightmapperSettings& settings, LmGroup& group);

// End of the lighting mode for one group: encodes the bases the build keeps for storage. The
// direction basis (2) becomes a unit vector mapped to 0..1; every other basis is halved, scaled
// down to a largest component of 1 where it exceeds that, and raised to the power `gamma`.
void FinalizeGroupBases(const LightmapperSettings& settings, LmGroup& group);

}  // namespace Engine
