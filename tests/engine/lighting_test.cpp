// The lighting mode through the lightmapper's own operations: lights and emissive objects in,
// bases out.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "engine/lightmapper/final_gather.h"
#include "engine/lightmapper/lighting.h"
#include "engine/lightmapper/post_process.h"
#include "lighting_fixture.h"

using AoTest::AddQuad;
using Engine::LightRecord;
using Engine::Lightmapper;
using Geom::Vec3;
using LightingTest::Bake;
using LightingTest::LitBake;
using LightingTest::LitTexel;
using LightingTest::Settings;

namespace {

constexpr double pi = 3.14159265358979323846;

// An 8 x 8 floor in z = 0 facing up, corner at the origin.
void AddFloor(Lightmapper& lm, uint32_t flags = 0, const std::string& name = std::string())
{
    AddQuad(lm, {0, 0, 0}, {8, 0, 0}, {0, 8, 0}, {0, 0, 1}, flags, name);
}

// What a light gives a point of the floor (normal +z), from the formula written out in double:
// cosine at the surface over c + l d + q d^2, times the spot's cone factor.
double Expected(const LightRecord& light, Vec3 p)
{
    const double dx = light.position.x - p.x, dy = light.position.y - p.y, dz = light.position.z - p.z;
    const double d = std::sqrt(dx * dx + dy * dy + dz * dz);
    if (d > light.range || dz <= 0)
        return 0;
    double a = 1 / (light.attenuation.x + light.attenuation.y * d + light.attenuation.z * d * d);
    if (light.type == Engine::LightSpot) {
        const double c = -(dx * light.direction.x + dy * light.direction.y + dz * light.direction.z) / d;
        const double inner = light.spotInnerCos, outer = light.spotOuterCos;
        a *= c < outer ? 0.0 : c < inner ? (c - outer) / (inner - outer) : 1.0;
    }
    return dz / d * a;
}

// Bases are stored halved (with the tool's gamma of 1): twice the stored value is what the
// passes added.
Vec3 Added(const LitTexel& t) { return t.basis[0] * 2.0f; }

bool IsZero(Vec3 v) { return v.x == 0 && v.y == 0 && v.z == 0; }

bool AllTrianglesLit(const Lightmapper& lm, const std::string& object)
{
    const Engine::LmMesh& mesh = lm.Mesh();
    for (const Engine::LmTriangle& t : mesh.triangles) {
        if (mesh.objects[size_t(t.object)].name == object && !(t.flags & Engine::TriangleLit))
            return false;
    }
    return true;
}

}  // namespace

TEST(LightIntensity, FalloffConeAndFacing)
{
    const Vec3 up{0, 0, 1}, origin{0, 0, 0};
    const float cos20 = float(std::cos(20 * pi / 180)), cos40 = float(std::cos(40 * pi / 180));
    const LightRecord spot = LightRecord::Spot({0, 0, 2}, {0, 0, -1}, {1, 1, 1}, 10, cos20, cos40);
    const double cos30 = std::cos(30 * pi / 180);
    const struct {
        const char* name;
        LightRecord light;
        Vec3 p, n;
        double expected;
    } cases[] = {
        {"overhead, no falloff", LightRecord::Point({0, 0, 2}, {1, 1, 1}, 10), origin, up, 1.0},
        {"inverse square", LightRecord::Point({0, 0, 2}, {1, 1, 1}, 10, {0, 0, 1}), origin, up, 0.25},
        {"all three terms", LightRecord::Point({0, 0, 2}, {1, 1, 1}, 10, {1, 0.5f, 0.25f}), origin, up, 1.0 / 3.0},
        {"at 45 degrees", LightRecord::Point({2, 0, 2}, {1, 1, 1}, 10, {0, 0, 1}), origin, up, std::sqrt(0.5) / 8},
        {"just beyond the range", LightRecord::Point({0, 0, 2}, {1, 1, 1}, 1.99f), origin, up, 0.0},
        {"behind the surface", LightRecord::Point({0, 0, -2}, {1, 1, 1}, 10), origin, up, 0.0},
        {"spot on its axis", spot, origin, up, 1.0},
        // 30 degrees off the axis: the cosine at the surface times the cone's linear ramp.
        {"spot between the cones", spot, {2 * float(std::tan(30 * pi / 180)), 0, 0}, up,
         cos30 * (cos30 - cos40) / (cos20 - cos40)},
        {"spot outside the outer cone", spot, {2 * float(std::tan(45 * pi / 180)), 0, 0}, up, 0.0},
        {"directional, straight down", LightRecord::Directional({0, 0, -1}, {1, 1, 1}), origin, up, 1.0},
        {"directional, slanted", LightRecord::Directional({1, 0, -1}, {1, 1, 1}), origin, up, std::sqrt(0.5)},
        {"directional ignores distance", LightRecord::Directional({0, 0, -1}, {1, 1, 1}, 0.5f), {0, 0, -100}, up, 1.0},
        {"ambient, whatever the normal", LightRecord::Ambient({1, 1, 1}), origin, {0, 0, -1}, 1.0},
    };
    for (const auto& c : cases) {
        const float got = Engine::LightIntensity(c.light, c.p, c.n);
        EXPECT_NEAR(got, c.expected, 1e-5 * std::max(1.0, c.expected)) << c.name;
    }
}

