#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/lightmapper/lightmapper.h"
#include "lightmapper_fixture.h"

using Engine::Lightmapper;
using Engine::LightmapperSettings;
using LightmapperTest::LogCapture;
using LightmapperTest::Tri;

namespace {

struct ProgressCall {
    float percent, value;
    std::string title;
};

void AddQuad(Lightmapper& lm)
{
    ASSERT_EQ(lm.AddTriangle(Tri({0, 0, 0}, {0, 1, 0}, {1, 0, 0})), 0);
    ASSERT_EQ(lm.AddTriangle(Tri({1, 0, 0}, {0, 1, 0}, {1, 1, 0})), 1);
}

// Log lines that begin with "LM: ", in order.
std::vector<std::string> StageLines(const std::vector<std::string>& lines)
{
    std::vector<std::string> result;
    for (const std::string& line : lines)
        if (line.rfind("LM: ", 0) == 0)
            result.push_back(line);
    return result;
}

}  // namespace

TEST(Lightmapper, BuildAnnouncesAndRunsItsStagesInOrder)
{
    LightmapperSettings settings;
    settings.basisCount = 1;
    settings.sampleCount = 8;
    settings.aoDistance = 3.0f;
    settings.superSampling = false;
    settings.atlasSize = 64;
    Lightmapper lm(settings);
    AddQuad(lm);
    std::vector<ProgressCall> calls;
    lm.progress = [&](float percent, float value, const std::string& title) {
        calls.push_back({percent, value, title});
    };
    LogCapture log;
    Engine::LmCharts charts;
    ASSERT_TRUE(lm.Build(false, false, &charts));

    std::vector<std::string> titles;
    for (const ProgressCall& call : calls) {
        if (!call.title.empty()) {
            titles.push_back(call.title);
            EXPECT_EQ(call.percent, 0.0f) << call.title;
        }
    }
    const std::vector<std::string> stages = {"Building connectivity", "Building KdTree", "Grouping",
                                             "Grouping (assign)", "Grouping (merge)", "Grouping (compress)",
                                             "Grouping (allocate)", "Sorting groups", "Ambient occlusion",
                                             "Building atlas", "Optimizing atlas, pass 1"};
    ASSERT_GE(titles.size(), stages.size());
    EXPECT_EQ(std::vector<std::string>(titles.begin(), titles.begin() + long(stages.size())), stages);
    EXPECT_EQ(calls.back().title, "");
    EXPECT_EQ(calls.back().percent, -1.0f);
    EXPECT_EQ(calls.back().value, -1.0f);

    std::vector<std::string> lines = StageLines(log.lines);
    const std::vector<std::string> expectedLines = {"LM: building connectivity", "LM: building tree", "LM: grouping",
                                                    "LM: allocated, sorting...", "LM: Ambient occlusion", "LM: atlas",
                                                    "LM: done"};
    ASSERT_EQ(lines.size(), expectedLines.size() + 1);
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.end() - 1), expectedLines);
    EXPECT_EQ(lines.back().rfind("LM: full rebuild took ", 0), 0u) << lines.back();

    // The stages really ran: neighbours linked, one chart placed and handed over with its task.
    const Engine::LmMesh& mesh = lm.Mesh();
    EXPECT_EQ(mesh.triangles[0].neighbour[1], 1);
    EXPECT_EQ(mesh.triangles[0].group, 0);
    EXPECT_EQ(mesh.triangles[1].group, 0);
    EXPECT_EQ(mesh.triangles[0].page, 0);
    ASSERT_EQ(charts.groups.size(), 1u);
    EXPECT_EQ(charts.groups[0].triangles, (std::vector<int32_t>{0, 1}));
    EXPECT_EQ(charts.groups[0].page, 0);
    ASSERT_EQ(charts.tasks.size(), 1u);
    EXPECT_EQ(charts.tasks[0].group, 0);
    EXPECT_EQ(lm.Atlases(0).PageCount(), 1);
}

TEST(Lightmapper, EmissiveObjectsAreMarked)
{
    Lightmapper lm(LightmapperSettings{});
    Engine::InputTriangle lamp = Tri({0, 0, 0}, {0, 1, 0}, {1, 0, 0});
    lamp.name = "lamp";
    lamp.flags = Engine::TriangleNoAoRays;
    Engine::InputTriangle wall = Tri({1, 0, 0}, {0, 1, 0}, {1, 1, 0});
    wall.name = "wall";
    ASSERT_EQ(lm.AddTriangle(lamp), 0);
    ASSERT_EQ(lm.AddTriangle(wall), 1);
    lm.Mesh().objects[size_t(lm.FindOrAddObject("lamp"))].colour = {0, 0, 2};
    // Ambient occlusion only, with no distance: no pass runs that would light the wall.
    ASSERT_TRUE(lm.Build(true, false));
    // Grouping adds border-edge bits on top; the low byte is the object flag word.
    EXPECT_EQ(lm.Mesh().triangles[0].flags & 0xFFu, 0xA1u);  // emissive adds 0x20 and 0x80
    EXPECT_EQ(lm.Mesh().triangles[1].flags & 0xFFu, 0u);
}

