#include "engine/lightmapper/ambient_occlusion.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "ao_fixture.h"
#include "engine/lightmapper/lightmapper.h"
#include "lightmapper_fixture.h"

using AoTest::AddQuad;
using AoTest::Bake;
using AoTest::Baked;
using AoTest::RawSettings;
using AoTest::Texel;
using Engine::Lightmapper;
using Geom::Vec3;

namespace {

int32_t CoveredCount(const Baked& baked)
{
    int32_t n = 0;
    for (const Texel& t : baked.texels)
        n += t.triangle >= 0;
    return n;
}

// A plate of side s at height z facing up (or down), corner at the origin.
void AddPlate(Lightmapper& lm, float s, float z, bool up, Vec3 normal = {0, 0, 0}, uint32_t flags = 0)
{
    if (up)
        AddQuad(lm, {0, 0, z}, {s, 0, 0}, {0, s, 0}, normal, flags);
    else
        AddQuad(lm, {0, 0, z}, {0, s, 0}, {s, 0, 0}, normal, flags);
}

}  // namespace

TEST(AoRandom, MatchesIndependentlyComputedSequence)
{
    // From a separate implementation of the two-word generator (64 warm-up steps after seeding).
    const struct {
        uint64_t seed, s0, s1;
        uint32_t next[3];
    } cases[] = {
        {0, 0x4d6cf99cc6d9b25dull, 0x358a3079bea50886ull, {0x86fea32du, 0x7c37370au, 0xbba0dcc4u}},
        {1, 0xb93e418618067ec9ull, 0x8466f8a08c8a0b02ull, {0x51c10043u, 0x25a5807au, 0x0d5eeee6u}},
        {7, 0x63bcee3e4ede8674ull, 0x59386b5795036a1dull, {0xae21035au, 0xb6227a45u, 0xc6cf2668u}},
        {123456789, 0x3efe57f39a97dfe3ull, 0xb4ffcded8c05c8d9ull, {0x8bfd866au, 0xc962f0feu, 0xc82caeabu}},
    };
    for (const auto& c : cases) {
        Engine::AoRandom random;
        random.Seed(c.seed);
        EXPECT_EQ(random.s0, c.s0) << "seed " << c.seed;
        EXPECT_EQ(random.s1, c.s1) << "seed " << c.seed;
        for (uint32_t expected : c.next)
            EXPECT_EQ(random.Next(), expected) << "seed " << c.seed;
    }
}

TEST(AmbientOcclusion, LonePlaneIsFullyOpenAndEveryCoveredTexelCastsItsRays)
{
    Lightmapper lm(RawSettings(64, 3.0f));
    AddPlate(lm, 8, 0, true, {0, 0, 1});
    LightmapperTest::LogCapture log;
    Baked baked = Bake(lm, 1);
    ASSERT_TRUE(baked.built);
    const int32_t covered = CoveredCount(baked);
    ASSERT_GT(covered, 0);
    for (const Texel& t : baked.texels) {
        if (t.triangle >= 0)
            EXPECT_EQ(t.value.x, 1.0f) << t.x << "," << t.y;
        else
            EXPECT_EQ(t.value.x, 0.0f) << t.x << "," << t.y;
        EXPECT_EQ(t.value.x, t.value.y);
        EXPECT_EQ(t.value.x, t.value.z);
    }
    EXPECT_EQ(baked.rays, uint64_t(covered) * 64u);

    // "AO" opens the pass and "\ttook %d msec" closes it.
    size_t ao = 0;
    while (ao < log.lines.size() && log.lines[ao] != "AO")
        ao++;
    ASSERT_LT(ao, log.lines.size());
    bool took = false;
    for (size_t i = ao + 1; i < log.lines.size() && !took; i++)
        took = log.lines[i].rfind("\ttook ", 0) == 0 && log.lines[i].find(" msec") != std::string::npos;
    EXPECT_TRUE(took);
}

