#include "engine/lightmapper/seams.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "engine/lightmapper/connectivity.h"
#include "seams_fixture.h"

using Engine::SeamEdge;
using Engine::StitchingPoint;
using Engine::StitchingTexels;
using SeamTest::MeshTriangle;

namespace {

uint32_t Grey(int32_t level) { return 0xFF000000u | uint32_t(level) * 0x010101u; }

// Seams found after grouping, with the given ray length (which picks the angle threshold).
std::vector<SeamEdge> SeamsOf(const std::vector<MeshTriangle>& mesh, float aoDistance,
                              std::unique_ptr<ChartTest::Staged>* kept = nullptr)
{
    auto staged = ChartTest::Prepare(ChartTest::Settings(), mesh);
    staged->BuildGroups();
    Engine::LightmapperSettings settings = ChartTest::Settings();
    settings.aoDistance = aoDistance;
    std::vector<SeamEdge> edges = Engine::FindSeamEdges(staged->mesh, settings, staged->groups);
    if (kept)
        *kept = std::move(staged);
    return edges;
}

// A mesh of two triangles with one page of `width` x `height` texels; corner k of each triangle
// sits at the given texel positions. The seam is edge 0 of triangle 0 against edge 0 of
// triangle 1 (which runs the other way).
struct HandSeam {
    HandSeam(int32_t width, int32_t height, const Geom::Vec2 cornersA[3], const Geom::Vec2 cornersB[3])
        : pages(width, height, Engine::uncoveredTexelColour)
    {
        pages.pages.push_back(std::make_unique<Engine::AtlasPage>(width, height, 0xFF808080u));
        const Geom::Vec2* corners[2] = {cornersA, cornersB};
        for (int32_t t = 0; t < 2; t++) {
            Engine::LmTriangle tri{};
            tri.page = 0;
            for (int32_t k = 0; k < 3; k++)
                tri.lmUv[k] = {(corners[t][k].x + 0.5f) / float(width), (corners[t][k].y + 0.5f) / float(height)};
            mesh.triangles.push_back(tri);
        }
    }
    std::vector<StitchingPoint> Points() const
    {
        return Engine::ExtractStitchingPoints(mesh, {{0, 1, 0, 1, 0, 0}}, pages);
    }

    Engine::LmMesh mesh;
    Engine::Atlas pages;
};

// Every colour that luma steps reach from `start` within `steps` steps.
std::set<uint32_t> LumaReachable(uint32_t start, int32_t steps)
{
    std::set<uint32_t> seen{start};
    std::vector<uint32_t> frontier{start};
    for (int32_t i = 0; i < steps; i++) {
        std::vector<uint32_t> next;
        for (uint32_t c : frontier) {
            for (int32_t step : {-1, 1}) {
                if (seen.insert(Engine::StepLuma(c, step)).second)
                    next.push_back(Engine::StepLuma(c, step));
            }
        }
        frontier.swap(next);
    }
    return seen;
}

// A page whose upper half is white and lower half black, with seam points joining row 1 to row
// 6 at whole texels: the optimiser wants to meet halfway.
struct BlackAndWhite {
    BlackAndWhite() : pages(16, 8, Engine::uncoveredTexelColour)
    {
        pages.pages.push_back(std::make_unique<Engine::AtlasPage>(16, 8, 0xFF000000u));
        Image::Bitmap& page = pages.Page(0)->bitmap;
        for (int32_t y = 0; y < 8; y++)
            for (int32_t x = 0; x < 16; x++)
                page.At(x, y) = y < 4 ? 0xFFFFFFFFu : 0xFF000000u;
        for (int32_t x = 2; x < 12; x++)
            points.push_back({0, 0, {float(x), 1.0f}, {float(x), 6.0f}});
        texels = Engine::CollectStitchingTexels(points, pages);
        for (const auto& t : texels.texels)
            start.push_back(pages.Page(0)->bitmap.At(t.x, t.y));
    }
    std::vector<StitchingPoint> points;
    Engine::Atlas pages;
    StitchingTexels texels;
    std::vector<uint32_t> start;
};

}  // namespace

