#pragma once

#include <cstdint>
#include <vector>

#include "core/parallel_for.h"
#include "engine/spatial/wide_bvh.h"

namespace Engine {

// What a build produces; WideBvh takes it over.
struct WideBvhParts {
    std::vector<WideBvh::Node> nodes;
    std::vector<WideBvh::LeafChunk> leaves;
    std::vector<int32_t> looseTriangles;
    uint32_t root = WideBvh::noRoot;
    float sceneMagnitude = 0;
    int32_t leafCount = 0;
    int32_t triangleCount = 0;
    int32_t depth = 0;
};

// Binned surface-area splits over the triangles' widened boxes, eight children a node (each node
// takes the largest of its pending children apart until it has eight), leaves of up to
// WideBvh::maxLeafTriangles triangles. With a pool of more than one thread, the subtrees below
// the root are built on its threads and joined in a fixed order, so the tree is the same.
WideBvhParts BuildWideBvh(const TriangleMeshView& mesh, Core::ParallelFor* pool);

// The box a triangle's hits can lie in: its corners' box grown on every axis by the barycentric
// band of the triangle test (with room to spare for the rounding of the growth itself).
void WidenedTriangleBox(Geom::Vec3 p0, Geom::Vec3 p1, Geom::Vec3 p2, float lo[3], float hi[3]);

}  // namespace Engine
