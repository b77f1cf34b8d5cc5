#pragma once

#include <cstdint>
#include <vector>

#include "core/hash_map.h"
#include "engine/lightmapper/records.h"
#include "geom/vec.h"

namespace Engine {

// The lightmapper's mesh: the welded lists that intake fills and the triangles that index them.
// The stages after intake change only per-triangle fields (neighbours, groups, flags, pages,
// lightmap coordinates, tangents); the lists themselves stay as intake left them.
struct LmMesh {
    std::vector<LmTriangle> triangles;  // in AddTriangle order
    // Equal bit patterns share one entry, so 0.0 and -0.0 differ.
    std::vector<Geom::Vec3> positions;
    std::vector<Geom::Vec3> normals;  // vertex normals and face normals alike
    std::vector<Geom::Vec2> uvs;
    std::vector<LmObject> objects;
    std::vector<LmEdge> edges;
    std::vector<LmPlane> planes;
    std::vector<LightRecord> lights;  // only the lighting mode reads them
    // Index into edges by (lower position, upper position, model id).
    Core::HashMap<LmEdgeKey, int32_t> edgeIndex;

    Geom::Vec3 Corner(const LmTriangle& t, int32_t k) const { return positions[size_t(t.pos[k])]; }
    int32_t TriangleCount() const { return int32_t(triangles.size()); }
};

}  // namespace Engine