TEST(Lighting, AddLightRefusesRecordsThePassesCannotUse)
{
    LightRecord noDirection = LightRecord::Spot({0, 0, 0}, {0, 0, -1}, {1, 1, 1}, 5, 1, 0.5f);
    noDirection.direction = {0, 0, 0};
    LightRecord badType = LightRecord::Ambient({1, 1, 1});
    badType.type = 7;
    const struct {
        const char* name;
        LightRecord light;
    } refused[] = {
        {"negative range", LightRecord::Point({0, 0, 0}, {1, 1, 1}, -1)},
        {"no attenuation at all", LightRecord::Point({0, 0, 0}, {1, 1, 1}, 5, {0, 0, 0})},
        {"negative attenuation", LightRecord::Point({0, 0, 0}, {1, 1, 1}, 5, {1, -0.5f, 0})},
        {"non-finite colour", LightRecord::Point({0, 0, 0}, {NAN, 1, 1}, 5)},
        {"non-finite position", LightRecord::Point({INFINITY, 0, 0}, {1, 1, 1}, 5)},
        {"spot without direction", noDirection},
        {"inner cone wider than outer", LightRecord::Spot({0, 0, 0}, {0, 0, -1}, {1, 1, 1}, 5, 0.5f, 0.9f)},
        {"unknown type", badType},
    };
    Lightmapper lm(Settings());
    for (const auto& c : refused)
        EXPECT_FALSE(lm.AddLight(c.light)) << c.name;
    EXPECT_TRUE(lm.Mesh().lights.empty());

    // Stored with a unit direction, also from a huge one whose length squared overflows.
    LightRecord huge = LightRecord::Directional({0, 0, -1}, {1, 1, 1});
    huge.direction = {3e30f, 0, -4e30f};
    ASSERT_TRUE(lm.AddLight(huge));
    const Vec3 d = lm.Mesh().lights.back().direction;
    EXPECT_NEAR(d.x, 0.6f, 1e-6);
    EXPECT_NEAR(d.z, -0.8f, 1e-6);

    EXPECT_FALSE(lm.SetObjectColour("nobody", {1, 1, 1}));
    EXPECT_FALSE(lm.SetObjectReflectance("nobody", {1, 1, 1}));
}

TEST(Lighting, NoLightsAndNoEmittersLeaveEveryBasisAtZero)
{
    Engine::LightmapperSettings settings = Settings(16);
    settings.basisCount = 4;
    Lightmapper lm(settings);
    AddFloor(lm);
    AddQuad(lm, {2, 2, 1}, {0, 3, 0}, {3, 0, 0}, {0, 0, -1});  // a shelf facing the floor
    AddQuad(lm, {0, 0, 0}, {0, 0, 4}, {0, 8, 0}, {1, 0, 0});   // a wall
    LightmapperTest::LogCapture log;
    LitBake bake = Bake(lm);
    ASSERT_TRUE(bake.built);
    for (const Engine::LmGroup& group : bake.charts.groups) {
        for (int32_t b = 0; b < Engine::maxBases; b++) {
            for (const Vec3& v : group.basis[b])
                ASSERT_TRUE(b == 2 ? (v == Vec3{0.5f, 0.5f, 0.5f}) : IsZero(v)) << "basis " << b;
        }
    }
    // The lighting passes ran (the direction basis shows the encoding of no direction), and the
    // ambient-occlusion pass did not.
    auto logged = [&](const std::string& line) { return std::count(log.lines.begin(), log.lines.end(), line); };
    EXPECT_EQ(logged("LM: pre-raytracing"), 1);
    EXPECT_EQ(logged("LM: final gather"), 1);
    EXPECT_EQ(logged("LM: raytracing"), 1);
    EXPECT_EQ(logged("LM: Ambient occlusion"), 0);
}

