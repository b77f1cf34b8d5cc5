#pragma once

#include <cstdint>

#include "core/parallel_for.h"
#include "engine/lightmapper/build_context.h"
#include "engine/lightmapper/mesh.h"

namespace Engine {

// The tree stage: copies what the triangle tests read out of the mesh (corners, flags, objects'
// alpha maps) and builds the trees over all triangles, the kd-tree with a mailbox per thread
// slot and the ray tracer's BVH beside it on the pool. The kd-tree logs "tree stats: ..."
// itself; the BVH's size and build time follow in a line of their own.
void BuildTriangleTrees(const LmMesh& mesh, int32_t slotCount, Core::ParallelFor& pool, TriangleTrees& trees);

}  // namespace Engine
