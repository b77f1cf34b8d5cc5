#pragma once

#include <cstdint>

#include "engine/lightmapper/build_context.h"
#include "engine/lightmapper/mesh.h"

namespace Engine {

// The tree stage: copies what the triangle tests read out of the mesh (corners, flags, objects'
// alpha maps) and builds the trees over all triangles, with a mailbox per thread slot. The
// kd-tree logs "tree stats: ..." itself.
void BuildTriangleTrees(const LmMesh& mesh, int32_t slotCount, TriangleTrees& trees);

}  // namespace Engine
