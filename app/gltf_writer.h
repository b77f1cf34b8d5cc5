#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "geom/vec.h"

namespace Core {
class OutputStream;
}
namespace Engine {
class Lightmapper;
}

namespace App {

// One triangle corner as the bake leaves it: engine axes, engine winding, texture v already
// flipped, lightmap coordinates addressing texel centres of its page.
struct BakedCorner {
    Geom::Vec3 position;
    Geom::Vec3 normal;
    Geom::Vec2 uv;
    Geom::Vec2 lightmapUv;
};

// Everything a binary glTF file is made from, whether it comes from a finished bake or from a
// mesh file read back: three corners and one page number per triangle, and the PNG file of every
// page exactly as it lies on disk.
struct BakedMesh {
    std::vector<BakedCorner> corners;  // 3 per triangle, in triangle order
    std::vector<int32_t> pages;        // one per triangle
    std::vector<std::vector<uint8_t>> pagePngs;
};

// The triangles of a finished build, in list order; pagePngs is left for the caller.
BakedMesh CollectBakedMesh(const Engine::Lightmapper& lightmapper);

// True when `path` names a binary glTF file: it ends in ".glb" in any case.
bool IsGlbPath(const std::string& path);

// Writes `mesh` as a binary glTF 2.0 file (one JSON chunk, one binary chunk).
//
// The scene is turned back into the OBJ file's axes: glTF is Y-up like the OBJ files we read,
// so the engine's (x, y, z) becomes (x, z, -y) and each triangle gets its corners 0 and 2
// exchanged again, which restores the counter-clockwise front faces glTF expects. Normals are
// made unit length (a zero normal takes its triangle's face normal).
//
// Each page with triangles becomes one primitive: corners equal in every attribute share one
// vertex, TEXCOORD_0 holds the texture coordinates and TEXCOORD_1 the lightmap coordinates,
// and its material is a matte white whose occlusion texture is the page's PNG on texCoord 1.
//
// False with `error` set when a triangle names a page without a PNG, the file would pass the
// format's 4 GiB limit, or the stream refuses bytes.
bool WriteGlb(const BakedMesh& mesh, Core::OutputStream& out, std::string& error);

// WriteGlb into a file created at `path`; a write that does not reach the disk is an error.
bool WriteGlbFile(const BakedMesh& mesh, const std::string& path, std::string& error);

}  // namespace App
