#include <gtest/gtest.h>

#include <vector>

#include "engine/lightmapper/seams.h"
#include "seams_fixture.h"

TEST(SeamThreads, BakesWithSeamFixingDoNotDependOnTheThreadCount)
{
    const std::vector<SeamTest::MeshTriangle> scene = SeamTest::PrismScene();
    const SeamTest::Baked one = SeamTest::Bake(SeamTest::BakeSettings(true), scene, 1);
    const SeamTest::Baked two = SeamTest::Bake(SeamTest::BakeSettings(true), scene, 2);
    EXPECT_TRUE(SeamTest::SamePixels(one.Pages(), two.Pages()));
    // Seam fixing did run: without it the pages differ.
    const SeamTest::Baked plain = SeamTest::Bake(SeamTest::BakeSettings(false), scene, 2);
    EXPECT_FALSE(SeamTest::SamePixels(one.Pages(), plain.Pages()));
}

TEST(SeamThreads, TheLightingModeFixesEveryBasisButTheThirdInParallel)
{
    // Each basis's pages painted with noise of its own, so that every basis has seams to close,
    // and fixed by hand, one basis per pool call.
    const SeamTest::Baked baked = SeamTest::Bake(SeamTest::BakeSettings(false), SeamTest::PrismScene());
    Engine::LightmapperSettings settings = baked.lm->Settings();
    settings.aoDistance = 0;
    settings.basisCount = 4;
    settings.flags |= Engine::FixLightmapSeams;
    Engine::Atlas painted[Engine::maxBases];
    for (int32_t b = 0; b < 4; b++) {
        painted[b] = SeamTest::CopyPages(baked.Pages());
        uint32_t state = 12345u + uint32_t(b);
        for (auto& page : painted[b].pages) {
            for (int32_t y = 0; y < page->bitmap.Height(); y++) {
                for (int32_t x = 0; x < page->bitmap.Width(); x++) {
                    state = state * 1664525u + 1013904223u;
                    page->bitmap.At(x, y) = (page->bitmap.At(x, y) & 0xFF000000u) | (state >> 8);
                }
            }
        }
    }
    Engine::Atlas results[2][Engine::maxBases];
    for (int32_t run = 0; run < 2; run++) {
        Engine::Lightmapper lm(settings);
        lm.Pool().Start(run + 1);
        for (int32_t b = 0; b < 4; b++)
            results[run][b] = SeamTest::CopyPages(painted[b]);
        Engine::FixSeams(baked.lm->Mesh(), settings, lm.Pool(), lm.Progress(), baked.charts.groups, results[run]);
    }
    for (int32_t b = 0; b < 4; b++) {
        EXPECT_TRUE(SeamTest::SamePixels(results[0][b], results[1][b])) << "basis " << b;
        EXPECT_EQ(SeamTest::SamePixels(results[0][b], painted[b]), b == 2) << "basis " << b;
    }
}

TEST(SeamThreads, LitBakesAreFixedOnEveryBasisButTheDirectionsAlike)
{
    // A real lighting bake with all four bases: the colour bases get their seams closed, the
    // direction basis stays as traced, and no thread count changes a pixel.
    const std::vector<SeamTest::MeshTriangle> scene = SeamTest::PrismScene();
    const SeamTest::Baked one = SeamTest::Bake(SeamTest::LitSettings(true, 4), scene, 1, SeamTest::Lamp());
    const SeamTest::Baked two = SeamTest::Bake(SeamTest::LitSettings(true, 4), scene, 2, SeamTest::Lamp());
    const SeamTest::Baked plain = SeamTest::Bake(SeamTest::LitSettings(false, 4), scene, 2, SeamTest::Lamp());
    const std::vector<Engine::StitchingPoint> points = SeamTest::Points(plain);
    ASSERT_GT(points.size(), 100u);
    for (int32_t b = 0; b < 4; b++) {
        const Engine::Atlas &fixed = one.lm->Atlases(b), &unfixed = plain.lm->Atlases(b);
        EXPECT_TRUE(SeamTest::SamePixels(fixed, two.lm->Atlases(b))) << "basis " << b;
        if (b == 2) {
            EXPECT_TRUE(SeamTest::SamePixels(fixed, unfixed));
            continue;
        }
        const double before = Engine::SeamMismatch(points, unfixed);
        ASSERT_GT(before, 0) << "basis " << b;
        EXPECT_LT(Engine::SeamMismatch(points, fixed), 0.5 * before) << "basis " << b;
    }
}
