#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "engine/spatial/triangle_ops.h"
#include "geom/vec.h"
#include "image/bitmap/bitmap.h"

namespace MeshTest {

using Geom::Vec2;
using Geom::Vec3;

// A mesh as the tree stage hands it over: positions, uvs, per-triangle corners and flags, and
// one optional alpha map per object.
struct TestMesh {
    std::vector<Vec3> positions;
    std::vector<Vec2> uvs;
    std::vector<Engine::TriangleCorners> triangles;
    std::vector<std::unique_ptr<Image::Bitmap>> maps;
    std::vector<const Image::Bitmap*> mapPointers;

    int32_t Add(Vec3 a, Vec3 b, Vec3 c, uint32_t flags = 0, Vec2 ta = {}, Vec2 tb = {}, Vec2 tc = {},
                int32_t object = -1)
    {
        Engine::TriangleCorners t;
        const Vec3 corners[3] = {a, b, c};
        const Vec2 coords[3] = {ta, tb, tc};
        for (int k = 0; k < 3; k++) {
            t.pos[k] = int32_t(positions.size());
            positions.push_back(corners[k]);
            t.uv[k] = int32_t(uvs.size());
            uvs.push_back(coords[k]);
        }
        t.flags = flags;
        t.object = object;
        triangles.push_back(t);
        return int32_t(triangles.size()) - 1;
    }

    int32_t AddObject(Image::Bitmap map)
    {
        maps.push_back(std::make_unique<Image::Bitmap>(std::move(map)));
        mapPointers.push_back(maps.back().get());
        return int32_t(maps.size()) - 1;
    }

    Engine::TriangleMeshView View() const { return Engine::MakeTriangleMeshView(positions, uvs, triangles, mapPointers); }
};

}  // namespace MeshTest
