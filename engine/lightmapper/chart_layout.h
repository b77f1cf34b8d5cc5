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
// the group's bounds. Allocates nothing, so a build can weigh what the grids will cost first.
// False when the chart cannot be laid out: its extent or texel size is beyond the float range,
// and its corners would have no finite texel coordinates. Writes only this group.
bool PlanGroupGrid(const LmMesh& mesh, const LightmapperSettings& settings, LmGroup& group);
// Allocates the per-texel buffers of a planned grid.
void AllocateGroupTexels(const LightmapperSettings& settings, LmGroup& group);
// Both; false, with nothing allocated, when the chart cannot be laid out.
bool LayoutGroup(const LmMesh& mesh, const LightmapperSettings& settings, LmGroup& group);

// PlanGroupGrid for every group, in parallel on the pool; the index of the first group that
// cannot be laid out, or -1.
int32_t PlanGroupGrids(const LmMesh& mesh, const LightmapperSettings& settings, Core::ParallelFor& pool,
                       const BuildProgress& progress, std::vector<LmGroup>& groups);
void AllocateGroupTexels(const LightmapperSettings& settings, Core::ParallelFor& pool, std::vector<LmGroup>& groups);
// Plans every group, then allocates them all when each could be laid out; returns what
// PlanGroupGrids does.
int32_t LayoutGroups(const LmMesh& mesh, const LightmapperSettings& settings, Core::ParallelFor& pool,
                     const BuildProgress& progress, std::vector<LmGroup>& groups);

}  // namespace Engine
