#pragma once

#include <cstdint>

#include "engine/lightmapper/mesh.h"

namespace Engine {

// Adds the triangle to the edge (modelId, a, b), creating the edge when it is new; returns the
// edge's index. An edge lists only the first two triangles that register it.
int32_t RegisterEdge(LmMesh& mesh, int32_t modelId, int32_t a, int32_t b, int32_t triangleIndex);

// The other triangle on the edge (modelId, a, b), -1 when there is none or the 0x20 rule
// (TriangleOwnObject) keeps the two apart.
int32_t FindNeighbour(const LmMesh& mesh, int32_t modelId, int32_t a, int32_t b, int32_t triangleIndex);
// The same for an edge whose index is already known.
int32_t NeighbourAcross(const LmMesh& mesh, int32_t edgeIndex, int32_t triangleIndex);

// The connectivity stage: every triangle's neighbour links (only to triangles of the same
// projection key) and corner tangents, recomputed from the current keys and normals.
void BuildConnectivity(LmMesh& mesh);

}  // namespace Engine