TEST(Lighting, PointLightOverAPlaneFollowsInverseSquareAndCosine)
{
    const Vec3 attenuations[] = {{1, 0, 0}, {0, 0, 1}, {0.5f, 0.2f, 0.3f}};
    for (Vec3 attenuation : attenuations) {
        Lightmapper lm(Settings());
        AddFloor(lm, 0, "floor");
        const LightRecord light = LightRecord::Point({3, 5, 1.5f}, {1, 0.5f, 0.25f}, 100, attenuation);
        ASSERT_TRUE(lm.AddLight(light));
        LitBake bake = Bake(lm);
        ASSERT_TRUE(bake.built);
        ASSERT_GT(bake.texels.size(), 200u);
        for (const LitTexel& t : bake.texels) {
            const double expected = Expected(light, t.position);
            const Vec3 got = Added(t);
            const double tolerance = 1e-5 + 1e-4 * expected;
            EXPECT_NEAR(got.x, expected, tolerance) << t.x << "," << t.y << " attenuation " << attenuation.y;
            EXPECT_NEAR(got.y, 0.5 * expected, tolerance) << t.x << "," << t.y;
            EXPECT_NEAR(got.z, 0.25 * expected, tolerance) << t.x << "," << t.y;
        }
        EXPECT_TRUE(AllTrianglesLit(lm, "floor"));
    }
}

TEST(Lighting, LightBeyondItsRangeBehindTheSurfaceOrBlockedAddsNothing)
{
    const struct {
        const char* name;
        LightRecord light;
        bool blocker;
        float litWithin, darkBeyond;  // distances from the light; texels between are not judged
    } cases[] = {
        {"beyond its range", LightRecord::Point({4, 4, 1.5f}, {1, 1, 1}, 1.4f), false, 0, 0},
        {"behind the surface", LightRecord::Point({4, 4, -1.5f}, {1, 1, 1}, 100), false, 0, 0},
        {"partly in range", LightRecord::Point({4, 4, 1.5f}, {1, 1, 1}, 3), false, 2.95f, 3.05f},
        {"above a blocker", LightRecord::Point({4, 4, 4}, {1, 1, 1}, 100), true, 0, 0},
    };
    for (const auto& c : cases) {
        Lightmapper lm(Settings());
        AddFloor(lm, 0, "floor");
        if (c.blocker)
            AddQuad(lm, {3, 3, 2}, {2, 0, 0}, {0, 2, 0}, {0, 0, 1});  // its shadow: [2, 6] x [2, 6]
        lm.AddLight(c.light);
        LitBake bake = Bake(lm);
        ASSERT_TRUE(bake.built) << c.name;
        int32_t lit = 0;
        for (const LitTexel& t : bake.texels) {
            if (LightingTest::ObjectOf(lm, t) != "floor")
                continue;
            const Vec3 d = c.light.position - t.position;
            const float distance = Geom::Length(d);
            const bool shadowed = c.blocker && t.position.x > 2.4f && t.position.x < 5.6f && t.position.y > 2.4f &&
                                  t.position.y < 5.6f;
            const bool outsideShadow = !c.blocker || t.position.x < 1.6f || t.position.x > 6.4f ||
                                       t.position.y < 1.6f || t.position.y > 6.4f;
            if (distance > c.darkBeyond && !c.blocker) {
                EXPECT_TRUE(IsZero(t.basis[0])) << c.name << " at " << t.x << "," << t.y;
            } else if (distance < c.litWithin || (c.blocker && outsideShadow)) {
                EXPECT_NEAR(Added(t).x, Expected(c.light, t.position), 1e-5) << c.name << " at " << t.x << "," << t.y;
                lit++;
            }
            if (shadowed) {
                EXPECT_TRUE(IsZero(t.basis[0])) << c.name << " in the shadow at " << t.x << "," << t.y;
            }
        }
        if (c.litWithin > 0 || c.blocker) {
            EXPECT_GT(lit, 10) << c.name;
        } else {
            EXPECT_FALSE(AllTrianglesLit(lm, "floor")) << c.name << ": an unlit floor is not marked lit";
        }
    }
}

