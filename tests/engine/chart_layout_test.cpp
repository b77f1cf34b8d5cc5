#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "chart_fixture.h"
#include "engine/lightmapper/grouping.h"
#include "engine/lightmapper/texels.h"

using ChartTest::MeshTriangle;
using ChartTest::Prepare;
using ChartTest::Settings;
using Geom::Vec2;
using Geom::Vec3;

namespace {

// A rectangle of length x width in the plane z = 0, turned by `degrees` about its first corner.
std::vector<MeshTriangle> Rectangle(float length, float width, float degrees, Vec2 at = {0, 0})
{
    const float c = std::cos(degrees * 3.14159265f / 180.0f), s = std::sin(degrees * 3.14159265f / 180.0f);
    auto p = [&](float x, float y) { return Vec3{at.x + x * c - y * s, at.y + x * s + y * c, 0}; };
    std::vector<MeshTriangle> mesh;
    ChartTest::AddQuad(mesh, p(0, 0), p(length, 0), p(length, width), p(0, width));
    return mesh;
}

}  // namespace

TEST(ChartLayout, SquareGetsTexelCentresOnItsCornersAndFullCoverage)
{
    auto staged = Prepare(Settings(0.25f), Rectangle(1, 1, 0, {2, 3}));
    staged->BuildGroups();
    ASSERT_EQ(staged->groups.size(), 1u);
    const Engine::LmGroup& group = staged->groups[0];
    // Centres at 2, 2.25, .. 3 and 3, .. 4: five a side, the extreme ones on the edges.
    EXPECT_EQ(group.gridWidth, 5);
    EXPECT_EQ(group.gridHeight, 5);
    EXPECT_EQ(group.texelSize[0], 0.25f);
    EXPECT_EQ(Engine::ChartPoint(group, 0, 0), (Vec2{2, 3}));
    EXPECT_EQ(Engine::ChartPoint(group, 4, 4), (Vec2{3, 4}));
    EXPECT_EQ(group.bounds.min, (Vec3{2, 3, 0}));
    EXPECT_EQ(group.bounds.max, (Vec3{3, 4, 0}));
    for (int32_t t = 0; t < group.TexelCount(); t++)
        EXPECT_TRUE(group.IsCovered(t)) << t;
    EXPECT_EQ(group.coverage.size(), 1u);
    EXPECT_EQ(group.basis[0].size(), 25u);

    // Corners land on the texel coordinates of the same lattice.
    Engine::ComputeCornerTexelCoords(staged->mesh, staged->groups[size_t(0)]);
    for (const Engine::LmTriangle& t : staged->mesh.triangles) {
        for (int k = 0; k < 3; k++) {
            const Vec3 p = staged->mesh.positions[size_t(t.pos[k])];
            EXPECT_NEAR(t.lmUv[k].x, (p.x - 2) * 4, 1e-4f);
            EXPECT_NEAR(t.lmUv[k].y, (p.y - 3) * 4, 1e-4f);
        }
    }
}

TEST(ChartLayout, TinyGroupGetsTwoByTwo)
{
    std::vector<MeshTriangle> mesh;
    mesh.push_back({{0.01f, 0.01f, 0}, {0.02f, 0.01f, 0}, {0.01f, 0.02f, 0}});
    auto staged = Prepare(Settings(0.25f), mesh);
    staged->BuildGroups();
    ASSERT_EQ(staged->groups.size(), 1u);
    EXPECT_EQ(staged->groups[0].gridWidth, 2);
    EXPECT_EQ(staged->groups[0].gridHeight, 2);
    EXPECT_EQ(staged->groups[0].texelSize[0], 0.25f);
}

