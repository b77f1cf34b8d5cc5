#include "engine/lightmapper/atlas_build.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "engine/lightmapper/lightmapper.h"
#include "lightmapper_fixture.h"

namespace {

using Engine::Atlas;
using Engine::LmGroup;

Engine::LightmapperSettings OneBasis() { return LightmapperTest::AoSettings(); }

// Charts made by hand, one triangle each, over a lightmapper's mesh: what the atlas stage gets.
struct HandCharts {
    explicit HandCharts(const Engine::LightmapperSettings& settings = OneBasis()) : lm(settings)
    {
        groups.reserve(64);  // tests hold on to the charts they add
    }

    // A fully covered chart of w x h texels on the z = 0 plane with one texel per world unit,
    // holding one triangle whose corners sit on texel centres (0, 0), (w - 1, 0) and (0, h - 1).
    LmGroup& Add(int32_t w, int32_t h, Geom::Vec3 colour)
    {
        Engine::InputTriangle input;
        input.positions[0] = {0, 0, 0};
        input.positions[1] = {float(w - 1), 0, 0};
        input.positions[2] = {0, float(h - 1), 0};
        int32_t t = lm.AddTriangle(input);
        EXPECT_GE(t, 0);
        LmGroup& group = groups.emplace_back();
        group.projKey = 2;
        group.gridWidth = w;
        group.gridHeight = h;
        group.texelToChart.row[0] = {1, 0, 0};
        group.texelToChart.row[1] = {0, 1, 0};
        group.texelToChart.row[2] = {0, 0, 1};
        group.coverage.assign(size_t(w * h + 63) / 64, ~uint64_t(0));
        group.basis[0].assign(size_t(w * h), colour);
        group.triangles.push_back(t);
        lm.Mesh().triangles[size_t(t)].group = int32_t(groups.size()) - 1;
        return group;
    }

    std::vector<LmGroup*> All()
    {
        std::vector<LmGroup*> list;
        for (LmGroup& g : groups)
            list.push_back(&g);
        return list;
    }

    // One packing of every chart into one basis, as the atlas stage runs it: a final packing
    // also gives the triangles their pages and coordinates.
    bool Pack(int32_t pageWidth, int32_t pageHeight, Atlas& atlas, bool final = true,
              std::vector<Engine::GroupPlacement>* kept = nullptr)
    {
        std::vector<Engine::GroupPlacement> placements;
        if (!Engine::BuildAtlases(1, lm.Progress(), pageWidth, pageHeight, All(), &atlas, final, placements))
            return false;
        if (final)
            Engine::WriteLightmapCoordinates(lm.Mesh(), placements, pageWidth, pageHeight);
        if (kept)
            *kept = placements;
        return true;
    }

    void Optimize() { Engine::OptimizeAtlas(lm.Mesh(), lm.Settings(), lm.Pool(), lm.Progress(), groups, atlases); }

    const Engine::LmTriangle& Triangle(int32_t t) const { return lm.Mesh().triangles[size_t(t)]; }