TEST(AmbientOcclusion, ReportsOneProgressCallPerTaskInTaskOrder)
{
    Lightmapper lm(RawSettings(1, 3.0f, 0.125f));  // 80 x 80 texel plates: two tasks each
    AddPlate(lm, 10, 0, true, {0, 0, 1});
    AddPlate(lm, 10, 1, false, {0, 0, -1});
    // Of the stages up to the pass, only the pass reports progress with the value -1.
    std::vector<float> percents;
    lm.progress = [&](float percent, float value, const std::string&) {
        if (value == -1.0f)
            percents.push_back(percent);
    };
    Baked baked = Bake(lm, 1);
    ASSERT_TRUE(baked.built);
    const int32_t taskCount = int32_t(baked.tasks.size());
    ASSERT_GT(taskCount, 2);
    ASSERT_EQ(int32_t(percents.size()), taskCount);
    for (int32_t k = 0; k < taskCount; k++)
        EXPECT_EQ(percents[size_t(k)], 100.0f * float(k) / float(taskCount));
}

// Two large plates facing each other at distance h: a cosine-weighted ray at cos(theta) = mu
// scores min(h / (D mu), 1), so the mean is 2a - a^2 with a = h / D (h less the lift of the
// origins). Texels farther than sqrt(D^2 - h^2) from the plates' edges see exactly this.
TEST(AmbientOcclusion, ParallelPlatesMatchTheAnalyticOpenness)
{
    const int32_t n = 256;
    const float distance = 3.0f, side = 12.0f;
    const struct {
        float height;
    } cases[] = {{1.0f}, {2.0f}};
    for (const auto& c : cases) {
        Lightmapper lm(RawSettings(n, distance));
        AddPlate(lm, side, 0, true, {0, 0, 1});
        AddPlate(lm, side, c.height, false, {0, 0, -1});
        Baked baked = Bake(lm, 2);
        ASSERT_TRUE(baked.built);

        const double a = (double(c.height) - double(lm.Settings().epsilon)) / distance;
        const double mean = 2 * a - a * a;
        const double second = a * a + 2 * a * a * std::log(1 / a);  // E[score^2]
        const double sigma = std::sqrt(second - mean * mean);
        // Stratification only narrows the spread of independent rays; four sigmas of those.
        const double texelTolerance = 4 * sigma / std::sqrt(double(n));
        double sum = 0;
        int32_t middle = 0;
        const float reach = std::sqrt(distance * distance - c.height * c.height) + 0.5f;
        for (const Texel& t : baked.texels) {
            if (t.triangle < 0)
                continue;
            if (t.position.x < reach || t.position.x > side - reach || t.position.y < reach ||
                t.position.y > side - reach)
                continue;
            EXPECT_NEAR(t.value.x, mean, texelTolerance) << "h " << c.height << " at " << t.position.x << ","
                                                         << t.position.y << "," << t.position.z;
            sum += t.value.x;
            middle++;
        }
        ASSERT_GE(middle, 8) << "h " << c.height;
        // Every texel turns the set by its own angle; what stays shared is the radial strata,
        // a bias below 1/N.
        EXPECT_NEAR(sum / middle, mean, 4 * sigma / std::sqrt(double(n) * middle) + 1.0 / n) << "h " << c.height;
        EXPECT_EQ(baked.rays, uint64_t(CoveredCount(baked)) * uint64_t(n));
    }
}

TEST(AmbientOcclusion, ZeroNormalsFallBackOnTheFaceNormal)
{
    // Same plates once with explicit normals equal to the face normals and once without any:
    // the frame and the lifted origins must come out bit for bit the same.
    std::vector<Texel> explicitNormals, faceNormals;
    for (int pass = 0; pass < 2; pass++) {
        Lightmapper lm(RawSettings(32, 3.0f));
        AddPlate(lm, 6, 0, true, pass == 0 ? Vec3{0, 0, 1} : Vec3{0, 0, 0});
        AddPlate(lm, 6, 1, false, pass == 0 ? Vec3{0, 0, -1} : Vec3{0, 0, 0});
        Baked baked = Bake(lm, 1);
        ASSERT_TRUE(baked.built);
        (pass == 0 ? explicitNormals : faceNormals) = baked.texels;
    }
    ASSERT_EQ(explicitNormals.size(), faceNormals.size());
    bool someOccluded = false;
    for (size_t i = 0; i < explicitNormals.size(); i++) {
        EXPECT_EQ(explicitNormals[i].value.x, faceNormals[i].value.x) << i;
        EXPECT_FALSE(std::isnan(faceNormals[i].value.x)) << i;
        someOccluded = someOccluded || (faceNormals[i].triangle >= 0 && faceNormals[i].value.x < 0.9f);
    }
    EXPECT_TRUE(someOccluded);
}

