#pragma once

#include <cstdint>

namespace Engine {

class Lightmapper;

// Fixes one group's texel grid: the frame (axis-aligned or along the principal direction of its
// projected corners, whichever box is smaller), the grid size and texel-to-chart matrix, the
// texel size coarsened by 10 % steps until the grid fits a page; then packs its texels.
// A ParallelFor body: writes only its own group.
void LayoutGroup(Lightmapper& lightmapper, int32_t groupIndex, int32_t threadIndex);

}  // namespace Engine
