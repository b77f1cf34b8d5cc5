#pragma once

#include <cstdint>
#include <vector>

#include "core/parallel_for.h"
#include "engine/lightmapper/build_context.h"
#include "engine/lightmapper/group.h"
#include "engine/lightmapper/lightmapper_settings.h"
#include "engine/lightmapper/mesh.h"

namespace Engine {

// Fixes one group's texel grid: the frame (axis-aligned or along the principal direction of its
// projected corners, whichever box is smaller), the grid size and texel-to-chart matrix, and the
// texel size, the requested one coarsened by 10 % steps until the grid fits a page; recomputes
// the group's bounds and allocates its per-texel buffers. Writes only this group.
void LayoutGroup(const LmMesh& mesh, const LightmapperSettings& settings, LmGroup& group);

// LayoutGroup for every group, in parallel on the pool.
void LayoutGroups(const LmMesh& mesh, const LightmapperSettings& settings, Core::ParallelFor& pool,
                  const BuildProgress& progress, std::vector<LmGroup>& groups);

}  // namespace Engine