TEST(SeamLuma, GreyLevelsRoundTripAndStepByOneLevel)
{
    for (int32_t level = 0; level < 256; level++) {
        const Engine::YCbCr ycc = Engine::ToYCbCr(Grey(level));
        EXPECT_EQ(ycc.y, level);
        EXPECT_EQ(ycc.cb, 128) << level;
        EXPECT_EQ(ycc.cr, 128) << level;
        EXPECT_EQ(Engine::FromYCbCr(ycc, 0xFF000000u), Grey(level)) << level;
        // A step keeps a grey grey; at either end it has nowhere to go.
        EXPECT_EQ(Engine::StepLuma(Grey(level), -1), Grey(std::max(level - 1, 0))) << level;
        EXPECT_EQ(Engine::StepLuma(Grey(level), +1), Grey(std::min(level + 1, 255))) << level;
    }
}

TEST(SeamLuma, StepsOfSaturatedColoursKeepAlphaAndChroma)
{
    // Expected values worked out from the fixed-point formulas apart from this code. Where a
    // channel clips, a step can leave the luma where it was.
    const struct {
        uint32_t pixel;
        Engine::YCbCr ycc;
        uint32_t down, up;
    } cases[] = {
        {0x00FF0000u, {76, 85, 255}, 0x00FD0000u, 0x00FF0101u},   // red: Cr clipped at 255
        {0x7F0000FFu, {29, 255, 107}, 0x7F0000FDu, 0x7F0101FFu},  // blue: Cb clipped
        {0xFF00FF00u, {150, 44, 21}, 0xFF00FE00u, 0xFF01FF02u},   // green
        {0x12336699u, {93, 162, 98}, 0x12326698u, 0x1234689Au},
    };
    for (const auto& c : cases) {
        const Engine::YCbCr ycc = Engine::ToYCbCr(c.pixel);
        EXPECT_EQ(ycc.y, c.ycc.y) << std::hex << c.pixel;
        EXPECT_EQ(ycc.cb, c.ycc.cb) << std::hex << c.pixel;
        EXPECT_EQ(ycc.cr, c.ycc.cr) << std::hex << c.pixel;
        EXPECT_EQ(Engine::StepLuma(c.pixel, -1), c.down) << std::hex << c.pixel;
        EXPECT_EQ(Engine::StepLuma(c.pixel, +1), c.up) << std::hex << c.pixel;
    }
}

TEST(SeamEdges, FoldsWithinTheThresholdAreSeamsAndSharperOnesAreNot)
{
    const struct {
        double bend;
        float aoDistance;
        bool seam;
    } cases[] = {
        {50, 3.0f, true}, {58, 3.0f, true}, {62, 3.0f, false}, {80, 3.0f, false},
        // The lighting mode allows 47 degrees only.
        {46, 0.0f, true}, {50, 0.0f, false}, {58, -1.0f, false},
    };
    for (const auto& c : cases) {
        std::unique_ptr<ChartTest::Staged> staged;
        const std::vector<SeamEdge> edges = SeamsOf(SeamTest::Fold(c.bend), c.aoDistance, &staged);
        ASSERT_NE(staged->mesh.triangles[0].group, staged->mesh.triangles[3].group) << c.bend;
        if (!c.seam) {
            EXPECT_TRUE(edges.empty()) << c.bend << " degrees, distance " << c.aoDistance;
            continue;
        }
        ASSERT_EQ(edges.size(), 1u) << c.bend << " degrees, distance " << c.aoDistance;
        const SeamEdge& e = edges[0];
        // The hinge runs from corner 0 to corner 1 of triangle 0 and back along triangle 3's
        // edge 1 (corners 1 to 2).
        const Engine::LmTriangle &a = staged->mesh.triangles[0], &b = staged->mesh.triangles[3];
        EXPECT_EQ(e.triangleA, 0);
        EXPECT_EQ(e.triangleB, 3);
        EXPECT_EQ(e.edgeA, 0);
        EXPECT_EQ(e.edgeB, 1);
        EXPECT_EQ(e.lower, std::min(a.pos[0], a.pos[1]));
        EXPECT_EQ(e.higher, std::max(a.pos[0], a.pos[1]));
        EXPECT_EQ(b.pos[1], a.pos[1]);
        EXPECT_EQ(b.pos[2], a.pos[0]);
    }
}

