#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "chart_fixture.h"
#include "engine/lightmapper/grouping.h"
#include "engine/lightmapper/texel_runs.h"
#include "engine/lightmapper/texels.h"

using ChartTest::MeshTriangle;
using ChartTest::Prepare;
using ChartTest::Settings;
using Geom::Vec2;
using Geom::Vec3;

namespace {

// Sample point o (in texels) of texel (i, j), computed as packing computes it.
Vec2 SamplePoint(const Engine::LmGroup& group, int32_t i, int32_t j, Vec2 o)
{
    const Geom::Mat3& m = group.texelToChart;
    const Vec2 p = Engine::ChartPoint(group, float(i), float(j));
    return {p.x + o.x * m.row[0].x + o.y * m.row[1].x, p.y + o.x * m.row[0].y + o.y * m.row[1].y};
}

// The texel whose centre is at chart point p (exactly), or -1.
int32_t TexelAt(const Engine::LmGroup& group, Vec2 p)
{
    for (int32_t j = 0; j < group.gridHeight; j++)
        for (int32_t i = 0; i < group.gridWidth; i++)
            if (Engine::ChartPoint(group, float(i), float(j)) == p)
                return j * group.gridWidth + i;
    return -1;
}

struct TexelRun {
    int32_t triangle, length;
    bool operator==(const TexelRun& o) const { return triangle == o.triangle && length == o.length; }
};

// Runs of one texel, found by walking the runs of all the texels before it.
std::vector<TexelRun> RunsOf(const Engine::LmGroup& group, int32_t texel)
{
    size_t run = 0;
    for (int32_t t = 0; t <= texel; t++) {
        std::vector<TexelRun> runs;
        int32_t filled = 0;
        while (filled < group.samplesPerTexel) {
            EXPECT_LT(run, group.texelRuns.size());
            if (run >= group.texelRuns.size())
                return {};
            runs.push_back({group.texelTris[run], group.texelRuns[run]});
            filled += group.texelRuns[run];
            run++;
        }
        EXPECT_EQ(filled, group.samplesPerTexel) << "runs span texels at " << t;
        if (t == texel)
            return runs;
    }
    return {};
}

// Two rectangles side by side, split at x = 5.25, each cut in two along a diagonal far from
// the line x = 5.25 near y = 0. With texel size 1 texel centres sit on whole numbers.
std::vector<MeshTriangle> SplitRectangle()
{
    std::vector<MeshTriangle> mesh;
    const float c = 5.25f;
    ChartTest::AddQuad(mesh, {c - 10, -10, 0}, {c, -10, 0}, {c, 10, 0}, {c - 10, 10, 0});
    ChartTest::AddQuad(mesh, {c, -10, 0}, {c + 10, -10, 0}, {c + 10, 10, 0}, {c, 10, 0});
    return mesh;
}

Engine::LmGroup GridGroup(int32_t width, int32_t height, int32_t samples, const std::vector<int32_t>& runsPerTexel)
{
    Engine::LmGroup group;
    group.gridWidth = width;
    group.gridHeight = height;
    group.samplesPerTexel = samples;
    for (int32_t t = 0; t < width * height; t++) {
        const int32_t runs = runsPerTexel[size_t(t) % runsPerTexel.size()];
        for (int32_t r = 0; r < runs; r++) {
            group.texelTris.push_back(r);
            group.texelRuns.push_back(uint8_t(r + 1 < runs ? 1 : samples - (runs - 1)));
        }
    }
    return group;
}

}  // namespace

