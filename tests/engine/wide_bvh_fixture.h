#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "engine/spatial/triangle_ops.h"
#include "engine/spatial/wide_bvh.h"
#include "tests/engine/triangle_mesh_fixture.h"

namespace BvhTest {

using Engine::KdRay;
using Geom::Vec2;
using Geom::Vec3;
using MeshTest::TestMesh;

// Random triangles of two sizes over a cube, a third of them packed into one small cluster,
// where boxes overlap heavily and the build has to cut dense groups.
inline void AddRandomTriangles(TestMesh& mesh, uint32_t seed, int count)
{
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    for (int i = 0; i < count; i++) {
        const bool clustered = i % 3 == 0;
        const float size = clustered ? 0.05f : 0.6f;
        const Vec3 center = clustered ? Vec3{0.5f + 0.1f * unit(random), 0.5f + 0.1f * unit(random), 0.5f}
                                      : Vec3{unit(random) * 4 - 2, unit(random) * 4 - 2, unit(random) * 4 - 2};
        Vec3 c[3];
        for (Vec3& corner : c)
            corner = center + Vec3{unit(random) - 0.5f, unit(random) - 0.5f, unit(random) - 0.5f} * size;
        mesh.Add(c[0], c[1], c[2]);
    }
}

// Axis-aligned grids of right triangles that share every edge and vertex with their
// neighbours: a floor (z = 0), a wall (x = 0) and a ceiling block of copies stacked at equal
// height, so nearest hits tie. Every box of these triangles is flat on one axis.
inline void AddGrids(TestMesh& mesh, int cells)
{
    for (int i = 0; i < cells; i++) {
        for (int j = 0; j < cells; j++) {
            const float x = float(i), y = float(j);
            mesh.Add({x, y, 0}, {x + 1, y, 0}, {x, y + 1, 0});
            mesh.Add({x + 1, y, 0}, {x + 1, y + 1, 0}, {x, y + 1, 0});
            mesh.Add({0, x, y}, {0, x + 1, y}, {0, x, y + 1});
            mesh.Add({0, x + 1, y}, {0, x + 1, y + 1}, {0, x, y + 1});
        }
    }
    for (int copy = 0; copy < 3; copy++)
        mesh.Add({1, 1, 3}, {3, 1, 3}, {1, 3, 3});
}

// Flag words that matter to the queries, on every seventh triangle, and an alpha-tested object
// whose map lets rays through on some texels; texture coordinates run outside 0..1 so the map
// wraps.
inline void AddFlagsAndAlpha(TestMesh& mesh)
{
    Image::Bitmap map(3, 2);
    for (int32_t y = 0; y < 2; y++) {
        for (int32_t x = 0; x < 3; x++)
            map.At(x, y) = ((x + y) % 2) ? 0x7F000000u : 0x80000000u;
    }
    const int32_t object = mesh.AddObject(map);
    const uint32_t flagSet[] = {0x01, 0x10, 0x30, 0x21, 0x02, 0x22, 0x11, 0x31};
    for (size_t i = 0; i < mesh.triangles.size(); i += 7) {
        Engine::TriangleCorners& t = mesh.triangles[i];
        t.flags = flagSet[(i / 7) % 8];
        t.object = object;
        for (int k = 0; k < 3; k++)
            mesh.uvs[size_t(t.uv[k])] = {float(k) * 1.7f - 0.4f, float(i % 5) * 0.3f + float(k == 2)};
    }
}

inline std::vector<KdRay> RandomRays(uint32_t seed, int count, float spread)
{
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    std::vector<KdRay> rays;
    for (int i = 0; i < count; i++) {
        KdRay ray{{unit(random) * spread, unit(random) * spread, unit(random) * spread},
                  {unit(random), unit(random), unit(random)}};
        // Some run along an axis, some lie in an axis plane.
        if (i % 11 == 0)
            ray.direction.y = ray.direction.z = 0;
        if (i % 13 == 0)
            ray.direction.x = 0;
        rays.push_back(ray);
    }
    return rays;
}

// Rays straight down onto the floor grid and straight across onto the wall grid, aimed at
// shared vertices and edge midpoints, nudged by up to twice the barycentric tolerance either
// way: some land in the band where two or more triangles report a hit, some just beside it.
inline std::vector<KdRay> GrazingRays(int cells)
{
    std::vector<KdRay> rays;
    const float nudges[] = {0.0f, 0.5e-4f, -0.5e-4f, 0.99e-4f, -0.99e-4f, 1.01e-4f, -1.01e-4f, 2e-4f, -2e-4f};
    for (int i = 1; i < cells; i++) {
        for (int j = 1; j < cells; j++) {
            for (float nx : nudges) {
                for (float ny : {0.0f, 0.5f}) {
                    const float x = float(i) + nx, y = float(j) + ny;
                    rays.push_back({{x, y, 2}, {0, 0, -1}});
                    rays.push_back({{x, y, -2}, {0, 0, 1}});
                    rays.push_back({{2, x, y}, {-1, 0, 0}});
                    // Slanted, through the same point.
                    rays.push_back({{x + 0.5f, y + 0.25f, 1}, {-0.5f, -0.25f, -1}});
                }
            }
        }
    }
    return rays;
}

// Rays starting exactly on the faces of the grids' flat boxes and running inside them (a zero
// direction component) or leaving them.
inline std::vector<KdRay> FaceRays(int cells)
{
    std::vector<KdRay> rays;
    const float size = float(cells);
    for (float t : {0.0f, 0.25f, 1.0f, 2.5f}) {
        rays.push_back({{t, -1, 0}, {0, 1, 0}});
        rays.push_back({{-1, t, 0}, {1, 0, 0}});
        rays.push_back({{t, t, 0}, {1, 1, 0}});
        rays.push_back({{0, t, -1}, {0, 0, 1}});
        rays.push_back({{0, t, t}, {0, -1, 0}});
        rays.push_back({{size, t, 0}, {-1, 0, 0}});
        rays.push_back({{t, 0.5f, 0}, {0, 0, 1}});
        rays.push_back({{t, 0.5f, 0}, {0, 0, -1}});
        rays.push_back({{0, t, 0.5f}, {1, 0, 0}});
        rays.push_back({{-1, t, 3}, {1, 0, 0}});
    }
    return rays;
}

}  // namespace BvhTest