TEST(SeamEdges, NoSeamInsideOneChart)
{
    // A gentle fold keeps one projection, so both faces grow into one chart.
    for (double bend : {0.0, 20.0, 40.0}) {
        std::unique_ptr<ChartTest::Staged> staged;
        EXPECT_TRUE(SeamsOf(SeamTest::Fold(bend), 3.0f, &staged).empty()) << bend;
        ASSERT_EQ(staged->groups.size(), 1u) << bend;
    }
    // Only the edges between charts of the prism are seams: four vertical edges where the faces'
    // dominant axis changes, each found once.
    std::unique_ptr<ChartTest::Staged> staged;
    const std::vector<SeamEdge> edges = SeamsOf(SeamTest::PrismScene(), 3.0f, &staged);
    ASSERT_EQ(edges.size(), 4u);
    for (const SeamEdge& e : edges) {
        const Engine::LmTriangle &a = staged->mesh.triangles[size_t(e.triangleA)],
                                 &b = staged->mesh.triangles[size_t(e.triangleB)];
        EXPECT_LT(e.triangleA, e.triangleB);
        EXPECT_NE(a.group, b.group);
        EXPECT_EQ(a.pos[e.edgeA], b.pos[(e.edgeB + 1) % 3]);
        EXPECT_EQ(a.pos[(e.edgeA + 1) % 3], b.pos[e.edgeB]);
    }
}

TEST(SeamEdges, AFlippedNeighbourIsNotASeam)
{
    // A fin folded back over the floor along its edge y = 0: it runs along that edge the same way
    // as the floor triangle, its face tilts only 15 degrees, and it overlaps the floor, so it has
    // a chart of its own.
    std::vector<MeshTriangle> mesh;
    ChartTest::AddQuad(mesh, {0, 0, 0}, {2, 0, 0}, {2, 2, 0}, {0, 2, 0});
    mesh.push_back({{0, 0, 0}, {2, 0, 0}, {1, 1.5f, 0.4f}});
    std::unique_ptr<ChartTest::Staged> staged;
    EXPECT_TRUE(SeamsOf(mesh, 3.0f, &staged).empty());
    // Only the winding keeps it out: the two are neighbours in different charts, facing alike.
    const Engine::LmMesh& m = staged->mesh;
    const Engine::LmTriangle& fin = m.triangles[2];
    EXPECT_EQ(Engine::FindNeighbour(m, fin.modelId, fin.pos[0], fin.pos[1], 2), 0);
    EXPECT_NE(fin.group, m.triangles[0].group);
    EXPECT_GT(Geom::Dot(m.normals[size_t(fin.faceNormal)], m.normals[size_t(m.triangles[0].faceNormal)]),
              SeamTest::pi / 4);
}