TEST(Texels, SamplesOfATexelAreRunLengthCoded)
{
    Engine::LightmapperSettings settings = Settings(1.0f);
    settings.superSampling = true;
    auto staged = Prepare(settings, SplitRectangle());
    staged->BuildGroups();
    ASSERT_EQ(staged->groups.size(), 1u);
    const Engine::LmGroup& group = staged->groups[0];
    ASSERT_EQ(group.samplesPerTexel, 25);
    const int32_t left = 0, right = 3;  // the triangles on either side of x = 5.25 near y = 0

    // All 25 points of the texel at (2, 0) lie on one triangle: one run.
    const int32_t inside = TexelAt(group, {2, 0});
    ASSERT_GE(inside, 0);
    EXPECT_EQ(RunsOf(group, inside), (std::vector<TexelRun>{{left, 25}}));

    // At (5, 0) the points of offset 0.5 and 1 cross the split: one run per change, in slot
    // order (the centre first, then rows of increasing y).
    const int32_t split = TexelAt(group, {5, 0});
    ASSERT_GE(split, 0);
    const std::vector<TexelRun> expected = {{left, 4}, {right, 2}, {left, 3}, {right, 2}, {left, 2},
                                       {right, 2}, {left, 3}, {right, 2}, {left, 3}, {right, 2}};
    EXPECT_EQ(RunsOf(group, split), expected);

    // The same for every texel: the runs are what FindGroupSample says point by point.
    size_t run = 0;
    for (int32_t j = 0; j < group.gridHeight; j++) {
        for (int32_t i = 0; i < group.gridWidth; i++) {
            std::vector<int32_t> slots;
            bool hit = false;
            for (const Vec2& o : Engine::subsampleOffsets) {
                Engine::TexelSample sample;
                int32_t t = Engine::FindGroupSample(staged->Search(), staged->groups[size_t(0)], 0, SamplePoint(group, i, j, o), sample);
                slots.push_back(t);
                hit |= t >= 0;
            }
            EXPECT_EQ(group.IsCovered(j * group.gridWidth + i), hit);
            for (size_t s = 0; s < slots.size();) {
                size_t e = s;
                while (e < slots.size() && slots[e] == slots[s])
                    e++;
                ASSERT_LT(run, group.texelRuns.size());
                EXPECT_EQ(group.texelTris[run], slots[s]) << i << "," << j;
                EXPECT_EQ(group.texelRuns[run], e - s) << i << "," << j;
                run++;
                s = e;
            }
        }
    }
    EXPECT_EQ(run, group.texelRuns.size());
    EXPECT_EQ(group.texelTris.size(), group.texelRuns.size());
}

TEST(Texels, TasksCutWholeRowsOfAbout4096Texels)
{
    const struct {
        int32_t width, height, samples;
        std::vector<int32_t> runsPerTexel;
        std::vector<int32_t> rows;
    } cases[] = {
        {10000, 3, 1, {1}, {1, 1, 1}},
        {64, 130, 1, {1}, {64, 64, 2}},
        {2048, 5, 1, {1}, {2, 2, 1}},
        {4097, 2, 1, {1}, {1, 1}},
        {2, 2, 25, {1, 3, 2}, {2}},
        {1000, 9, 25, {2, 1, 1, 5}, {4, 4, 1}},
    };
    std::vector<Engine::LmGroup> groups;
    for (const auto& c : cases)
        groups.push_back(GridGroup(c.width, c.height, c.samples, c.runsPerTexel));
    LightmapperTest::LogCapture log;
    std::vector<Engine::GroupTask> tasks = Engine::BuildGroupTasks(groups);

    size_t task = 0;
    for (size_t g = 0; g < std::size(cases); g++) {
        const auto& c = cases[g];
        int32_t row = 0;
        for (int32_t rows : c.rows) {
            ASSERT_LT(task, tasks.size());
            const Engine::GroupTask& t = tasks[task++];
            EXPECT_EQ(t.group, int32_t(g));
            EXPECT_EQ(t.firstRow, row);
            EXPECT_EQ(t.rowCount, rows) << "group " << g;
            // Runs of the texels before the task's first texel.
            int32_t firstRun = 0;
            for (int32_t texel = 0; texel < row * c.width; texel++)
                firstRun += c.runsPerTexel[size_t(texel) % c.runsPerTexel.size()];
            EXPECT_EQ(t.firstRun, firstRun) << "group " << g << " row " << row;
            // Decoding from the first run gives the texels of the task's first row.
            Engine::TexelRunCursor cursor(groups[g], t.firstRun);
            int32_t slots[25];
            EXPECT_EQ(cursor.Next(slots), 0);
            row += rows;
        }
        EXPECT_EQ(row, c.height);
    }
    EXPECT_EQ(task, tasks.size());
    EXPECT_EQ(log.lines.back(), std::to_string(tasks.size()) + " group tasks");

    EXPECT_TRUE(Engine::BuildGroupTasks({}).empty());
    EXPECT_EQ(log.lines.back(), "0 group tasks");
}