TEST(Lighting, SpotLightIsFullInsideItsInnerConeAndDarkOutsideItsOuterCone)
{
    Lightmapper lm(Settings());
    AddFloor(lm);
    const LightRecord spot = LightRecord::Spot({4, 4, 2}, {0.2f, 0, -1}, {1, 1, 1}, 100,
                                               float(std::cos(20 * pi / 180)), float(std::cos(40 * pi / 180)));
    lm.AddLight(spot);
    const LightRecord stored = lm.Mesh().lights.back();
    LitBake bake = Bake(lm);
    ASSERT_TRUE(bake.built);
    int32_t inner = 0, between = 0, outside = 0;
    for (const LitTexel& t : bake.texels) {
        const Vec3 d = t.position - stored.position;
        const double c = Geom::Dot(d, stored.direction) / Geom::Length(d);
        const double expected = Expected(stored, t.position);
        EXPECT_NEAR(Added(t).x, expected, 1e-5 + 1e-4 * expected) << t.x << "," << t.y << " cos " << c;
        if (c >= stored.spotInnerCos) {
            inner++;
            EXPECT_NEAR(Added(t).x, Expected(LightRecord::Point(stored.position, {1, 1, 1}, 100), t.position), 1e-4);
        } else if (c >= stored.spotOuterCos) {
            between++;
        } else {
            outside++;
            EXPECT_TRUE(IsZero(t.basis[0])) << t.x << "," << t.y;
        }
    }
    EXPECT_GT(inner, 4);
    EXPECT_GT(between, 10);
    EXPECT_GT(outside, 10);
}

TEST(Lighting, DirectionalLightShinesOnlyThroughSurfacesMarkedForIt)
{
    for (bool withOpening : {true, false}) {
        Lightmapper lm(Settings());
        AddFloor(lm, 0, "floor");
        if (withOpening)
            AddQuad(lm, {0, 0, 3}, {0, 8, 0}, {4, 0, 0}, {0, 0, -1}, Engine::TriangleCoarse, "window");
        AddQuad(lm, {0, 0, 2}, {2, 0, 0}, {0, 8, 0}, {0, 0, 1}, 0, "shelf");  // under the opening's left half
        lm.AddLight(LightRecord::Directional({0, 0, -1}, {1, 1, 1}));
        LitBake bake = Bake(lm);
        ASSERT_TRUE(bake.built);
        int32_t lit = 0;
        for (const LitTexel& t : bake.texels) {
            const std::string& object = LightingTest::ObjectOf(lm, t);
            if (object == "window") {
                EXPECT_TRUE(IsZero(t.basis[0])) << "the opening itself gets no direct light";
                continue;
            }
            if (object != "floor")
                continue;
            const float x = t.position.x;
            if (withOpening && x > 2.2f && x < 3.8f) {
                EXPECT_EQ(Added(t).x, 1.0f) << t.x << "," << t.y;
                lit++;
            } else if (x < 1.8f || x > 4.2f || !withOpening) {
                EXPECT_TRUE(IsZero(t.basis[0])) << (withOpening ? "with" : "without") << " the opening at " << t.x
                                                << "," << t.y;
            }
        }
        if (withOpening) {
            EXPECT_GT(lit, 20);
        }
    }
}