TEST(AmbientOcclusion, ClosedBoxLargerThanTheDistanceIsOpenAtTheFloorsMiddle)
{
    const float s = 10.0f;
    Lightmapper lm(RawSettings(32, 3.0f));
    // Six faces, all facing inwards.
    AddQuad(lm, {0, 0, 0}, {s, 0, 0}, {0, s, 0}, {0, 0, 1});
    AddQuad(lm, {0, 0, s}, {0, s, 0}, {s, 0, 0}, {0, 0, -1});
    AddQuad(lm, {0, 0, 0}, {0, s, 0}, {0, 0, s}, {1, 0, 0});
    AddQuad(lm, {s, 0, 0}, {0, 0, s}, {0, s, 0}, {-1, 0, 0});
    AddQuad(lm, {0, 0, 0}, {0, 0, s}, {s, 0, 0}, {0, 1, 0});
    AddQuad(lm, {0, s, 0}, {s, 0, 0}, {0, 0, s}, {0, -1, 0});
    Baked baked = Bake(lm, 2);
    ASSERT_TRUE(baked.built);
    int32_t middle = 0;
    float corner = 1.0f;
    for (const Texel& t : baked.texels) {
        if (t.triangle < 0 || std::fabs(t.position.z) > 0.01f)
            continue;
        if (std::fabs(t.position.x - s / 2) < 1.6f && std::fabs(t.position.y - s / 2) < 1.6f) {
            EXPECT_EQ(t.value.x, 1.0f) << t.position.x << "," << t.position.y;
            middle++;
        }
        if (t.position.x < 1 && t.position.y < 1)
            corner = std::min(corner, t.value.x);
    }
    EXPECT_GE(middle, 9);
    EXPECT_LT(corner, 0.75f);  // the walls are there: a floor corner is half closed
}

TEST(AmbientOcclusion, OneSampleTracesAlongTheInterpolatedNormal)
{
    // A cover at height 1 over the half x < 6 of a floor. The single ray leaves along the corner
    // normal, whatever the texel's random turn, and meets the cover at (1 - lift) / n.z.
    const struct {
        Vec3 normal;
    } cases[] = {{{0, 0, 1}}, {{0.6f, 0, 0.8f}}};
    for (const auto& c : cases) {
        Lightmapper lm(RawSettings(1, 3.0f));
        AddPlate(lm, 12, 0, true, c.normal);
        AddQuad(lm, {0, 0, 1}, {0, 12, 0}, {6, 0, 0}, {0, 0, -1});
        Baked baked = Bake(lm, 1);
        ASSERT_TRUE(baked.built);
        const float lift = c.normal.z * lm.Settings().epsilon;
        const float hit = (1.0f - lift) / c.normal.z;
        const float reach = hit * c.normal.x;  // sideways travel up to the cover
        int32_t under = 0, open = 0;
        for (const Texel& t : baked.texels) {
            if (t.triangle < 0 || t.position.z > 0.5f || t.position.y < 1 || t.position.y > 11)
                continue;
            if (t.position.x + reach < 5.5f) {
                EXPECT_NEAR(t.value.x, hit / 3.0f, 1e-5f) << c.normal.x << " at " << t.position.x;
                under++;
            } else if (t.position.x + reach > 6.5f) {
                EXPECT_EQ(t.value.x, 1.0f) << c.normal.x << " at " << t.position.x;
                open++;
            }
        }
        EXPECT_GT(under, 10);
        EXPECT_GT(open, 10);
        EXPECT_EQ(baked.rays, uint64_t(CoveredCount(baked)));
    }
}