TEST(Texels, PointsWithinTwoTexelsOfAnEdgeSnapToIt)
{
    std::vector<MeshTriangle> mesh;
    mesh.push_back({{0, 0, 1}, {10, 0, 1}, {0, 10, 1}});
    auto staged = Prepare(Settings(1.0f), mesh);
    staged->BuildGroups();
    ASSERT_EQ(staged->groups.size(), 1u);
    const struct {
        Vec2 point;
        bool found;
        Vec3 position;
    } cases[] = {
        {{2, 3}, true, {2, 3, 1}},          // inside
        {{-1.9f, 5}, true, {0, 5, 1}},      // left of the edge x = 0
        {{-2.1f, 5}, false, {0, 0, 0}},
        {{5, -2.0f}, true, {5, 0, 1}},      // exactly two texels below y = 0
        {{5, -2.01f}, false, {0, 0, 0}},
        {{-1.5f, -1.5f}, false, {0, 0, 0}}, // 2.12 from the corner
        {{-1.2f, -1.2f}, true, {0, 0, 1}},  // 1.7 from the corner
        {{6.4f, 6.4f}, true, {5, 5, 1}},    // 1.98 beyond the long edge
        {{6.5f, 6.5f}, false, {0, 0, 0}},
    };
    for (const auto& c : cases) {
        Engine::TexelSample sample;
        const int32_t t = Engine::FindGroupSample(staged->Search(), staged->groups[size_t(0)], 0, c.point, sample);
        EXPECT_EQ(t >= 0, c.found) << c.point.x << "," << c.point.y;
        EXPECT_NEAR(sample.position.x, c.position.x, 1e-4f) << c.point.x << "," << c.point.y;
        EXPECT_NEAR(sample.position.y, c.position.y, 1e-4f) << c.point.x << "," << c.point.y;
        EXPECT_NEAR(sample.position.z, c.position.z, 1e-4f) << c.point.x << "," << c.point.y;
    }

    // Texel centres sit on whole numbers: (6, 6) is 1.4 texels beyond the long edge and
    // covered, (7, 7) is 2.8 beyond and not.
    const Engine::LmGroup& group = staged->groups[0];
    ASSERT_EQ(Engine::ChartPoint(group, 0, 0), (Vec2{0, 0}));
    EXPECT_TRUE(group.IsCovered(6 * group.gridWidth + 6));
    EXPECT_FALSE(group.IsCovered(7 * group.gridWidth + 7));
    EXPECT_TRUE(group.IsCovered(10));
}

TEST(Texels, EmissiveObjectsLightTheirTexelsOnlyWithoutAmbientOcclusion)
{
    for (float aoDistance : {0.0f, 3.0f}) {
        Engine::LightmapperSettings settings = Settings(1.0f);
        settings.aoDistance = aoDistance;
        ChartTest::Staged staged(settings, 1);
        Engine::InputTriangle input = LightmapperTest::Tri({0, 0, 0}, {4, 0, 0}, {0, 4, 0});
        input.name = "lamp";
        input.faceId = 0;
        staged.lm.AddTriangle(input);
        staged.mesh.objects[size_t(staged.mesh.triangles[0].object)].colour = {0.5f, 0.25f, 1};
        staged.BuildTrees();
        staged.BuildGroups();
        ASSERT_EQ(staged.groups.size(), 1u);
        const Engine::LmGroup& group = staged.groups[0];
        int32_t covered = 0;
        for (int32_t t = 0; t < group.TexelCount(); t++)
            covered += group.IsCovered(t);
        ASSERT_GT(covered, 0);
        if (aoDistance > 0) {
            // The ambient-occlusion mode has no light buffer: the lamp's colour goes nowhere.
            EXPECT_TRUE(group.light.empty());
            continue;
        }
        ASSERT_EQ(group.light.size(), size_t(group.TexelCount()));
        for (int32_t t = 0; t < group.TexelCount(); t++)
            EXPECT_EQ(group.light[size_t(t)], (group.IsCovered(t) ? Vec3{0.5f, 0.25f, 1} : Vec3{0, 0, 0})) << t;
    }
}