TEST(Lighting, SupersampledTexelsWeighTheirSlots)
{
    // The weights of the 5 x 5 pattern, row by row: the centre counts most, the corners least.
    const float weights[25] = {0.9f, 1.0f, 1.0f, 1.0f, 0.9f, 1.0f, 1.1f, 1.15f, 1.1f, 1.0f, 1.0f, 1.15f, 1.2f,
                               1.15f, 1.0f, 1.0f, 1.1f, 1.15f, 1.1f, 1.0f, 0.9f, 1.0f, 1.0f, 1.0f, 0.9f};
    Engine::LightmapperSettings settings = Settings();
    settings.superSampling = true;
    Lightmapper lm(settings);
    AddFloor(lm, 0, "floor");
    // Straight down through an opening over x < 4.1: each sample point is lit or not, so a
    // texel on the opening's edge gets the weights of its lit points over the weights of all.
    // (Sample points lie on a quarter-texel lattice; the edge stays off it.)
    AddQuad(lm, {0, 0, 3}, {0, 8, 0}, {4.1f, 0, 0}, {0, 0, -1}, Engine::TriangleCoarse, "window");
    lm.AddLight(LightRecord::Directional({0, 0, -1}, {1, 1, 1}));
    LitBake bake = Bake(lm);
    ASSERT_TRUE(bake.built);
    int32_t edge = 0, judged = 0;
    for (const LitTexel& t : bake.texels) {
        if (LightingTest::ObjectOf(lm, t) != "floor")
            continue;
        const Engine::LmGroup& group = bake.charts.groups[size_t(t.group)];
        Engine::TexelRunCursor cursor(group, 0);
        int32_t slots[25];
        for (int32_t i = 0; i <= t.y * group.gridWidth + t.x; i++)
            cursor.Next(slots);
        double lit = 0, all = 0;
        bool onTheEdge = false;
        for (int32_t s = 0; s < 25; s++) {
            all += weights[s];
            if (slots[s] < 0)
                continue;
            const Geom::Vec2 o = Engine::subsampleOffsets[s];
            Engine::TexelSample sample;
            Engine::EvaluateTexelSample(lm.Mesh(), settings.epsilon, slots[s], group,
                                        Engine::ChartPoint(group, float(t.x) + o.x, float(t.y) + o.y), sample);
            onTheEdge |= std::fabs(sample.position.x - 4.1f) < 0.01f;
            lit += sample.position.x < 4.1f ? weights[s] : 0;
        }
        if (onTheEdge)
            continue;
        judged++;
        EXPECT_NEAR(Added(t).x, lit / all, 1e-6) << t.x << "," << t.y;
        edge += lit > 0 && lit < all;
    }
    EXPECT_GT(edge, 8);
    EXPECT_GT(judged, 100);
}

namespace {

// A lamp 40 units square one unit above a 2 x 2 floor, facing it. The floor passes no light on
// (reflectance 0), so the floor's light comes from the lamp's emission alone, in the first
// bounce: every gather ray of a floor texel meets the lamp's interior.
LitBake BakeUnderLamp(Lightmapper& lm, Vec3 lampReflectance, bool facingFloor = true, uint32_t lampFlags = 0)
{
    if (facingFloor)
        AddQuad(lm, {-19, -19, 1}, {0, 40, 0}, {40, 0, 0}, {0, 0, -1}, lampFlags, "lamp");
    else
        AddQuad(lm, {-19, -19, 1}, {40, 0, 0}, {0, 40, 0}, {0, 0, 1}, lampFlags, "lamp");
    AddQuad(lm, {-1, -1, 0}, {2, 0, 0}, {0, 2, 0}, {0, 0, 1}, 0, "floor");
    EXPECT_TRUE(lm.SetObjectColour("lamp", {2, 1, 0.5f}));
    EXPECT_TRUE(lm.SetObjectReflectance("lamp", lampReflectance));
    EXPECT_TRUE(lm.SetObjectReflectance("floor", {0, 0, 0}));
    return Bake(lm);
}

}  // namespace