TEST(AmbientOcclusion, UntracedTrianglesAreFullyOpenWithoutRays)
{
    const int32_t n = 16;
    Lightmapper lm(RawSettings(n, 3.0f));
    AddPlate(lm, 6, 0, true, {0, 0, 1}, Engine::TriangleUntraced);  // floor
    AddPlate(lm, 6, 0.2f, false, {0, 0, -1});    // cover just above it
    Baked baked = Bake(lm, 1);
    ASSERT_TRUE(baked.built);
    auto onFloor = [](const Texel& t) { return t.position.z < 0.1f; };
    int32_t floor = 0, cover = 0;
    for (const Texel& t : baked.texels) {
        if (t.triangle < 0)
            continue;
        if (onFloor(t)) {
            EXPECT_EQ(t.value.x, 1.0f) << t.position.x << "," << t.position.y;
            floor++;
        } else {
            EXPECT_LT(t.value.x, 1.0f);  // the floor still blocks rays from above
            cover++;
        }
    }
    ASSERT_GT(floor, 0);
    ASSERT_GT(cover, 0);
    EXPECT_EQ(baked.rays, uint64_t(cover) * uint64_t(n));
}

TEST(AmbientOcclusion, NoSamplesGiveZeroNotNaN)
{
    for (int32_t kernel : {1, 0}) {  // raw, then blurred and clamped
        Engine::LightmapperSettings settings = RawSettings(0, 3.0f);
        settings.blurKernel = kernel;
        Lightmapper lm(settings);
        AddPlate(lm, 4, 0, true, {0, 0, 1});
        AddQuad(lm, {10, 0, -5}, {0, 4, 0}, {4, 0, 0}, {0, 0, -1}, Engine::TriangleUntraced);  // own chart: still 1
        Baked baked = Bake(lm, 1);
        ASSERT_TRUE(baked.built);
        int32_t traced = 0, untraced = 0;
        for (const Texel& t : baked.texels) {
            if (t.triangle < 0)
                continue;
            if (t.position.x < 5) {
                EXPECT_EQ(t.value.x, 0.0f) << "-k " << kernel;
                traced++;
            } else {
                EXPECT_EQ(t.value.x, 1.0f) << "-k " << kernel;
                untraced++;
            }
        }
        EXPECT_GT(traced, 0);
        EXPECT_GT(untraced, 0);
        EXPECT_EQ(baked.rays, 0u);
    }
}

TEST(AmbientOcclusion, AbortStopsAtTheNextRowAndLeavesLaterRowsUntouched)
{
    // One 32-wide chart: 128 rows per task. Cancelling when task 1 starts lets task 0 finish and
    // leaves task 1 and every later task without a traced texel.
    Engine::LightmapperSettings settings = RawSettings(1, 3.0f);
    settings.atlasSize = 1024;
    Lightmapper lm(settings);
    AddQuad(lm, {0, 0, 0}, {31.5f, 0, 0}, {0, 300, 0}, {0, 0, 1});
    // The pass alone reports progress with the value -1, once per task as it starts.
    int32_t progressCalls = 0;
    lm.progress = [&](float, float value, const std::string&) {
        if (value == -1.0f && ++progressCalls == 2)
            lm.Cancel();
    };
    Baked baked = Bake(lm, 1);
    EXPECT_FALSE(baked.built);
    ASSERT_EQ(baked.groupStart.size(), 1u);
    ASSERT_GE(baked.tasks.size(), 3u);
    EXPECT_EQ(progressCalls, 2);
    int32_t traced = 0, width = 0;
    for (const Texel& t : baked.texels) {
        width = std::max(width, t.x + 1);
        const bool laterTask = t.y >= baked.tasks[0].rowCount;
        if (laterTask) {
            EXPECT_EQ(t.value.x, 0.0f) << "row " << t.y;
        }
        traced += t.value.x == 1.0f;
    }
    EXPECT_GE(traced, baked.tasks[0].rowCount * (width - 2));
}