TEST(Lightmapper, CancelStopsTheBuildAtTheNextCheck)
{
    Lightmapper lm(LightmapperSettings{});
    AddQuad(lm);
    std::vector<std::string> titles;
    lm.progress = [&](float, float, const std::string& title) {
        titles.push_back(title);
        if (title == "Building connectivity")
            lm.Cancel();
    };
    LogCapture log;
    EXPECT_FALSE(lm.Build(false, false));
    EXPECT_TRUE(lm.IsCancelled());
    // The running stage finishes; nothing after it runs, not even the final report.
    EXPECT_EQ(titles, std::vector<std::string>{"Building connectivity"});
    EXPECT_EQ(StageLines(log.lines), std::vector<std::string>{"LM: building connectivity"});
    EXPECT_EQ(lm.Mesh().triangles[0].neighbour[1], 1);

    // A new build starts uncancelled.
    lm.progress = nullptr;
    EXPECT_TRUE(lm.Build(false, false));
    EXPECT_FALSE(lm.IsCancelled());
}

TEST(Lightmapper, LightingModeRunsItsPassesAsTheSwitchesAllow)
{
    const std::vector<std::string> head = {"LM: building connectivity", "LM: building tree", "LM: grouping",
                                           "LM: allocated, sorting..."};
    const std::vector<std::string> tail = {"LM: atlas", "LM: done"};
    const struct {
        const char* name;
        bool aoOnly, skipFinalGather;
        int32_t samples;
        std::vector<std::string> lines, titles;
    } cases[] = {
        {"8 samples: two bounces", false, false, 8,
         {"LM: pre-raytracing", "LM: final gather", "LM: bounce 0", "LM: bounce 1", "LM: raytracing"},
         {"Pre-raytracing", "Indirect bounce 1/4", "Indirect bounce 2/4", "Raytracing"}},
        {"final gather skipped", false, true, 8, {"LM: pre-raytracing", "LM: raytracing"}, {"Pre-raytracing", "Raytracing"}},
        {"no samples", false, false, 0, {"LM: pre-raytracing", "LM: raytracing"}, {"Pre-raytracing", "Raytracing"}},
        // Ambient occlusion only, but no distance to trace it with: neither mode runs.
        {"ambient occlusion only", true, false, 8, {}, {}},
    };
    for (const auto& c : cases) {
        LightmapperSettings settings;
        settings.basisCount = 1;
        settings.sampleCount = c.samples;
        settings.aoDistance = 0;
        settings.superSampling = false;
        settings.atlasSize = 64;
        Lightmapper lm(settings);
        AddQuad(lm);
        std::vector<ProgressCall> calls;
        lm.progress = [&](float percent, float value, const std::string& title) {
            calls.push_back({percent, value, title});
        };
        LogCapture log;
        ASSERT_TRUE(lm.Build(c.aoOnly, c.skipFinalGather)) << c.name;

        std::vector<std::string> expected = head;
        expected.insert(expected.end(), c.lines.begin(), c.lines.end());
        expected.insert(expected.end(), tail.begin(), tail.end());
        std::vector<std::string> lines = StageLines(log.lines);
        ASSERT_FALSE(lines.empty());
        lines.pop_back();  // "LM: full rebuild took ..."
        EXPECT_EQ(lines, expected) << c.name;

        std::vector<std::string> titles;
        for (const ProgressCall& call : calls) {
            if (call.title == "Sorting groups" || call.title == "Building atlas")
                titles.push_back(call.title);
            if (call.title == "Pre-raytracing" || call.title == "Raytracing" || call.title.rfind("Indirect", 0) == 0) {
                titles.push_back(call.title);
                EXPECT_EQ(call.percent, 0.0f) << call.title;
            }
            // The bounces' own progress value: half way, then on by 50 / 4 per bounce.
            if (call.title == "Indirect bounce 2/4") {
                EXPECT_EQ(call.value, 62.5f);
            }
        }
        std::vector<std::string> expectedTitles = {"Sorting groups"};
        expectedTitles.insert(expectedTitles.end(), c.titles.begin(), c.titles.end());
        expectedTitles.push_back("Building atlas");
        EXPECT_EQ(titles, expectedTitles) << c.name;
    }
}
