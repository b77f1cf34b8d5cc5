#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "lighting_fixture.h"

using AoTest::AddQuad;
using Engine::LightRecord;
using Engine::Lightmapper;
using LightingTest::LitBake;

namespace {

// A closed room with every kind of light, an opening for the sun, an emissive panel, a two-sided
// screen and supersampled texels: enough tasks and charts that two threads interleave in every
// pass, and triangles that several tasks mark lit at once.
LitBake BakeRoom(int32_t threads)
{
    Engine::LightmapperSettings settings = LightingTest::Settings(12, 0.25f);
    settings.superSampling = true;
    settings.basisCount = 4;
    settings.atlasSize = 512;
    Lightmapper lm(settings);
    const float s = 6;
    AddQuad(lm, {0, 0, 0}, {s, 0, 0}, {0, s, 0}, {0, 0, 1}, 0, "floor");
    AddQuad(lm, {0, 0, s}, {0, s, 0}, {s, 0, 0}, {0, 0, -1}, 0, "ceiling");
    AddQuad(lm, {0, 0, 0}, {0, s, 0}, {0, 0, s}, {1, 0, 0}, 0, "walls");
    AddQuad(lm, {s, 0, 0}, {0, 0, s}, {0, s, 0}, {-1, 0, 0}, 0, "walls");
    AddQuad(lm, {0, 0, 0}, {0, 0, s}, {s, 0, 0}, {0, 1, 0}, 0, "walls");
    AddQuad(lm, {0, s, 0}, {s, 0, 0}, {0, 0, s}, {0, -1, 0}, 0, "walls");
    AddQuad(lm, {1, 1, s - 0.01f}, {0, 2, 0}, {2, 0, 0}, {0, 0, -1}, Engine::TriangleCoarse, "skylight");
    AddQuad(lm, {4, 1, 2}, {1.5f, 0, 0}, {0, 0, 1.5f}, {0, 0, 0}, 0, "panel");
    AddQuad(lm, {1, 4, 0.5f}, {2, 0, 0}, {0, 0.5f, 1.5f}, {0.3f, -0.7f, 0.6f}, Engine::TriangleTwoSided, "screen");
    lm.SetObjectColour("panel", {3, 2, 1});
    lm.SetObjectReflectance("walls", {0.7f, 0.6f, 0.5f});
    lm.AddLight(LightRecord::Point({3, 3, 5}, {4, 4, 3}, 20, {1, 0.2f, 0.1f}));
    lm.AddLight(LightRecord::Spot({5, 5, 5}, {-1, -1, -1}, {2, 3, 4}, 20, 0.95f, 0.8f));
    lm.AddLight(LightRecord::Directional({0.3f, 0.2f, -1}, {1, 1, 0.9f}));
    lm.AddLight(LightRecord::Ambient({0.05f, 0.05f, 0.05f}));
    lm.Pool().Start(threads);
    return LightingTest::Bake(lm);
}

}  // namespace

TEST(LightingThreads, BasesDoNotDependOnThreadCountOrRun)
{
    LitBake one = BakeRoom(1);
    LitBake two = BakeRoom(2);
    LitBake again = BakeRoom(2);
    for (const LitBake* other : {&two, &again}) {
        ASSERT_TRUE(one.built && other->built);
        ASSERT_EQ(one.charts.groups.size(), other->charts.groups.size());
        size_t differing = 0, texels = 0;
        for (size_t g = 0; g < one.charts.groups.size(); g++) {
            for (int32_t b = 0; b < Engine::maxBases; b++) {
                const std::vector<Geom::Vec3>& a = one.charts.groups[g].basis[b];
                const std::vector<Geom::Vec3>& c = other->charts.groups[g].basis[b];
                ASSERT_EQ(a.size(), c.size());
                texels += a.size();
                if (!a.empty())
                    differing += std::memcmp(a.data(), c.data(), a.size() * sizeof(Geom::Vec3)) != 0;
            }
        }
        EXPECT_GT(texels, 1000u);
        EXPECT_EQ(differing, 0u) << (other == &two ? "1 vs 2 threads" : "run to run");
    }
    // Something was lit, in every basis.
    for (int32_t b = 0; b < Engine::maxBases; b++) {
        size_t nonZero = 0;
        for (const LightingTest::LitTexel& t : one.texels)
            nonZero += t.basis[b].x != 0;
        EXPECT_GT(nonZero, one.texels.size() / 2) << "basis " << b;
    }
}
