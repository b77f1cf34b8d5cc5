#pragma once

#include <cstdint>
#include <vector>

#include "engine/lightmapper/group.h"
#include "engine/lightmapper/lightmapper_settings.h"

namespace Engine {

// What a bake will still allocate once its charts' grids are planned and before any of their
// texels exist: every chart's per-texel buffers, the scratch of the charts being post-processed
// at one time, and the atlas pages the charts are drawn into. An estimate by the bytes per texel
// the stages really take, so that a bake that cannot fit is refused before it starts instead of
// failing hours in. `threadCount` is how many charts are worked on at once.
uint64_t PlannedBakeBytes(const std::vector<LmGroup>& groups, const LightmapperSettings& settings,
                          int32_t threadCount);

}  // namespace Engine
