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

TEST(Lightmapper, CopiesSettings)
{
    const struct {
        int32_t sampleCount;
        bool superSampling;
        bool noSamples;
        int32_t samplesPerTexel;
    } cases[] = {{256, true, false, 25}, {1, false, false, 1}, {0, true, true, 25}, {-3, false, true, 1}};
    for (const auto& c : cases) {
        LightmapperSettings settings;
        settings.sampleCount = c.sampleCount;
        settings.superSampling = c.superSampling;
        settings.texelSize = 0.5f;
        settings.aoDistance = 3.0f;
        settings.blurKernel = 7;
        Lightmapper lm(settings);
        EXPECT_EQ(lm.noSamples, c.noSamples) << c.sampleCount;
        EXPECT_EQ(lm.samplesPerTexel, c.samplesPerTexel) << c.superSampling;
        EXPECT_EQ(lm.sampleCount, c.sampleCount);
        EXPECT_EQ(lm.texelSize, 0.5f);
        EXPECT_EQ(lm.aoDistance, 3.0f);
        EXPECT_EQ(lm.blurKernel, 7);
        EXPECT_EQ(lm.flags, settings.flags);
    }
}

TEST(Lightmapper, BuildAnnouncesAndRunsItsStagesInOrder)
{
    Lightmapper lm(LightmapperSettings{});
    AddQuad(lm);
    std::vector<ProgressCall> calls;
    lm.progress = [&](float percent, float value, const std::string& title) {
        calls.push_back({percent, value, title});
    };
    LogCapture log;
    ASSERT_TRUE(lm.Build(false, false));

    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].title, "Building connectivity");
    EXPECT_EQ(calls[0].percent, 0.0f);
    EXPECT_EQ(calls[0].value, 0.0f);
    EXPECT_EQ(calls[1].title, "");
    EXPECT_EQ(calls[1].percent, -1.0f);
    EXPECT_EQ(calls[1].value, -1.0f);

    std::vector<std::string> lines = StageLines(log.lines);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "LM: building connectivity");
    EXPECT_EQ(lines[1], "LM: done");
    EXPECT_EQ(lines[2].rfind("LM: full rebuild took ", 0), 0u) << lines[2];
    EXPECT_EQ(lines[2].substr(lines[2].size() - 5), " msec") << lines[2];

    // Connectivity really ran.
    EXPECT_EQ(lm.triangles[0].neighbour[1], 1);
    EXPECT_EQ(lm.triangles[1].neighbour[0], 0);
    EXPECT_TRUE(lm.groups.empty());
}

TEST(Lightmapper, EmissiveObjectsAreMarked)
{
    Lightmapper lm(LightmapperSettings{});
    Engine::InputTriangle lamp = Tri({0, 0, 0}, {0, 1, 0}, {1, 0, 0});
    lamp.name = "lamp";
    lamp.flags = 0x01;
    Engine::InputTriangle wall = Tri({1, 0, 0}, {0, 1, 0}, {1, 1, 0});
    wall.name = "wall";
    ASSERT_EQ(lm.AddTriangle(lamp), 0);
    ASSERT_EQ(lm.AddTriangle(wall), 1);
    lm.objects[size_t(lm.FindOrAddObject("lamp"))].colour = {0, 0, 2};
    ASSERT_TRUE(lm.Build(false, false));
    EXPECT_EQ(lm.triangles[0].flags, 0xA1u);
    EXPECT_EQ(lm.triangles[1].flags, 0u);
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
    EXPECT_EQ(lm.triangles[0].neighbour[1], 1);

    // A new build starts uncancelled.
    lm.progress = nullptr;
    EXPECT_TRUE(lm.Build(false, false));
    EXPECT_FALSE(lm.IsCancelled());
}
