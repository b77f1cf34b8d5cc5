#pragma once

// Small meshes for the chart stages, and a lightmapper prepared up to grouping.

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "engine/lightmapper/grouping.h"
#include "engine/lightmapper/lightmapper.h"
#include "engine/lightmapper/staged_build.h"
#include "engine/lightmapper/texels.h"
#include "lightmapper_fixture.h"

namespace ChartTest {

using Geom::Vec3;

struct MeshTriangle {
    Vec3 a, b, c;
    uint32_t flags = 0;
};

inline Engine::LightmapperSettings Settings(float texelSize = 0.25f) { return LightmapperTest::AoSettings(texelSize); }

// A lightmapper and one build of it, run stage by stage on a pool of `threads` threads.
struct Staged {
    Staged(const Engine::LightmapperSettings& settings, int32_t threads)
        : Staged(std::make_unique<Engine::Lightmapper>(settings), nullptr, threads)
    {
    }
    Staged(Engine::Lightmapper& lightmapper, int32_t threads) : Staged(nullptr, &lightmapper, threads) {}

    // Connectivity and the trees, as Build runs them before grouping.
    void BuildTrees()
    {
        build.Connectivity();
        build.Trees();
    }
    // The first step of grouping only: grown groups, not laid out.
    void GroupTriangles() { build.GroupTriangles(); }
    // All of grouping: grow, lay out, pack texels, sort and mark borders.
    void BuildGroups() { build.Groups(); }

    Engine::ChartJoiner Joiner()
    {
        return {mesh, build.settings, build.context.trees.kdTree, build.context.candidates[0], groups};
    }
    Engine::SampleSearch Search()
    {
        return {mesh, build.context.trees.kdTree, 0, build.context.candidates[0], build.settings.epsilon};
    }
    const Engine::LightmapperSettings& Settings() const { return build.settings; }

    std::unique_ptr<Engine::Lightmapper> owned;
    Engine::Lightmapper& lm;
    Engine::StagedBuild build;
    Engine::LmMesh& mesh;
    std::vector<Engine::LmGroup>& groups;

private:
    // The pool starts before the build sizes its per-thread scratch by it.
    Staged(std::unique_ptr<Engine::Lightmapper> own, Engine::Lightmapper* other, int32_t threads)
        : owned(std::move(own)), lm(owned ? *owned : *other), build(Started(lm, threads)), mesh(build.mesh),
          groups(build.charts.groups)
    {
    }
    static Engine::Lightmapper& Started(Engine::Lightmapper& lightmapper, int32_t threads)
    {
        lightmapper.Pool().Start(threads);
        return lightmapper;
    }
};

// Every triangle gets a face of its own, as the run driver hands them over. Then connectivity
// and the trees, as Build runs them before grouping, on a pool of `threads` threads.
inline std::unique_ptr<Staged> Prepare(const Engine::LightmapperSettings& settings,
                                       const std::vector<MeshTriangle>& mesh, int32_t threads = 1)
{
    auto staged = std::make_unique<Staged>(settings, threads);
    for (size_t i = 0; i < mesh.size(); i++) {
        Engine::InputTriangle input = LightmapperTest::Tri(mesh[i].a, mesh[i].b, mesh[i].c);
        input.flags = mesh[i].flags;
        input.faceId = int32_t(i);
        staged->lm.AddTriangle(input);
    }
    staged->BuildTrees();
    return staged;
}

// Two triangles of the quad a, b, c, d (counter-clockwise seen from the front).
inline void AddQuad(std::vector<MeshTriangle>& mesh, Vec3 a, Vec3 b, Vec3 c, Vec3 d, uint32_t flags = 0)
{
    mesh.push_back({a, b, c, flags});
    mesh.push_back({a, c, d, flags});
}

// An axis-aligned box, all faces wound the same way round.
inline std::vector<MeshTriangle> Box(Vec3 lo, Vec3 hi)
{
    std::vector<MeshTriangle> mesh;
    Vec3 p[8];
    for (int i = 0; i < 8; i++)
        p[i] = {(i & 1) ? hi.x : lo.x, (i & 2) ? hi.y : lo.y, (i & 4) ? hi.z : lo.z};
    AddQuad(mesh, p[0], p[2], p[3], p[1]);  // -z
    AddQuad(mesh, p[4], p[5], p[7], p[6]);  // +z
    AddQuad(mesh, p[0], p[1], p[5], p[4]);  // -y
    AddQuad(mesh, p[2], p[6], p[7], p[3]);  // +y
    AddQuad(mesh, p[0], p[4], p[6], p[2]);  // -x
    AddQuad(mesh, p[1], p[3], p[7], p[5]);  // +x
    return mesh;
}

// A ramp winding round the z axis: `turns` turns of `segments` quads each, rising `rise` per
// turn, so that every turn lies above the one before when seen along z.
inline std::vector<MeshTriangle> Helix(int turns, int segments, float rise)
{
    std::vector<MeshTriangle> mesh;
    auto at = [&](int k, float radius) {
        double angle = 2.0 * 3.14159265358979 * k / segments;
        return Vec3{float(radius * std::cos(angle)), float(radius * std::sin(angle)), float(rise * k / segments)};
    };
    for (int k = 0; k < turns * segments; k++)
        AddQuad(mesh, at(k, 1.0f), at(k, 3.0f), at(k + 1, 3.0f), at(k + 1, 1.0f));
    return mesh;
}

// A square floor of cells x cells quads in the plane z = 0.
inline std::vector<MeshTriangle> Floor(float size, int cells, uint32_t flags = 0)
{
    std::vector<MeshTriangle> mesh;
    const float step = size / float(cells);
    for (int j = 0; j < cells; j++)
        for (int i = 0; i < cells; i++)
            AddQuad(mesh, {i * step, j * step, 0}, {(i + 1) * step, j * step, 0}, {(i + 1) * step, (j + 1) * step, 0},
                    {i * step, (j + 1) * step, 0}, flags);
    return mesh;
}

// Rolling terrain over a grid: a height field, so its groups are pure grouping decisions.
inline std::vector<MeshTriangle> Terrain(int cells, float step, uint32_t seed)
{
    std::vector<float> height(size_t((cells + 1) * (cells + 1)));
    uint32_t state = seed;
    for (float& h : height) {
        state = state * 1664525u + 1013904223u;
        h = float(state >> 8) / float(1 << 24) * step * 1.5f;
    }
    auto at = [&](int i, int j) { return Vec3{i * step, j * step, height[size_t(j * (cells + 1) + i)]}; };
    std::vector<MeshTriangle> mesh;
    for (int j = 0; j < cells; j++)
        for (int i = 0; i < cells; i++)
            AddQuad(mesh, at(i, j), at(i + 1, j), at(i + 1, j + 1), at(i, j + 1));
    return mesh;
}

}  // namespace ChartTest