TEST(Lighting, EmissiveObjectLightsTheWallItFacesThroughTheBounce)
{
    // Cosine-weighted rays weighted by both cosines again: each of the M rays of the set brings
    // colour x cos^2 = colour x (1 - i / M), so the texel gathers colour x (1/2 + 1/2M).
    const int32_t samples = 64;
    const double share = 0.5 + 0.5 / samples;
    const struct {
        const char* name;
        Vec3 reflectance;
        int32_t kernel;
        bool finalBlur;
        bool facingFloor;
        uint32_t lampFlags;
        double lit;  // share of the full gather that arrives
    } cases[] = {
        {"no blur", {1, 1, 1}, 0, false, true, 0, 1},
        {"blurred", {1, 1, 1}, 0, true, true, 0, 1},
        {"half reflectance", {0.5f, 0.5f, 0.5f}, 0, false, true, 0, 1},
        // -k 1 turns the blur off; the gathered light still reaches the bases.
        {"kernel 1", {1, 1, 1}, 1, true, true, 0, 1},
        // The rays meet the lamp's back: only a two-sided lamp shines from it.
        {"facing away", {1, 1, 1}, 0, false, false, 0, 0},
        {"facing away, two-sided", {1, 1, 1}, 0, false, false, Engine::TriangleTwoSided, 1},
    };
    for (const auto& c : cases) {
        Engine::LightmapperSettings settings = Settings(samples);
        settings.blurKernel = c.kernel;
        if (!c.finalBlur)
            settings.flags &= ~uint32_t(Engine::FinalBlur);
        Lightmapper lm(settings);
        LitBake bake = BakeUnderLamp(lm, c.reflectance, c.facingFloor, c.lampFlags);
        ASSERT_TRUE(bake.built) << c.name;
        int32_t floorTexels = 0;
        for (const LitTexel& t : bake.texels) {
            if (LightingTest::ObjectOf(lm, t) != "floor")
                continue;
            floorTexels++;
            const Vec3 got = Added(t);
            EXPECT_NEAR(got.x, 2 * c.reflectance.x * share * c.lit, 1e-4) << c.name << " at " << t.x << "," << t.y;
            EXPECT_NEAR(got.y, 1 * c.reflectance.y * share * c.lit, 1e-4) << c.name;
            EXPECT_NEAR(got.z, 0.5 * c.reflectance.z * share * c.lit, 1e-4) << c.name;
        }
        EXPECT_GT(floorTexels, 8) << c.name;
    }
}

TEST(Lighting, BounceSamplesShrinkByFourAndNoneLeftAddsNoDominantDirection)
{
    const struct {
        int32_t samples, bounces;
        std::vector<std::string> bounceLines;
        int64_t raysPerTexel;
        bool dominantDirectionAdds;
    } cases[] = {
        {8, 4, {"LM: bounce 0", "LM: bounce 1"}, 8 + 2, false},  // 8, 2, then 0 ends the loop
        {8, 1, {"LM: bounce 0"}, 8, true},                          // 2 samples left
        {17, 4, {"LM: bounce 0", "LM: bounce 1", "LM: bounce 2"}, 17 + 4 + 1, false},
    };
    for (const auto& c : cases) {
        Engine::LightmapperSettings settings = Settings(c.samples);
        Lightmapper lm(settings);
        AddQuad(lm, {-19, -19, 1}, {0, 40, 0}, {40, 0, 0}, {0, 0, -1}, 0, "lamp");
        AddQuad(lm, {-1, -1, 0}, {2, 0, 0}, {0, 2, 0}, {0, 0, 1}, 0, "floor");
        lm.SetObjectColour("lamp", {1, 1, 1});
        ChartTest::Staged staged(lm, 1);
        Engine::StagedBuild& build = staged.build;
        build.MarkEmitters();
        staged.BuildTrees();
        build.Groups();
        build.Tasks();
        build.CornerTexelCoords();
        build.PreRaytracing();
        int64_t covered = 0;
        for (const Engine::LmGroup& group : build.charts.groups) {
            Engine::TexelRunCursor cursor(group, 0);
            for (int32_t i = 0; i < group.TexelCount(); i++)
                covered += cursor.NextTriangle() >= 0;
        }
        LightmapperTest::LogCapture log;
        const uint64_t before = build.context.trees.tracer.QueryCount();
        build.FinalGather(c.bounces);
        const uint64_t rays = build.context.trees.tracer.QueryCount() - before;
        EXPECT_EQ(int64_t(rays), covered * c.raysPerTexel) << c.samples << " samples, " << c.bounces << " bounces";
        std::vector<std::string> bounceLines;
        for (const std::string& line : log.lines) {
            if (line.rfind("LM: bounce", 0) == 0)
                bounceLines.push_back(line);
        }
        EXPECT_EQ(bounceLines, c.bounceLines) << c.samples << " samples";
        // Basis 1 has nothing but what the dominant direction brings in (one basis kept: the
        // direct-light passes leave it alone).
        double basis1 = 0, basis3 = 0;
        for (const Engine::LmGroup& group : build.charts.groups) {
            Engine::TexelRunCursor cursor(group, 0);
            for (size_t i = 0; i < size_t(group.TexelCount()); i++) {
                if (cursor.NextTriangle() < 0)
                    continue;
                basis1 += group.basis[1][i].x;
                basis3 += group.basis[3][i].x;
            }
        }
        EXPECT_GT(basis3, 0) << "the floor gathered the lamp's light";
        if (c.dominantDirectionAdds) {
            // Nearly straight up on a floor under a lamp: nearly the full gathered colour.
            EXPECT_NEAR(basis1, basis3, 0.05 * basis3);
        } else {
            EXPECT_EQ(basis1, 0.0);
        }
    }
}