TEST(StitchingPoints, ThreePerTexelOfTheLongerSideFromTheSharedVertex)
{
    const struct {
        Geom::Vec2 a0, a1;  // side A from corner 0 to corner 1
        Geom::Vec2 b1, b0;  // side B from corner 1 (the shared vertex) to corner 0
        int32_t count;
    } cases[] = {
        {{4, 4}, {4.16f, 4}, {10, 10}, {10, 10.1f}, 0},  // both below a sixth of a texel
        {{4, 4}, {4.2f, 4}, {10, 10}, {10, 10.1f}, 1},   // 0.6 samples round to one
        {{4, 4}, {4, 4.1f}, {10, 10}, {10.4f, 10}, 1},   // the longer side may be B
        {{4, 4}, {5, 4}, {10, 10}, {10, 10.5f}, 3},
        {{2, 3}, {6, 6}, {20, 1}, {21, 1}, 15},          // a side of 5 texels
    };
    for (const auto& c : cases) {
        const Geom::Vec2 a[3] = {c.a0, c.a1, {0, 0}};
        const Geom::Vec2 b[3] = {c.b0, c.b1, {0, 0}};
        HandSeam seam(32, 16, a, b);
        const std::vector<StitchingPoint> points = seam.Points();
        ASSERT_EQ(int32_t(points.size()), c.count) << c.a1.x << ", " << c.b0.y;
        for (size_t i = 0; i < points.size(); i++) {
            const float s = i == 0 ? 0.0f : float(i) / float(points.size() - 1);
            EXPECT_NEAR(points[i].positionA.x, c.a0.x + (c.a1.x - c.a0.x) * s, 1e-4f);
            EXPECT_NEAR(points[i].positionA.y, c.a0.y + (c.a1.y - c.a0.y) * s, 1e-4f);
            EXPECT_NEAR(points[i].positionB.x, c.b1.x + (c.b0.x - c.b1.x) * s, 1e-4f);
            EXPECT_NEAR(points[i].positionB.y, c.b1.y + (c.b0.y - c.b1.y) * s, 1e-4f);
            EXPECT_EQ(points[i].pageA, 0);
            EXPECT_EQ(points[i].pageB, 0);
        }
        if (c.count > 1) {
            EXPECT_NEAR(points.back().positionA.x, c.a1.x, 1e-4f);
            EXPECT_NEAR(points.back().positionB.y, c.b0.y, 1e-4f);
        }
    }
}

TEST(StitchingPoints, SidesOffTheirPageAreSkipped)
{
    // Side A runs from inside the page to well beyond its right edge; a side on no page at all
    // gives no points.
    const Geom::Vec2 a[3] = {{10, 2}, {20, 2}, {0, 0}};
    const Geom::Vec2 b[3] = {{4, 10}, {4, 0}, {0, 0}};
    HandSeam seam(16, 16, a, b);
    const std::vector<StitchingPoint> points = seam.Points();
    ASSERT_FALSE(points.empty());
    for (const StitchingPoint& p : points)
        EXPECT_LT(p.positionA.x, 16.0f);
    EXPECT_LT(points.size(), 30u);  // 30 along the whole seam
    seam.mesh.triangles[1].page = 1;
    EXPECT_TRUE(seam.Points().empty());
    seam.mesh.triangles[1].page = -1;
    EXPECT_TRUE(seam.Points().empty());
}

TEST(StitchingTexels, BlocksUnderBothSidesInDiscoveryOrderWithTheirPoints)
{
    Engine::Atlas pages(8, 8, Engine::uncoveredTexelColour);
    for (int i = 0; i < 2; i++)
        pages.pages.push_back(std::make_unique<Engine::AtlasPage>(8, 8, 0xFF000000u));
    const std::vector<StitchingPoint> points = {
        {0, 1, {1.5f, 2.25f}, {6.0f, 7.0f}},  // B's block leaves the page below and right
        {0, 0, {2.0f, 2.0f}, {1.0f, 3.0f}},   // both sides on page 0, blocks sharing texel (2, 3)
        {1, 0, {6.5f, 7.5f}, {-0.5f, 0.5f}},  // trunc(-0.5) = 0: the block is (0..1, 0..1)
    };
    const StitchingTexels texels = Engine::CollectStitchingTexels(points, pages);
    const struct {
        int32_t page, x, y;
        std::vector<int32_t> points;
    } expected[] = {
        {0, 1, 2, {0}}, {0, 2, 2, {0, 1}}, {0, 1, 3, {0, 1}}, {0, 2, 3, {0, 1}},
        {1, 6, 7, {0, 2}}, {1, 7, 7, {0, 2}},
        {0, 3, 2, {1}}, {0, 3, 3, {1}}, {0, 1, 4, {1}}, {0, 2, 4, {1}},
        {0, 0, 0, {2}}, {0, 1, 0, {2}}, {0, 0, 1, {2}}, {0, 1, 1, {2}},
    };
    ASSERT_EQ(texels.Count(), int32_t(std::size(expected)));
    ASSERT_EQ(texels.pointStart.size(), std::size(expected) + 1);
    for (int32_t t = 0; t < texels.Count(); t++) {
        const auto& e = expected[t];
        const auto& got = texels.texels[size_t(t)];
        EXPECT_EQ(got.page, e.page) << t;
        EXPECT_EQ(got.x, e.x) << t;
        EXPECT_EQ(got.y, e.y) << t;
        const std::vector<int32_t> list(texels.points.begin() + texels.pointStart[size_t(t)],
                                        texels.points.begin() + texels.pointStart[size_t(t) + 1]);
        EXPECT_EQ(list, e.points) << t;
    }
}

