#include "engine/lightmapper/post_process.h"

#include <gtest/gtest.h>

#include <functional>

#include "lightmapper_fixture.h"

namespace {

using Engine::LmGroup;

// A group whose texels are covered (slot 0 names triangle 0) where `covered` says so, with
// basis 0 holding `value` everywhere (uncovered texels included).
LmGroup MakeGroup(int32_t w, int32_t h, const std::function<bool(int32_t, int32_t)>& covered,
                  const std::function<float(int32_t, int32_t)>& value)
{
    LmGroup group;
    group.gridWidth = w;
    group.gridHeight = h;
    group.texelSize[0] = group.texelSize[1] = 0.25f;
    group.coverage.assign(size_t(w * h + 63) / 64, 0);
    for (int32_t y = 0; y < h; y++) {
        for (int32_t x = 0; x < w; x++) {
            bool c = covered(x, y);
            group.texelTris.push_back(c ? 0 : -1);
            group.texelRuns.push_back(1);
            if (c)
                group.SetCovered(y * w + x);
            float v = value(x, y);
            group.basis[0].push_back({v, v, v});
        }
    }
    return group;
}

// Ambient-occlusion settings with the given post-processing, and the group they work on.
struct Fixture {
    explicit Fixture(int32_t kernel, uint32_t flags = Engine::FinalBlur | Engine::PotLightmaps, float power = 1.0f)
        : settings(LightmapperTest::AoSettings())
    {
        settings.blurKernel = kernel;
        settings.flags = flags;
        settings.aoPower = power;
    }
    float Value(int32_t x, int32_t y) const { return group.basis[0][size_t(y * group.gridWidth + x)].x; }
    Engine::LightmapperSettings settings;
    LmGroup group;
};

TEST(AutoKernelSize, GrowsTwoPerHalvingBelowAQuarter)
{
    const struct {
        float texelSize;
        int32_t kernel;
    } cases[] = {{0.25f, 5}, {0.125f, 7}, {0.0625f, 9}, {0.2f, 5}, {0.17f, 7}, {1.0f, 5}, {16.0f, 5}};
    for (const auto& c : cases) {
        LmGroup group;
        group.texelSize[0] = c.texelSize;
        group.texelSize[1] = c.texelSize / 2;  // the larger size decides
        EXPECT_EQ(Engine::AutoKernelSize(group), c.kernel) << c.texelSize;
    }
}

TEST(PostProcessAoGroup, BlurReachesHalfAKernelAboveAndBelowOnly)
{
    // Row 0 covered at 1.0; everything below uncovered. -k 4 becomes 5 (reach 2), -k 6 becomes 7.
    const struct {
        int32_t kernel, reach;
    } cases[] = {{4, 2}, {5, 2}, {6, 3}, {0, 2}};
    for (const auto& c : cases) {
        Fixture f(c.kernel);
        f.group = MakeGroup(
            6, 6, [](int32_t, int32_t y) { return y == 0; }, [](int32_t, int32_t y) { return y == 0 ? 1.0f : 0.5f; });
        Engine::PostProcessAoGroup(f.settings, f.group);
        for (int32_t y = 0; y < 6; y++)
            EXPECT_FLOAT_EQ(f.Value(3, y), y <= c.reach ? 1.0f : 0.0f) << "-k " << c.kernel << " row " << y;
    }
}

TEST(PostProcessAoGroup, CoveredTexelsAverageOnlyCoveredOnesAndSideNeighboursStayEmpty)
{
    Fixture f(0);
    // Covered: texel (2, 2) alone at 0.8 and a column x = 5 at 0.2; (0, 2) is uncovered and only
    // beside covered texels, never above or below them.
    f.group = MakeGroup(
        8, 5, [](int32_t x, int32_t y) { return (x == 2 && y == 2) || x == 5; },
        [](int32_t x, int32_t) { return x == 2 ? 0.8f : x == 5 ? 0.2f : 0.9f; });
    Engine::PostProcessAoGroup(f.settings, f.group);
    EXPECT_FLOAT_EQ(f.Value(2, 2), 0.8f);   // no covered neighbour within reach along its row
    EXPECT_FLOAT_EQ(f.Value(5, 0), 0.2f);
    EXPECT_FLOAT_EQ(f.Value(2, 0), 0.8f);   // filled from the covered texel two rows below
    EXPECT_FLOAT_EQ(f.Value(0, 1), 0.0f);   // beside covered texels only: nothing above or below
    EXPECT_FLOAT_EQ(f.Value(7, 4), 0.0f);
}

TEST(PostProcessAoGroup, PowerAndSwitches)
{
    auto everywhere = [](int32_t, int32_t) { return true; };
    auto ramp = [](int32_t x, int32_t) { return x == 0 ? -0.5f : x == 1 ? 0.5f : 1.5f; };
    {
        Fixture f(0, Engine::PotLightmaps, 2.0f);  // -b -p 2: no blur, clamped then squared
        f.group = MakeGroup(3, 2, everywhere, ramp);
        Engine::PostProcessAoGroup(f.settings, f.group);
        EXPECT_FLOAT_EQ(f.Value(0, 1), 0.0f);
        EXPECT_FLOAT_EQ(f.Value(1, 1), 0.25f);
        EXPECT_FLOAT_EQ(f.Value(2, 1), 1.0f);
    }
    {
        Fixture f(1, Engine::FinalBlur, 2.0f);  // -k 1: raw values, no blur, no power
        f.group = MakeGroup(3, 2, everywhere, ramp);
        Engine::PostProcessAoGroup(f.settings, f.group);
        EXPECT_FLOAT_EQ(f.Value(0, 0), -0.5f);
        EXPECT_FLOAT_EQ(f.Value(2, 0), 1.5f);
    }
}

TEST(BlurGroup, GroupWithoutCoveredTexelsEndsAllZero)
{
    Fixture f(0);
    f.group = MakeGroup(
        4, 4, [](int32_t, int32_t) { return false; }, [](int32_t, int32_t) { return 0.7f; });
    Engine::BlurGroup(f.settings, 5, f.group, false);
    for (int32_t y = 0; y < 4; y++)
        for (int32_t x = 0; x < 4; x++)
            EXPECT_EQ(f.Value(x, y), 0.0f);
}

}  // namespace