TEST(FinalizeBases, HalvesScalesDownAndEncodesTheDirection)
{
    const struct {
        float gamma;
        Vec3 in[3];
        Vec3 out[3];
    } cases[] = {
        {1, {{1, 0.5f, 0.2f}, {0.4f, 0, 0}, {0, 0, 3}}, {{0.5f, 0.25f, 0.1f}, {0.2f, 0, 0}, {0.5f, 0.5f, 1}}},
        // The largest component above 1 after halving scales all three down; a zero direction
        // stays in the middle.
        {1, {{4, 2, -1}, {0, 6, 0}, {0, 0, 0}}, {{1, 0.5f, -0.25f}, {0, 1, 0}, {0.5f, 0.5f, 0.5f}}},
        {2, {{1, 0.5f, 0.2f}, {3, 3, 3}, {-2, 0, 0}}, {{0.25f, 0.0625f, 0.01f}, {1, 1, 1}, {0, 0.5f, 0.5f}}},
    };
    for (const auto& c : cases) {
        Engine::LightmapperSettings settings = Settings();
        settings.basisCount = 3;
        settings.gamma = c.gamma;
        Engine::LmGroup group;
        group.gridWidth = group.gridHeight = 1;
        for (int32_t b = 0; b < 3; b++)
            group.basis[b] = {c.in[b]};
        group.basis[3] = {Vec3{7, 7, 7}};  // beyond the kept bases: untouched
        Engine::FinalizeGroupBases(settings, group);
        for (int32_t b = 0; b < 3; b++) {
            EXPECT_NEAR(group.basis[b][0].x, c.out[b].x, 1e-6) << "basis " << b << " gamma " << c.gamma;
            EXPECT_NEAR(group.basis[b][0].y, c.out[b].y, 1e-6) << "basis " << b << " gamma " << c.gamma;
            EXPECT_NEAR(group.basis[b][0].z, c.out[b].z, 1e-6) << "basis " << b << " gamma " << c.gamma;
        }
        EXPECT_EQ(group.basis[3][0], (Vec3{7, 7, 7}));
    }
}

TEST(Lighting, SmoothingFlagBlursTheRaytracedLightIntoNeighbouringTexels)
{
    // A right triangle leaves the far corner of its grid uncovered; a blur of kernel 3 fills the
    // uncovered texels just above and below covered ones.
    for (bool smooth : {false, true}) {
        Engine::LightmapperSettings settings = Settings();
        if (smooth)
            settings.flags |= Engine::SmoothDirectLight;
        Lightmapper lm(settings);
        Engine::InputTriangle t = LightmapperTest::Tri({0, 0, 0}, {8, 0, 0}, {0, 8, 0});
        for (Vec3& n : t.normals)
            n = {0, 0, 1};
        lm.AddTriangle(t);
        lm.AddLight(LightRecord::Point({2, 2, 3}, {1, 1, 1}, 100));
        LitBake bake = Bake(lm);
        ASSERT_TRUE(bake.built);
        int32_t filled = 0, uncovered = 0;
        for (const Engine::LmGroup& group : bake.charts.groups) {
            Engine::TexelRunCursor cursor(group, 0);
            for (size_t i = 0; i < size_t(group.TexelCount()); i++) {
                if (cursor.NextTriangle() >= 0)
                    continue;
                uncovered++;
                filled += !IsZero(group.basis[0][i]);
            }
        }
        ASSERT_GT(uncovered, 10);
        if (smooth) {
            EXPECT_GT(filled, 0);
            EXPECT_LT(filled, uncovered) << "only texels next to covered ones";
        } else {
            EXPECT_EQ(filled, 0);
        }
    }
}