TEST(SeamOptimiser, TexelsMeetHalfwayOnlyWithinTheDistanceBound)
{
    // Grey steps are one level each, so k steps from the start cost 3 k^2: 31 steps (2883) is
    // the farthest a texel may go below 3072.
    BlackAndWhite bounded;
    Engine::Lightmapper lm(SeamTest::BakeSettings(true));
    Engine::OptimizeSeamBasis({bounded.points, bounded.texels, bounded.start, true}, bounded.pages, lm.Progress());
    int32_t farthest = 0;
    for (int32_t t = 0; t < bounded.texels.Count(); t++) {
        const auto& texel = bounded.texels.texels[size_t(t)];
        const uint32_t now = bounded.pages.Page(0)->bitmap.At(texel.x, texel.y);
        const int32_t distance = Engine::ColourDistanceSquared(now, bounded.start[size_t(t)]);
        EXPECT_LT(distance, 3072) << texel.x << ", " << texel.y;
        EXPECT_EQ((now >> 8) & 0xFFFF, now & 0xFFFF) << "still grey";
        farthest = std::max(farthest, distance);
    }
    EXPECT_EQ(farthest, 2883);
    const double before = double(bounded.points.size()) * 3 * 255 * 255;
    EXPECT_LT(Engine::SeamMismatch(bounded.points, bounded.pages), before);

    // Without the bound (the lighting mode) the same texels go farther.
    BlackAndWhite free;
    Engine::OptimizeSeamBasis({free.points, free.texels, free.start, false}, free.pages, lm.Progress());
    int32_t farthestFree = 0;
    for (int32_t t = 0; t < free.texels.Count(); t++) {
        const auto& texel = free.texels.texels[size_t(t)];
        const uint32_t now = free.pages.Page(0)->bitmap.At(texel.x, texel.y);
        farthestFree = std::max(farthestFree, Engine::ColourDistanceSquared(now, free.start[size_t(t)]));
    }
    EXPECT_GT(farthestFree, 3072);
    EXPECT_LT(Engine::SeamMismatch(free.points, free.pages), Engine::SeamMismatch(bounded.points, bounded.pages));
}

TEST(SeamOptimiser, TryingOnlyTexelsWhoseInputsChangedGivesTheSameResult)
{
    // The pages of a bake without seam fixing are the pages seam fixing starts from.
    const SeamTest::Baked baked = SeamTest::Bake(SeamTest::BakeSettings(false), SeamTest::PrismScene());
    const std::vector<StitchingPoint> points = SeamTest::Points(baked);
    ASSERT_GT(points.size(), 100u);
    const StitchingTexels texels = Engine::CollectStitchingTexels(points, baked.Pages());
    std::vector<uint32_t> start;
    for (const auto& t : texels.texels)
        start.push_back(baked.Pages().Page(t.page)->bitmap.At(t.x, t.y));
    for (bool bounded : {true, false}) {
        Engine::Atlas tracked = SeamTest::CopyPages(baked.Pages());
        Engine::Atlas every = SeamTest::CopyPages(baked.Pages());
        const int32_t trackedPasses =
            Engine::OptimizeSeamBasis({points, texels, start, bounded}, tracked, baked.lm->Progress());
        const int32_t everyPasses =
            Engine::OptimizeSeamBasisEveryTexel({points, texels, start, bounded}, every, baked.lm->Progress());
        EXPECT_GT(trackedPasses, 2) << bounded;
        EXPECT_EQ(trackedPasses, everyPasses) << bounded;
        EXPECT_TRUE(SeamTest::SamePixels(tracked, every)) << bounded;
        EXPECT_FALSE(SeamTest::SamePixels(tracked, baked.Pages())) << bounded;
    }
}