TEST(Texels, InsetMovesFlaggedEdgesInward)
{
    const Vec3 original[3] = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
    const Vec3 normal{0, 0, 1};
    const float d = 0.01f;
    {
        Vec3 c[3] = {original[0], original[1], original[2]};
        Engine::InsetFlaggedEdges(c, normal, 0, d);
        for (int k = 0; k < 3; k++)
            EXPECT_EQ(c[k], original[k]);
    }
    {
        // Edge 0 (y = 0) moves in; corner 2 stays.
        Vec3 c[3] = {original[0], original[1], original[2]};
        Engine::InsetFlaggedEdges(c, normal, Engine::BorderEdgeBit(0), d);
        EXPECT_EQ(c[2], original[2]);
        for (int k = 0; k < 2; k++) {
            EXPECT_GT(c[k].y, 0.5f * d) << k;
            EXPECT_LT(c[k].y, 3.0f * d) << k;
            EXPECT_EQ(c[k].z, 0.0f);
        }
        EXPECT_GT(c[0].x, 0.0f);
        EXPECT_LT(c[1].x, 1.0f);
    }
    {
        // All three edges: every corner ends strictly inside the original triangle.
        Vec3 c[3] = {original[0], original[1], original[2]};
        Engine::InsetFlaggedEdges(c, normal, Engine::TriangleBorderEdges, d);
        for (int k = 0; k < 3; k++) {
            EXPECT_GT(c[k].x, 0.5f * d) << k;
            EXPECT_GT(c[k].y, 0.5f * d) << k;
            EXPECT_LT(c[k].x + c[k].y, 1 - 0.5f * d) << k;
        }
    }
    {
        // A triangle smaller than the distance keeps its corners: nothing may turn it over.
        const Vec3 small[3] = {{0, 0, 0}, {0.01f, 0, 0}, {0, 0.01f, 0}};
        Vec3 c[3] = {small[0], small[1], small[2]};
        Engine::InsetFlaggedEdges(c, normal, Engine::TriangleBorderEdges, 0.03f);
        for (int k = 0; k < 3; k++)
            EXPECT_EQ(c[k], small[k]);
    }
}

TEST(Texels, EvaluatedSamplesKeepOffBorderEdges)
{
    auto staged = Prepare(Settings(0.25f), ChartTest::Floor(1.0f, 1));
    staged->BuildGroups();
    ASSERT_EQ(staged->groups.size(), 1u);
    const Engine::LmGroup& group = staged->groups[0];
    Engine::TexelSample sample;
    // On the outer edge y = 0 of triangle 0: moved inside by the inset.
    const float epsilon = staged->Settings().epsilon;
    ASSERT_TRUE(Engine::EvaluateTexelSample(staged->mesh, epsilon, 0, group, {0.5f, 0}, sample));
    EXPECT_GT(sample.position.y, epsilon);
    // Well inside: the point itself.
    ASSERT_TRUE(Engine::EvaluateTexelSample(staged->mesh, epsilon, 0, group, {0.7f, 0.3f}, sample));
    EXPECT_EQ(sample.position, (Vec3{0.7f, 0.3f, 0}));
    // Far outside: the nearest point of the inset triangle.
    ASSERT_TRUE(Engine::EvaluateTexelSample(staged->mesh, epsilon, 0, group, {0.5f, -5}, sample));
    EXPECT_GT(sample.position.y, epsilon);
}

TEST(Texels, PackedSamplesAreWhatFindGroupSampleFinds)
{
    // Texel points on shared edges and corners (the floor), on many small charts of a rough
    // surface (the terrain) and on a helix whose turns lie above one another.
    const std::vector<MeshTriangle> meshes[] = {ChartTest::Floor(4.0f, 4), ChartTest::Terrain(8, 0.5f, 5),
                                                ChartTest::Helix(2, 12, 0.5f)};
    for (const auto& mesh : meshes) {
        Engine::LightmapperSettings settings = Settings(0.25f);
        settings.superSampling = true;
        auto staged = Prepare(settings, mesh);
        staged->BuildGroups();
        int64_t samples = 0;
        for (int32_t g = 0; g < int32_t(staged->groups.size()); g++) {
            const Engine::LmGroup& group = staged->groups[size_t(g)];
            Engine::TexelRunCursor cursor(group, 0);
            int32_t slots[25];
            for (int32_t j = 0; j < group.gridHeight; j++) {
                for (int32_t i = 0; i < group.gridWidth; i++) {
                    cursor.Next(slots);
                    for (int32_t s = 0; s < 25; s++) {
                        const Vec2 o = Engine::subsampleOffsets[s];
                        Engine::TexelSample sample;
                        const Vec2 q = SamplePoint(group, i, j, o);
                        ASSERT_EQ(slots[s], Engine::FindGroupSample(staged->Search(), staged->groups[size_t(g)], g, q, sample))
                            << "group " << g << " texel " << i << "," << j << " slot " << s;
                        samples++;
                    }
                }
            }
        }
        EXPECT_GT(samples, 1000);
    }
}
