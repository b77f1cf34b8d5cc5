#include <gtest/gtest.h>

#include <vector>

#include "chart_fixture.h"
#include "engine/lightmapper/grouping.h"
#include "engine/lightmapper/texels.h"

using ChartTest::MeshTriangle;

namespace {

std::vector<MeshTriangle> MixedScene()
{
    std::vector<MeshTriangle> mesh = ChartTest::Terrain(16, 0.5f, 11);
    for (const auto& part : {ChartTest::Helix(2, 16, 0.5f), ChartTest::Box({1, 1, 2}, {3, 2, 4})})
        mesh.insert(mesh.end(), part.begin(), part.end());
    // A coarse object and one at another multiplier beside the rest.
    for (MeshTriangle t : ChartTest::Box({6, 0, 0}, {7, 1, 1})) {
        t.flags = Engine::TriangleCoarse;
        mesh.push_back(t);
    }
    for (MeshTriangle t : ChartTest::Floor(2, 3, 2u << 16)) {
        t.a.x += 10;
        t.b.x += 10;
        t.c.x += 10;
        mesh.push_back(t);
    }
    return mesh;
}

}  // namespace

TEST(GroupingThreads, ResultsDoNotDependOnTheThreadCount)
{
    for (bool superSampling : {false, true}) {
        SCOPED_TRACE(superSampling);
        Engine::LightmapperSettings settings = ChartTest::Settings(0.125f);
        settings.superSampling = superSampling;
        auto one = ChartTest::Prepare(settings, MixedScene(), 1);
        auto two = ChartTest::Prepare(settings, MixedScene(), 2);
        ASSERT_EQ(one->lm.Pool().GetThreadCount(), 1);
        ASSERT_EQ(two->lm.Pool().GetThreadCount(), 2);
        one->BuildGroups();
        two->BuildGroups();
        one->build.Tasks();
        two->build.Tasks();
        const std::vector<Engine::GroupTask>& oneTasks = one->build.charts.tasks;
        const std::vector<Engine::GroupTask>& twoTasks = two->build.charts.tasks;
        ASSERT_EQ(one->groups.size(), two->groups.size());
        ASSERT_GT(one->groups.size(), 10u);
        for (size_t g = 0; g < one->groups.size(); g++) {
            const Engine::LmGroup& a = one->groups[g];
            const Engine::LmGroup& b = two->groups[g];
            EXPECT_EQ(a.triangles, b.triangles) << g;
            EXPECT_EQ(a.gridWidth, b.gridWidth) << g;
            EXPECT_EQ(a.gridHeight, b.gridHeight) << g;
            EXPECT_EQ(a.texelSize[0], b.texelSize[0]) << g;
            for (int r = 0; r < 3; r++)
                EXPECT_EQ(a.texelToChart.row[r], b.texelToChart.row[r]) << g;
            EXPECT_EQ(a.coverage, b.coverage) << g;
            EXPECT_EQ(a.texelTris, b.texelTris) << g;
            EXPECT_EQ(a.texelRuns, b.texelRuns) << g;
        }
        const std::vector<Engine::LmTriangle>& oneTriangles = one->mesh.triangles;
        const std::vector<Engine::LmTriangle>& twoTriangles = two->mesh.triangles;
        ASSERT_EQ(oneTriangles.size(), twoTriangles.size());
        for (size_t t = 0; t < oneTriangles.size(); t++) {
            EXPECT_EQ(oneTriangles[t].group, twoTriangles[t].group) << t;
            EXPECT_EQ(oneTriangles[t].flags, twoTriangles[t].flags) << t;
            EXPECT_EQ(oneTriangles[t].projKey, twoTriangles[t].projKey) << t;
        }
        ASSERT_EQ(oneTasks.size(), twoTasks.size());
        for (size_t k = 0; k < oneTasks.size(); k++) {
            EXPECT_EQ(oneTasks[k].group, twoTasks[k].group);
            EXPECT_EQ(oneTasks[k].firstRow, twoTasks[k].firstRow);
            EXPECT_EQ(oneTasks[k].firstRun, twoTasks[k].firstRun);
        }
    }
}