TEST(FixSeams, MovesOnlyStitchingTexelsByLumaStepsAndLowersTheMismatch)
{
    const std::vector<MeshTriangle> scene = SeamTest::PrismScene();
    const SeamTest::Baked plain = SeamTest::Bake(SeamTest::BakeSettings(false), scene);
    LightmapperTest::LogCapture log;
    const SeamTest::Baked fixed = SeamTest::Bake(SeamTest::BakeSettings(true), scene);

    const std::vector<StitchingPoint> points = SeamTest::Points(plain);
    const StitchingTexels texels = Engine::CollectStitchingTexels(points, plain.Pages());
    std::set<std::tuple<int32_t, int32_t, int32_t>> stitching;
    for (const auto& t : texels.texels)
        stitching.insert({t.page, t.x, t.y});
    ASSERT_EQ(plain.Pages().PageCount(), fixed.Pages().PageCount());
    int32_t moved = 0;
    for (int32_t p = 0; p < plain.Pages().PageCount(); p++) {
        const Image::Bitmap &before = plain.Pages().Page(p)->bitmap, &after = fixed.Pages().Page(p)->bitmap;
        for (int32_t y = 0; y < before.Height(); y++) {
            for (int32_t x = 0; x < before.Width(); x++) {
                const uint32_t o = before.At(x, y), c = after.At(x, y);
                // Chart texels (alpha set) keep what seam fixing gave them; the gutter around
                // them is bled again afterwards.
                if (o == c || (o >> 24) == 0)
                    continue;
                ASSERT_TRUE(stitching.count({p, x, y})) << "page " << p << " texel " << x << ", " << y;
                const int32_t distance = Engine::ColourDistanceSquared(o, c);
                EXPECT_LT(distance, 3072);
                EXPECT_TRUE(LumaReachable(o, 64).count(c)) << std::hex << o << " -> " << c;
                moved++;
            }
        }
    }
    EXPECT_GT(moved, 10);
    EXPECT_LT(Engine::SeamMismatch(points, fixed.Pages()), 0.5 * Engine::SeamMismatch(points, plain.Pages()));

    // The stage's log lines, with its counts.
    const std::vector<std::string> expected = {
        "LM: fix seams",
        "4 seam edges found",
        std::to_string(points.size()) + " stitching points extracted",
        std::to_string(texels.Count()) + " stitching texels extracted",
        "optimizing seams",
        "Basis 0",
    };
    auto first = std::find(log.lines.begin(), log.lines.end(), expected[0]);
    ASSERT_NE(first, log.lines.end());
    ASSERT_GE(log.lines.end() - first, long(expected.size()));
    EXPECT_EQ(std::vector<std::string>(first, first + long(expected.size())), expected);
}