TEST(AmbientOcclusion, PowerAndBlurSwitchesApplyToTheTracedValues)
{
    // Raw (-k 1) against -b -p 2: every value clamped and squared, nothing blurred.
    auto bake = [](uint32_t flags, int32_t kernel, float power) {
        Engine::LightmapperSettings settings = RawSettings(64, 3.0f);
        settings.flags = flags;
        settings.blurKernel = kernel;
        settings.aoPower = power;
        Lightmapper lm(settings);
        AddPlate(lm, 6, 0, true, {0, 0, 1});
        AddQuad(lm, {0, 0, 1}, {0, 6, 0}, {3, 0, 0}, {0, 0, -1});
        return Bake(lm, 1);
    };
    Baked raw = bake(Engine::FinalBlur, 1, 2.0f);
    Baked squared = bake(0, 0, 2.0f);
    ASSERT_TRUE(raw.built && squared.built);
    ASSERT_EQ(raw.texels.size(), squared.texels.size());
    bool someBelowOne = false;
    for (size_t i = 0; i < raw.texels.size(); i++) {
        const float v = std::clamp(raw.texels[i].value.x, 0.0f, 1.0f);
        EXPECT_FLOAT_EQ(squared.texels[i].value.x, v * v) << i;
        someBelowOne = someBelowOne || (raw.texels[i].triangle >= 0 && v < 0.9f);
    }
    EXPECT_TRUE(someBelowOne);
}

TEST(AmbientOcclusion, EachTexelTurnsTheHammersleySetByItsTasksGenerator)
{
    // A floor beside a tall wall at x = 8. With the normal along z the frame's b1 is x, so ray i
    // of a texel leaves with dx = sqrt(i / N) cos(phi_i) and scores min((8 - x) / (dx D), 1)
    // when dx > 0, 1 otherwise: the value depends on every angle. The first quarter of the
    // floor is untraced (flag 4) but still draws its texels' turns from the generator.
    const int32_t n = 8;
    const float distance = 3.0f;
    Lightmapper lm(RawSettings(n, distance, 0.5f));
    AddQuad(lm, {0, 0, 0}, {2, 0, 0}, {0, 8, 0}, {0, 0, 1}, Engine::TriangleUntraced);
    AddQuad(lm, {2, 0, 0}, {6, 0, 0}, {0, 8, 0}, {0, 0, 1});
    AddQuad(lm, {8, -4, 0}, {0, 0, 4}, {0, 16, 0}, {-1, 0, 0});
    Baked baked = Bake(lm, 2);
    ASSERT_TRUE(baked.built);

    int32_t checked = 0, open = 0;
    for (int32_t k = 0; k < int32_t(baked.tasks.size()); k++) {
        const Engine::GroupTask& task = baked.tasks[size_t(k)];
        Engine::AoRandom random;
        random.Seed(uint64_t(k));
        const int32_t start = baked.groupStart[size_t(task.group)];
        const int32_t end = task.group + 1 < int32_t(baked.groupStart.size()) ? baked.groupStart[size_t(task.group) + 1]
                                                                            : int32_t(baked.texels.size());
        for (int32_t i = start; i < end; i++) {
            const Texel& t = baked.texels[size_t(i)];
            if (t.y < task.firstRow || t.y >= task.firstRow + task.rowCount || t.triangle < 0)
                continue;
            const float rotation = float(random.Next()) * 2.3283064e-10f * 360.0f;
            const uint32_t flags = lm.Mesh().triangles[size_t(t.triangle)].flags;
            if (std::fabs(t.position.z) > 1e-4f)
                continue;  // the wall
            if (flags & Engine::TriangleUntraced) {
                EXPECT_EQ(t.value.x, 1.0f);
                continue;
            }
            double sum = 0;
            for (int32_t s = 0; s < n; s++) {
                uint32_t bits = 0;
                for (int32_t b = 0; b < 32; b++)
                    bits |= ((uint32_t(s) >> b) & 1u) << (31 - b);
                const double radicalInverse = double(bits) / 4294967296.0;
                const double phi = (360.0 * radicalInverse + rotation) * 3.14159265358979 / 180.0;
                const double dx = std::sqrt(double(s) / n) * std::cos(phi);
                sum += dx > 0 ? std::min((8.0 - t.position.x) / (dx * distance), 1.0) : 1.0;
            }
            EXPECT_NEAR(t.value.x, sum / n, 1e-4) << "task " << k << " texel " << t.x << "," << t.y;
            checked++;
            open += sum == n;
        }
    }
    EXPECT_GT(checked, 100);
    EXPECT_GT(checked - open, 50);  // texels that see the wall
}
