#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ao_fixture.h"
#include "engine/lightmapper/lightmapper.h"
#include "engine/lightmapper/texel_runs.h"
#include "engine/lightmapper/texels.h"
#include "lightmapper_fixture.h"

namespace LightingTest {

using Geom::Vec3;

// The lighting mode (distance 0) with one sample point per texel, half-unit texels and small
// pages; no final gather unless a sample count is given.
inline Engine::LightmapperSettings Settings(int32_t samples = 0, float texelSize = 0.5f)
{
    Engine::LightmapperSettings s = LightmapperTest::AoSettings(texelSize);
    s.aoDistance = 0;
    s.sampleCount = samples;
    s.atlasSize = 256;
    return s;
}

struct LitTexel {
    int32_t group, x, y;
    int32_t triangle;  // slot 0
    Vec3 position;     // the surface point of slot 0
    Vec3 basis[Engine::maxBases];  // as the build left them; zero where a basis was not kept
};

struct LitBake {
    bool built = false;
    std::vector<LitTexel> texels;  // covered texels only, group by group in row order
    Engine::LmCharts charts;
};

// Builds through the public operation and snapshots every covered texel of the kept charts.
inline LitBake Bake(Engine::Lightmapper& lm)
{
    LitBake bake;
    bake.built = lm.Build(false, false, &bake.charts);
    for (int32_t g = 0; g < int32_t(bake.charts.groups.size()); g++) {
        const Engine::LmGroup& group = bake.charts.groups[size_t(g)];
        Engine::TexelRunCursor cursor(group, 0);
        for (int32_t y = 0; y < group.gridHeight; y++) {
            for (int32_t x = 0; x < group.gridWidth; x++) {
                const int32_t triangle = cursor.NextTriangle();
                if (triangle < 0)
                    continue;
                LitTexel t{g, x, y, triangle, {0, 0, 0}, {}};
                Engine::TexelSample s;
                Engine::EvaluateTexelSample(lm.Mesh(), lm.Settings().epsilon, triangle, group,
                                            Engine::ChartPoint(group, float(x), float(y)), s);
                t.position = s.position;
                const size_t texel = size_t(y) * size_t(group.gridWidth) + size_t(x);
                for (int32_t b = 0; b < Engine::maxBases; b++)
                    t.basis[b] = group.basis[b].size() > texel ? group.basis[b][texel] : Vec3{0, 0, 0};
                bake.texels.push_back(t);
            }
        }
    }
    return bake;
}

// The object name of a texel's triangle.
inline const std::string& ObjectOf(const Engine::Lightmapper& lm, const LitTexel& t)
{
    const Engine::LmMesh& mesh = lm.Mesh();
    return mesh.objects[size_t(mesh.triangles[size_t(t.triangle)].object)].name;
}

}  // namespace LightingTest