TEST(ChartLayout, OversizedGridIsCoarsenedByTenPercentSteps)
{
    const struct {
        float length;
        int32_t atlasSize;
        bool keep;
    } cases[] = {{100.0f, 256, false}, {100.0f, 64, false}, {1000.0f, 512, true}, {60.0f, 256, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        Engine::LightmapperSettings settings = Settings(0.25f);
        settings.atlasSize = c.atlasSize;
        if (c.keep)
            settings.flags |= Engine::KeepLargeGroups;
        // The big floor is finely cut so that only -l keeps it one group.
        auto staged = Prepare(settings, c.keep ? ChartTest::Floor(c.length, 20) : Rectangle(c.length, c.length, 0));
        staged->BuildGroups();
        ASSERT_EQ(staged->groups.size(), 1u);
        const Engine::LmGroup& group = staged->groups[0];
        const float size = group.texelSize[0];
        EXPECT_EQ(group.texelSize[1], size);
        float expected = 0.25f;
        int steps = 0;
        while (expected < size && steps < 200) {
            expected *= 1.1f;
            steps++;
        }
        EXPECT_EQ(size, expected) << "not a whole number of 10 % steps";
        EXPECT_LE(group.gridWidth, c.atlasSize);
        EXPECT_LE(group.gridHeight, c.atlasSize);
        EXPECT_EQ(group.gridWidth, int32_t(std::ceil(c.length / size)) + 1);
        if (steps > 0) {
            // One step less would not have fitted.
            EXPECT_GT(int32_t(std::ceil(c.length / (size / 1.1f))) + 1, c.atlasSize);
        } else {
            EXPECT_LE(int32_t(std::ceil(c.length / 0.25f)) + 1, c.atlasSize);
        }
    }
}

TEST(ChartLayout, TurnedRectangleUsesItsPrincipalFrame)
{
    const struct {
        float degrees;
        bool principal;
    } cases[] = {{0, false}, {30, true}, {-20, true}, {2, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.degrees);
        auto staged = Prepare(Settings(0.25f), Rectangle(10, 1, c.degrees, {5, 5}));
        staged->BuildGroups();
        ASSERT_EQ(staged->groups.size(), 1u);
        const Engine::LmGroup& group = staged->groups[0];
        const Vec3 r0 = group.texelToChart.row[0], r1 = group.texelToChart.row[1];
        if (!c.principal) {
            EXPECT_EQ(r0, (Vec3{0.25f, 0, 0}));
            EXPECT_EQ(r1, (Vec3{0, 0.25f, 0}));
            continue;
        }
        // The first axis runs along the rectangle, the grid hugs it.
        const float rad = c.degrees * 3.14159265f / 180.0f;
        EXPECT_NEAR(std::fabs(r0.x * std::cos(rad) + r0.y * std::sin(rad)), 0.25f, 1e-4f);
        EXPECT_NEAR(r0.x * r1.x + r0.y * r1.y, 0, 1e-6f);
        EXPECT_LE(group.gridWidth, 42);
        EXPECT_LE(group.gridHeight, 6);
        // Every corner of the rectangle falls inside the grid.
        Engine::ComputeCornerTexelCoords(staged->mesh, staged->groups[size_t(0)]);
        for (const Engine::LmTriangle& t : staged->mesh.triangles) {
            for (int k = 0; k < 3; k++) {
                EXPECT_GE(t.lmUv[k].x, -1e-3f);
                EXPECT_GE(t.lmUv[k].y, -1e-3f);
                EXPECT_LE(t.lmUv[k].x, group.gridWidth - 1 + 1e-3f);
                EXPECT_LE(t.lmUv[k].y, group.gridHeight - 1 + 1e-3f);
            }
        }
        int32_t covered = 0;
        for (int32_t i = 0; i < group.TexelCount(); i++)
            covered += group.IsCovered(i);
        EXPECT_GE(covered, 41 * 5);
    }
}

TEST(ChartLayout, ChartWiderThanAnyIntegerGridIsCoarsenedToo)
{
    // 4e9 texels a side at the requested size: more than a 32-bit count holds.
    std::vector<MeshTriangle> mesh;
    mesh.push_back({{0, 0, 0}, {1e9f, 0, 0}, {0, 1e9f, 0}});
    Engine::LightmapperSettings settings = Settings(0.25f);
    settings.atlasSize = 64;
    auto staged = Prepare(settings, mesh);
    staged->BuildGroups();
    ASSERT_EQ(staged->groups.size(), 1u);
    const Engine::LmGroup& group = staged->groups[0];
    EXPECT_LE(group.gridWidth, 64);
    EXPECT_GE(group.gridWidth, 60);
    EXPECT_GT(group.texelSize[0] * float(group.gridWidth - 1), 1e9f);
}

TEST(ChartLayout, DenormalTexelSizeStillGrowsUntilTheGridFits)
{
    // Below about 1e-44 a 10 % step rounds back to the same float: the layout looped for ever.
    Engine::LightmapperSettings settings = Settings(1e-45f);
    settings.atlasSize = 64;
    auto staged = Prepare(settings, Rectangle(1, 1, 0));
    ASSERT_TRUE(staged->build.Groups());
    ASSERT_EQ(staged->groups.size(), 1u);
    const Engine::LmGroup& group = staged->groups[0];
    EXPECT_LE(group.gridWidth, 64);
    EXPECT_GE(group.gridWidth, 58);  // within one 10 % step of the page
    EXPECT_TRUE(std::isfinite(group.texelSize[0]));
}

TEST(ChartLayout, GridWhoseCornersWouldHaveNoFiniteTexelIsRefused)
{
    const struct {
        float texelSize;
        bool laidOut;
    } cases[] = {
        {1e6f, true},    // the largest the command line allows
        {1e20f, false},  // texel size squared is beyond the float range: corners would map to NaN
    };
    for (const auto& c : cases) {
        auto staged = Prepare(Settings(c.texelSize), Rectangle(1, 1, 0));
        staged->GroupTriangles();
        ASSERT_EQ(staged->groups.size(), 1u);
        EXPECT_EQ(staged->build.LayoutGroups(), c.laidOut ? -1 : 0) << c.texelSize;
        // Nothing is allocated for a layout that failed.
        EXPECT_EQ(staged->groups[0].basis[0].empty(), !c.laidOut) << c.texelSize;
    }
}