TEST(FixSeams, WithoutTheFlagNothingChangesAndNothingIsLogged)
{
    const SeamTest::Baked baked = SeamTest::Bake(SeamTest::BakeSettings(false), SeamTest::PrismScene());
    Engine::Lightmapper& lm = *baked.lm;
    Engine::Atlas pages[Engine::maxBases];
    pages[0] = SeamTest::CopyPages(baked.Pages());
    LightmapperTest::LogCapture log;
    std::vector<std::string> titles;
    lm.progress = [&](float, float, const std::string& title) { titles.push_back(title); };
    Engine::FixSeams(lm.Mesh(), lm.Settings(), lm.Pool(), lm.Progress(), baked.charts.groups, pages);
    EXPECT_TRUE(SeamTest::SamePixels(pages[0], baked.Pages()));
    EXPECT_TRUE(log.lines.empty());
    EXPECT_TRUE(titles.empty());

    // The same call with the flag does change the pages, and says so.
    Engine::LightmapperSettings withFlag = lm.Settings();
    withFlag.flags |= Engine::FixLightmapSeams;
    Engine::FixSeams(lm.Mesh(), withFlag, lm.Pool(), lm.Progress(), baked.charts.groups, pages);
    EXPECT_FALSE(SeamTest::SamePixels(pages[0], baked.Pages()));
    EXPECT_EQ(titles, std::vector<std::string>{"Fixing seams"});
}

TEST(FixSeams, ACancelledBuildStopsBeforeTheNextPass)
{
    BlackAndWhite pages;
    Engine::Lightmapper lm(SeamTest::BakeSettings(true));
    lm.Cancel();
    const Engine::SeamBasis basis{pages.points, pages.texels, pages.start, true};
    EXPECT_EQ(Engine::OptimizeSeamBasis(basis, pages.pages, lm.Progress()), 0);
    for (int32_t t = 0; t < pages.texels.Count(); t++) {
        const auto& texel = pages.texels.texels[size_t(t)];
        EXPECT_EQ(pages.pages.Page(0)->bitmap.At(texel.x, texel.y), pages.start[size_t(t)]);
    }
}

TEST(FixSeams, OnlyTheAmbientOcclusionModeLimitsHowFarATexelMoves)
{
    // Every seam painted white on one side and black on the other: closing it takes far more
    // than the limit allows.
    const SeamTest::Baked baked = SeamTest::Bake(SeamTest::BakeSettings(false), SeamTest::PrismScene());
    Engine::Atlas painted = SeamTest::CopyPages(baked.Pages());
    for (const StitchingPoint& p : SeamTest::Points(baked)) {
        const StitchingPoint sides[2] = {{p.pageA, p.pageA, p.positionA, p.positionA},
                                         {p.pageB, p.pageB, p.positionB, p.positionB}};
        for (int side = 0; side < 2; side++) {
            Image::Bitmap& page = painted.Page(sides[side].pageA)->bitmap;
            const StitchingTexels block = Engine::CollectStitchingTexels({sides[side]}, painted);
            for (const auto& t : block.texels) {
                uint32_t& pixel = page.At(t.x, t.y);
                pixel = (pixel & 0xFF000000u) | (side == 0 ? 0xFFFFFFu : 0);
            }
        }
    }
    for (float distance : {3.0f, 0.0f}) {
        Engine::LightmapperSettings settings = baked.lm->Settings();
        settings.aoDistance = distance;
        settings.flags |= Engine::FixLightmapSeams;
        Engine::Atlas pages[Engine::maxBases];
        pages[0] = SeamTest::CopyPages(painted);
        Engine::Lightmapper& lm = *baked.lm;
        Engine::FixSeams(lm.Mesh(), settings, lm.Pool(), lm.Progress(), baked.charts.groups, pages);
        int32_t farthest = 0;
        for (int32_t p = 0; p < painted.PageCount(); p++) {
            const Image::Bitmap &before = painted.Page(p)->bitmap, &after = pages[0].Page(p)->bitmap;
            for (int32_t y = 0; y < before.Height(); y++)
                for (int32_t x = 0; x < before.Width(); x++)
                    farthest = std::max(farthest, Engine::ColourDistanceSquared(before.At(x, y), after.At(x, y)));
        }
        if (distance > 0) {
            EXPECT_GT(farthest, 0);
            EXPECT_LT(farthest, 3072);
        } else {
            EXPECT_GE(farthest, 3072);
        }
    }
}
