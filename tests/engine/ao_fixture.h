#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "chart_fixture.h"
#include "engine/lightmapper/ambient_occlusion.h"
#include "engine/lightmapper/lightmapper.h"
#include "engine/lightmapper/texel_runs.h"
#include "engine/lightmapper/texels.h"

namespace AoTest {

using Geom::Vec3;

// Two triangles spanning corner .. corner + u + v, wound so that their face normal is u x v;
// every corner carries `normal` (zero: let the pass fall back on the face normal).
inline void AddQuad(Engine::Lightmapper& lm, Vec3 corner, Vec3 u, Vec3 v, Vec3 normal, uint32_t flags = 0,
                    const std::string& name = std::string())
{
    const Vec3 quads[2][3] = {{corner, corner + v, corner + u}, {corner + u, corner + v, corner + u + v}};
    for (const auto& corners : quads) {
        Engine::InputTriangle t;
        for (int k = 0; k < 3; k++) {
            t.positions[k] = corners[k];
            t.normals[k] = normal;
        }
        t.flags = flags;
        t.modelId = 0;
        t.faceId = lm.Mesh().TriangleCount();  // as the run driver numbers them: one group each to start
        t.name = name;
        lm.AddTriangle(t);
    }
}

// Settings that show the pass's raw values: one basis, one sample point per texel, no blur and
// no power (-k 1).
inline Engine::LightmapperSettings RawSettings(int32_t samples, float distance, float texelSize = 1.0f)
{
    Engine::LightmapperSettings s = LightmapperTest::AoSettings(texelSize);
    s.sampleCount = samples;
    s.aoDistance = distance;
    s.blurKernel = 1;
    s.atlasSize = 256;
    return s;
}

struct Texel {
    int32_t group, x, y;
    int32_t triangle;   // slot 0, -1 for an uncovered texel
    Vec3 position;      // surface point of a covered texel
    Vec3 value;         // basis 0 after the pass and its post-processing
};

struct Baked {
    bool built = false;
    std::vector<Texel> texels;
    uint64_t rays = 0;  // ray queries made during the pass
    std::vector<Engine::GroupTask> tasks;
    std::vector<int32_t> groupStart;  // index in texels of each group's texel (0, 0)
};

// Runs the stages of a build up to and including the ambient-occlusion pass on a pool of
// `threads`, and snapshots every group's basis 0 after the pass and its post-processing. The
// ray queries of the pass are counted by the tracer's per-slot counters. `tracer` picks the
// structure that answers the rays, whatever KETRA_TRACER says.
inline Baked Bake(Engine::Lightmapper& lm, int32_t threads, Engine::TracerKind tracer = Engine::TracerKind::bvh)
{
    Baked baked;
    ChartTest::Staged staged(lm, threads);
    Engine::StagedBuild& build = staged.build;
    staged.BuildTrees();
    Engine::TriangleTrees& trees = build.context.trees;
    if (trees.tracer.Kind() != tracer)
        trees.tracer.Build(trees.elements.View(), trees.kdTree, tracer);
    build.Groups();
    build.Tasks();
    build.CornerTexelCoords();
    const uint64_t before = build.context.trees.tracer.QueryCount();
    build.AmbientOcclusion();
    baked.rays = build.context.trees.tracer.QueryCount() - before;
    const Engine::LmCharts& charts = build.charts;
    baked.built = !lm.IsCancelled();
    baked.tasks = charts.tasks;
    const float epsilon = lm.Settings().epsilon;
    for (int32_t g = 0; g < int32_t(charts.groups.size()); g++) {
        const Engine::LmGroup& group = charts.groups[size_t(g)];
        baked.groupStart.push_back(int32_t(baked.texels.size()));
        Engine::TexelRunCursor cursor(group, 0);
        for (int32_t y = 0; y < group.gridHeight; y++) {
            for (int32_t x = 0; x < group.gridWidth; x++) {
                Texel t{g, x, y, cursor.NextTriangle(), {0, 0, 0}, group.basis[0][size_t(y * group.gridWidth + x)]};
                if (t.triangle >= 0) {
                    Engine::TexelSample s;
                    const Geom::Vec2 p = Engine::ChartPoint(group, float(x), float(y));
                    Engine::EvaluateTexelSample(staged.mesh, epsilon, t.triangle, group, p, s);
                    t.position = s.position;
                }
                baked.texels.push_back(t);
            }
        }
    }
    return baked;
}

}  // namespace AoTest