    Engine::Lightmapper lm;
    std::vector<LmGroup> groups;
    Atlas atlases[Engine::maxBases];
};

TEST(RenderGroupBitmap, DithersCoveredTexelsAndMarksUncoveredOnes)
{
    LmGroup group;
    group.gridWidth = 3;
    group.gridHeight = 2;
    group.coverage.assign(1, 0b111011);  // texel 2 uncovered
    std::vector<Geom::Vec3> colours = {
        {100.7f / 255, 100.7f / 255, 100.7f / 255},  // fraction 0.7 -> row 5 (0, 1, 1)
        {0.2f, 0.2f, 0.2f},                          // 51.000004 -> row 0
        {1, 1, 1},
        {-0.5f, 2.0f, 0.5f},                         // clamped channels
        {254.99f / 255, 254.99f / 255, 254.99f / 255},  // fraction rounds up to 8: last row
        {1.0f / 255, 0, 0},
    };
    Image::Bitmap bitmap;
    Engine::RenderGroupBitmap(group, colours, bitmap, 0);
    ASSERT_EQ(bitmap.Width(), 3);
    ASSERT_EQ(bitmap.Height(), 2);
    EXPECT_EQ(bitmap.At(0, 0), 0xFF646565u);
    EXPECT_EQ(bitmap.At(1, 0), 0xFF333333u);
    EXPECT_EQ(bitmap.At(2, 0), Engine::uncoveredTexelColour);
    EXPECT_EQ(bitmap.At(0, 1) & 0xFFFFFF00u, 0xFF00FF00u);
    EXPECT_EQ(bitmap.At(1, 1), 0xFFFFFFFFu);
    EXPECT_EQ(bitmap.At(2, 1), 0xFF010000u);

    // Bases 2 and 3 round instead of dithering.
    Engine::RenderGroupBitmap(group, colours, bitmap, 2);
    EXPECT_EQ(bitmap.At(0, 0), 0xFF656565u);

    // A transposed group swaps the axes: pixel (x, y) shows texel (y, x).
    group.transposed = true;
    Engine::RenderGroupBitmap(group, colours, bitmap, 0);
    ASSERT_EQ(bitmap.Width(), 2);
    ASSERT_EQ(bitmap.Height(), 3);
    EXPECT_EQ(bitmap.At(0, 2), Engine::uncoveredTexelColour);
    EXPECT_EQ(bitmap.At(1, 2), 0xFF010000u);
}

TEST(BuildAtlases, SmallestGridTakesFourByFourWithBorderAndCoordinatesOnTexelCentres)
{
    HandCharts charts;
    charts.Add(2, 2, {1, 1, 1});
    charts.Add(2, 2, {1, 1, 1});
    Atlas atlas(16, 16, Engine::uncoveredTexelColour);
    ASSERT_TRUE(charts.Pack(16, 16, atlas, true));
    ASSERT_EQ(atlas.PageCount(), 1);
    const Image::Bitmap& page = atlas.Page(0)->bitmap;
    // First chart at (1, 1) inside its 4 x 4 rectangle; the border stays page fill.
    EXPECT_EQ(page.At(0, 0), Engine::uncoveredTexelColour);
    EXPECT_EQ(page.At(1, 1), 0xFFFFFFFFu);
    EXPECT_EQ(page.At(2, 2), 0xFFFFFFFFu);
    EXPECT_EQ(page.At(3, 3), Engine::uncoveredTexelColour);
    // The first cut is vertical, so the second chart lands below the first one's 4 x 4 rectangle.
    const Engine::LmTriangle& second = charts.Triangle(1);
    EXPECT_EQ(second.page, 0);
    EXPECT_FLOAT_EQ(second.lmUv[0].x, (1 + 0.5f) / 16);
    EXPECT_FLOAT_EQ(second.lmUv[0].y, (4 + 1 + 0.5f) / 16);
    EXPECT_FLOAT_EQ(second.lmUv[1].x, (1 + 1 + 0.5f) / 16);
    EXPECT_EQ(page.At(1, 5), 0xFFFFFFFFu);
    EXPECT_EQ(charts.groups[1].page, 0);
}

TEST(BuildAtlases, TallGridIsStoredTransposed)
{
    HandCharts charts;
    LmGroup& tall = charts.Add(3, 10, {1, 1, 1});
    Atlas atlas(16, 16, Engine::uncoveredTexelColour);
    ASSERT_TRUE(charts.Pack(16, 16, atlas, true));
    EXPECT_TRUE(tall.transposed);
    const Engine::LmTriangle& t = charts.Triangle(0);
    // Corner 2 sits on chart texel (0, 9), which the transposed page shows at (1 + 9, 1 + 0).
    EXPECT_FLOAT_EQ(t.lmUv[2].x, (1 + 9 + 0.5f) / 16);
    EXPECT_FLOAT_EQ(t.lmUv[2].y, (1 + 0.5f) / 16);
}

TEST(BuildAtlases, TallGridStaysUprightOnlyWhenTheTransposedShapeFitsNowhere)
{
    // A 12 x 12 rectangle in the corner leaves free leaves of 12 x 4 (below) and 4 x 16 (right).
    HandCharts fits;
    fits.Add(10, 10, {1, 1, 1});
    LmGroup& wide = fits.Add(2, 3, {1, 1, 1});  // transposed 5 x 4 fits below
    Atlas atlas(16, 16, Engine::uncoveredTexelColour);
    ASSERT_TRUE(fits.Pack(16, 16, atlas, true));
    EXPECT_TRUE(wide.transposed);
    EXPECT_EQ(wide.page, 0);

    HandCharts flips;
    flips.Add(10, 10, {1, 1, 1});
    LmGroup& upright = flips.Add(2, 12, {1, 1, 1});  // 14 x 4 fits nowhere, 4 x 14 does
    Atlas atlas2(16, 16, Engine::uncoveredTexelColour);
    ASSERT_TRUE(flips.Pack(16, 16, atlas2, true));
    EXPECT_FALSE(upright.transposed);
    EXPECT_EQ(upright.page, 0);
    EXPECT_FLOAT_EQ(flips.Triangle(1).lmUv[2].y, (1 + 11 + 0.5f) / 16);
    EXPECT_FLOAT_EQ(flips.Triangle(1).lmUv[2].x, (12 + 1 + 0.5f) / 16);
}

TEST(BuildAtlases, GroupWiderThanThePageFailsAndTrialsFailOnASecondPage)
{
    HandCharts charts;
    charts.Add(20, 3, {1, 1, 1});
    Atlas atlas(16, 16, Engine::uncoveredTexelColour);
    EXPECT_FALSE(charts.Pack(16, 16, atlas, true));

    HandCharts trial;
    trial.Add(12, 12, {1, 1, 1});
    trial.Add(12, 12, {1, 1, 1});
    Atlas final(16, 16, Engine::uncoveredTexelColour);
    ASSERT_TRUE(trial.Pack(16, 16, final, true));
    EXPECT_EQ(final.PageCount(), 2);
    Atlas attempt(16, 16, Engine::opaqueFillColour);
    EXPECT_FALSE(trial.Pack(16, 16, attempt, false));
}

TEST(BuildAtlases, PaddedWidthBeyondThePageDropsTheBorder)
{
    HandCharts charts;
    charts.Add(15, 3, {1, 1, 1});
    Atlas atlas(16, 16, Engine::uncoveredTexelColour);
    ASSERT_TRUE(charts.Pack(16, 16, atlas, true));
    const Image::Bitmap& page = atlas.Page(0)->bitmap;
    EXPECT_EQ(page.At(0, 1), 0xFFFFFFFFu);  // no left border
    EXPECT_EQ(page.At(0, 0), Engine::uncoveredTexelColour);  // top border kept
    EXPECT_FLOAT_EQ(charts.Triangle(0).lmUv[0].x, 0.5f / 16);
}

TEST(BuildAtlases, HolesOfAChartAreGivenBackToThePacker)
{
    HandCharts charts;
    LmGroup& ring = charts.Add(20, 20, {1, 1, 1});
    // Only a 2-texel frame is covered: the inside is a hole for later, smaller charts.
    for (int32_t y = 0; y < 20; y++)
        for (int32_t x = 0; x < 20; x++)
            if (x >= 2 && x < 18 && y >= 2 && y < 18)
                ring.coverage[size_t(y * 20 + x) >> 6] &= ~(uint64_t(1) << ((y * 20 + x) & 63));
    LmGroup& small = charts.Add(6, 6, {0.5f, 0.5f, 0.5f});
    Atlas atlas(22, 22, Engine::uncoveredTexelColour);
    ASSERT_TRUE(charts.Pack(22, 22, atlas, true));
    EXPECT_EQ(small.page, 0);
    EXPECT_EQ(atlas.PageCount(), 1);
    // The small chart sits inside the ring's hole, clear of its one-texel growth.
    float u = charts.Triangle(1).lmUv[0].x * 22 - 0.5f, v = charts.Triangle(1).lmUv[0].y * 22 - 0.5f;
    EXPECT_GE(u, 4);
    EXPECT_GE(v, 4);
    EXPECT_LE(u + 6, 18);
    EXPECT_LE(v + 6, 18);
}

TEST(OptimizeAtlas, ShrinksTheLastPageByTheRequestedRules)
{
    const struct {
        uint32_t flags;
        int32_t width, height;
        const char* name;
    } cases[] = {
        {Engine::FinalBlur | Engine::PotLightmaps, 32, 16, "default: multiples of 8, then powers of two"},
        {Engine::FinalBlur, 24, 16, "-N keeps multiples of 8"},
        {Engine::FinalBlur | Engine::PotLightmaps | Engine::ForcePotAtlas, 32, 16, "-2 halves while it fits"},
        {Engine::FinalBlur | Engine::PotLightmaps | Engine::NoAtlasOptimize, 256, 256, "-O keeps the full page"},
    };
    for (const auto& c : cases) {
        Engine::LightmapperSettings settings = OneBasis();
        settings.atlasSize = 256;
        settings.flags = c.flags;
        HandCharts charts(settings);
        charts.Add(18, 10, {1, 1, 1});  // 20 x 12 with its border
        charts.Optimize();
        ASSERT_EQ(charts.atlases[0].PageCount(), 1) << c.name;
        const Image::Bitmap& page = charts.atlases[0].Page(0)->bitmap;
        EXPECT_EQ(page.Width(), c.width) << c.name;
        EXPECT_EQ(page.Height(), c.height) << c.name;
        // Every corner still lands on its texel centre of the final page.
        const Engine::LmTriangle& t = charts.Triangle(0);
        float x = t.lmUv[1].x * float(page.Width()) - 0.5f, y = t.lmUv[1].y * float(page.Height()) - 0.5f;
        EXPECT_NEAR(x, 1 + 17, 1e-3) << c.name;
        EXPECT_NEAR(y, 1, 1e-3) << c.name;
        EXPECT_EQ(page.At(int32_t(x + 0.5f), int32_t(y + 0.5f)) >> 24, 0xFFu) << c.name;
    }
}

TEST(RenderGroupBitmap, OutOfRangeColoursSaturate)
{
    LmGroup group;
    group.gridWidth = 4;
    group.gridHeight = 1;
    group.coverage.assign(1, 0b1111);
    const float huge = 3e38f, nan = std::nanf("");
    std::vector<Geom::Vec3> colours = {{huge, -huge, 0.5f}, {nan, nan, nan}, {1e7f, 2.0f, -3.0f}, {nan, 1, 0}};
    Image::Bitmap bitmap;
    for (int32_t basis : {0, 2}) {
        Engine::RenderGroupBitmap(group, colours, bitmap, basis);
        EXPECT_EQ(bitmap.At(0, 0) & 0xFFFF0000u, 0xFFFF0000u) << "basis " << basis;
        EXPECT_EQ(bitmap.At(1, 0) & 0xFFFEFEFEu, 0xFF000000u) << "basis " << basis;
        EXPECT_EQ(bitmap.At(2, 0), 0xFFFFFF00u) << "basis " << basis;
        EXPECT_EQ(bitmap.At(3, 0) & 0xFFFFFF00u, 0xFF00FF00u) << "basis " << basis;
    }
}

// Charts of assorted shapes, with holes, so that packing turns some and fills holes with others.
void AddAssortedCharts(HandCharts& charts)
{
    const int32_t sizes[][2] = {{30, 20}, {6, 25}, {12, 12}, {3, 9}, {20, 4}, {2, 2}, {9, 3}, {5, 5}};
    int32_t n = 0;
    for (const auto& size : sizes) {
        LmGroup& chart = charts.Add(size[0], size[1], {0.1f * float(n), 0.5f, 1.0f - 0.1f * float(n)});
        // A covered frame of two texels around an empty middle, on the larger charts.
        for (int32_t y = 0; y < size[1]; y++)
            for (int32_t x = 0; x < size[0]; x++)
                if (size[0] > 10 && size[1] > 10 && x >= 2 && y >= 2 && x < size[0] - 2 && y < size[1] - 2)
                    chart.coverage[size_t(y * size[0] + x) >> 6] &= ~(uint64_t(1) << ((y * size[0] + x) & 63));
        for (size_t i = 0; i < chart.basis[0].size(); i++)
            chart.basis[0][i].y = float(i % 7) / 7.0f;
        n++;
    }
}

TEST(BuildAtlases, PackingWithoutPixelsThenPaintingGivesTheSamePages)
{
    HandCharts drawn, packed;
    AddAssortedCharts(drawn);
    AddAssortedCharts(packed);
    Atlas withPixels(36, 36, Engine::uncoveredTexelColour), withoutPixels(36, 36, Engine::uncoveredTexelColour);
    withoutPixels.withPixels = false;
    std::vector<Engine::GroupPlacement> placements;
    ASSERT_TRUE(drawn.Pack(36, 36, withPixels, true));
    ASSERT_TRUE(packed.Pack(36, 36, withoutPixels, true, &placements));
    ASSERT_EQ(placements.size(), packed.groups.size());
    ASSERT_GE(withPixels.PageCount(), 2);
    ASSERT_EQ(withoutPixels.PageCount(), withPixels.PageCount());
    EXPECT_TRUE(withoutPixels.Page(0)->bitmap.IsEmpty());
    // Turning the charts afterwards, as trial packings may, does not change how they are drawn.
    for (LmGroup& group : packed.groups)
        group.transposed = !group.transposed;
    Engine::PaintPages(1, placements, &withoutPixels, 0, withoutPixels.PageCount());
    for (int32_t p = 0; p < withPixels.PageCount(); p++) {
        const Image::Bitmap &a = withPixels.Page(p)->bitmap, &b = withoutPixels.Page(p)->bitmap;
        ASSERT_EQ(a.Width(), b.Width());
        ASSERT_EQ(a.Height(), b.Height());
        for (int32_t y = 0; y < a.Height(); y++)
            for (int32_t x = 0; x < a.Width(); x++)
                ASSERT_EQ(a.At(x, y), b.At(x, y)) << "page " << p << " at " << x << "," << y;
    }
    for (int32_t t = 0; t < drawn.lm.Mesh().TriangleCount(); t++) {
        EXPECT_EQ(drawn.Triangle(t).page, packed.Triangle(t).page);
        for (int k = 0; k < 3; k++)
            EXPECT_EQ(drawn.Triangle(t).lmUv[k], packed.Triangle(t).lmUv[k]);
    }
}

TEST(OptimizeAtlas, OnlyTheLastOfSeveralPagesShrinksAndEveryCornerKeepsItsTexel)
{
    for (uint32_t flags : {uint32_t(Engine::FinalBlur | Engine::PotLightmaps), uint32_t(Engine::FinalBlur)}) {
        Engine::LightmapperSettings settings = OneBasis();
        settings.atlasSize = 40;
        settings.flags = flags;
        HandCharts charts(settings);
        charts.Add(36, 30, {1, 0, 0});  // a page each for the two large charts
        charts.Add(30, 36, {0, 1, 0});
        charts.Add(21, 7, {0, 0, 1});   // the last page: 23 x 9 with the border
        charts.Optimize();
        ASSERT_EQ(charts.atlases[0].PageCount(), 3);
        const bool pot = flags & Engine::PotLightmaps;
        // Both sides: 16 fails, 32 fits, and the search ends there (24 is never tried); the height
        // alone then comes down to 24.
        const int32_t widths[] = {40, 40, 32}, heights[] = {40, 40, pot ? 32 : 24};
        // Chart texel of each corner: (0, 0), (w - 1, 0), (0, h - 1).
        const int32_t corners[3][3][2] = {
            {{0, 0}, {35, 0}, {0, 29}}, {{0, 0}, {0, 29}, {35, 0}}, {{0, 0}, {20, 0}, {0, 6}}};
        const uint32_t colours[] = {0xFFFF0000u, 0xFF00FF00u, 0xFF0000FFu};
        for (int32_t g = 0; g < 3; g++) {
            const Image::Bitmap& page = charts.atlases[0].Page(g)->bitmap;
            EXPECT_EQ(page.Width(), widths[g]) << "page " << g << " flags " << flags;
            EXPECT_EQ(page.Height(), heights[g]) << "page " << g << " flags " << flags;
            const Engine::LmTriangle& t = charts.Triangle(size_t(g));
            EXPECT_EQ(t.page, g);
            for (int k = 0; k < 3; k++) {
                // Every corner sits on a texel centre, one texel in from the chart's rectangle,
                // and that texel holds the chart's colour.
                float x = t.lmUv[k].x * float(page.Width()) - 0.5f, y = t.lmUv[k].y * float(page.Height()) - 0.5f;
                EXPECT_NEAR(x, std::round(x), 1e-3) << "page " << g << " corner " << k;
                EXPECT_NEAR(y, std::round(y), 1e-3) << "page " << g << " corner " << k;
                EXPECT_EQ(page.At(int32_t(std::lround(x)), int32_t(std::lround(y))), colours[g]) << "page " << g;
                EXPECT_NEAR(x - t.lmUv[0].x * float(page.Width()) + 0.5f, float(corners[g][k][0]), 1e-3);
                EXPECT_NEAR(y - t.lmUv[0].y * float(page.Height()) + 0.5f, float(corners[g][k][1]), 1e-3);
            }
        }
    }
}

}  // namespace
