#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "engine/lightmapper/lightmapper.h"
#include "lightmapper_fixture.h"

using Engine::InputTriangle;
using Engine::Lightmapper;
using Engine::LightmapperSettings;
using Geom::Vec3;
using LightmapperTest::LogCapture;
using LightmapperTest::Tri;

TEST(LightmapperIntake, FreshTriangleRecord)
{
    Lightmapper lm(LightmapperSettings{});
    InputTriangle in = Tri({0, 0, 0}, {0, 1, 0}, {1, 0, 0}, 5);
    in.flags = 0x1A3;  // TriangleLit must not survive intake
    in.faceId = 17;
    in.name = "wall";
    in.uvs[1] = {0.5f, 0.25f};
    ASSERT_EQ(lm.AddTriangle(in), 0);
    const Engine::LmMesh& mesh = lm.Mesh();
    const Engine::LmTriangle& t = mesh.triangles[0];
    EXPECT_EQ(t.flags, 0x123u);
    EXPECT_EQ(t.modelId, 5);
    EXPECT_EQ(t.faceId, 17);
    for (int k = 0; k < 3; k++)
        EXPECT_EQ(t.neighbour[k], -1);
    EXPECT_EQ(mesh.objects[size_t(t.object)].name, "wall");
    EXPECT_EQ(mesh.uvs[size_t(t.uv[1])], (Geom::Vec2{0.5f, 0.25f}));
    // Normal +z: axis 2, positive, model id above bit 3.
    EXPECT_EQ(mesh.normals[size_t(t.faceNormal)], (Vec3{0, 0, 1}));
    EXPECT_EQ(t.projKey, 2u | (5u << 3));
}

TEST(LightmapperIntake, WeldsBitwiseEqualValuesOnly)
{
    Lightmapper lm(LightmapperSettings{});
    ASSERT_EQ(lm.AddTriangle(Tri({0, 0, 0}, {0, 1, 0}, {1, 0, 0})), 0);
    ASSERT_EQ(lm.AddTriangle(Tri({1, 0, 0}, {0, 1, 0}, {1, 1, 0})), 1);
    // Same point as corner 0 of the first triangle, but -0.0 is another bit pattern.
    ASSERT_EQ(lm.AddTriangle(Tri({-0.0f, 0, 0}, {0, -1, 0}, {1, 0, 0})), 2);

    const auto& t = lm.Mesh().triangles;
    EXPECT_EQ(t[1].pos[0], t[0].pos[2]);
    EXPECT_EQ(t[1].pos[1], t[0].pos[1]);
    EXPECT_EQ(t[2].pos[2], t[0].pos[2]);
    EXPECT_NE(t[2].pos[0], t[0].pos[0]);
    EXPECT_EQ(lm.Mesh().positions.size(), 6u);
    // All corners carry (0, 0, 0) normals and (0, 0) uvs: one entry each, shared.
    EXPECT_EQ(lm.Mesh().uvs.size(), 1u);
    EXPECT_EQ(t[2].nrm[0], t[0].nrm[0]);
    // Face normals weld by bits too: the second triangle's normal comes out as (0, -0, 1).
    EXPECT_NE(t[0].faceNormal, t[1].faceNormal);
    EXPECT_EQ(lm.Mesh().normals[size_t(t[1].faceNormal)], (Vec3{0, 0, 1}));
}

TEST(LightmapperIntake, DegenerateTrianglesAreRejectedWithoutEdges)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const struct {
        const char* what;
        Vec3 a, b, c;
    } cases[] = {
        {"two equal corners", {0, 0, 0}, {1, 0, 0}, {1, 0, 0}},
        {"all corners equal", {2, 2, 2}, {2, 2, 2}, {2, 2, 2}},
        {"collinear", {0, 0, 0}, {1, 1, 1}, {2, 2, 2}},
        {"nan corner", {0, 0, 0}, {1, 0, 0}, {0, nan, 0}},
        {"infinite corner", {0, 0, 0}, {1, 0, 0}, {0, inf, 0}},
    };
    for (const auto& c : cases) {
        Lightmapper lm(LightmapperSettings{});
        LogCapture log;
        ASSERT_EQ(lm.AddTriangle(Tri({0, 0, 0}, {0, 1, 0}, {1, 0, 0})), 0) << c.what;
        EXPECT_EQ(lm.AddTriangle(Tri(c.a, c.b, c.c)), -1) << c.what;
        EXPECT_EQ(std::count(log.lines.begin(), log.lines.end(), "AddTriangle: ignoring degenerate triangle!"), 1)
            << c.what;
        // The next accepted triangle takes the next free index, and every edge names only
        // triangles that exist: the rejected one registered nothing.
        ASSERT_EQ(lm.AddTriangle(Tri({0, 1, 0}, {1, 1, 0}, {1, 0, 0})), 1) << c.what;
        EXPECT_EQ(lm.Mesh().triangles.size(), 2u) << c.what;
        EXPECT_EQ(lm.Mesh().edges.size(), 5u) << c.what;
        for (const Engine::LmEdge& e : lm.Mesh().edges) {
            EXPECT_LT(e.triangle[0], 2) << c.what;
            EXPECT_LT(e.triangle[1], 2) << c.what;
        }
        for (const Engine::LmTriangle& t : lm.Mesh().triangles)
            for (int k = 0; k < 3; k++)
                EXPECT_GE(t.edge[k], 0) << c.what;
    }
}

TEST(LightmapperIntake, NearlyCoplanarTriangleTakesExistingPlane)
{
    // The probe is a sliver standing almost upright: its own normal is dominated by -x. Its
    // corners lie within 1/1152 of the floor z = 0 (facing +z) in the first row and beyond it in
    // the second, so only the first takes the floor's axis.
    const struct {
        float lift;
        uint32_t expectedProjKey;
        size_t expectedPlanes;
    } cases[] = {
        {0.0008f, 2u, 1u},
        {0.0009f, 0u | 4u, 2u},
    };
    for (const auto& c : cases) {
        Lightmapper lm(LightmapperSettings{});
        ASSERT_EQ(lm.AddTriangle(Tri({0, 0, 0}, {0, 1, 0}, {1, 0, 0})), 0);
        int32_t probe = lm.AddTriangle(Tri({0, 0, 0}, {0, 0.001f, 0}, {0.0001f, 0, c.lift}));
        ASSERT_EQ(probe, 1);
        EXPECT_EQ(lm.Mesh().triangles[1].projKey, c.expectedProjKey) << "lift " << c.lift;
        EXPECT_EQ(lm.Mesh().planes.size(), c.expectedPlanes) << "lift " << c.lift;
        // The face normal stays the triangle's own whatever plane it shares.
        Vec3 n = lm.Mesh().normals[size_t(lm.Mesh().triangles[1].faceNormal)];
        EXPECT_LT(n.x, -0.9f) << "lift " << c.lift;
    }
}

TEST(LightmapperIntake, PlaneWeldingNeedsTheSameFacing)
{
    Lightmapper lm(LightmapperSettings{});
    ASSERT_EQ(lm.AddTriangle(Tri({0, 0, 0}, {0, 1, 0}, {1, 0, 0})), 0);
    ASSERT_EQ(lm.AddTriangle(Tri({0, 1, 0}, {1, 1, 0}, {1, 0, 0})), 1);  // same plane exactly
    ASSERT_EQ(lm.AddTriangle(Tri({0, 0, 0}, {1, 0, 0}, {0, 1, 0})), 2);  // back side
    EXPECT_EQ(lm.Mesh().planes.size(), 2u);
    EXPECT_EQ(lm.Mesh().triangles[0].projKey, lm.Mesh().triangles[1].projKey);
    EXPECT_EQ(lm.Mesh().triangles[2].projKey, 2u | 4u);
}

TEST(LightmapperIntake, ObjectsAndAlphaMaps)
{
    Lightmapper lm(LightmapperSettings{});
    EXPECT_EQ(lm.FindOrAddObject("floor"), 0);
    EXPECT_EQ(lm.FindOrAddObject("wall"), 1);
    EXPECT_EQ(lm.FindOrAddObject("floor"), 0);

    InputTriangle in = Tri({0, 0, 0}, {0, 1, 0}, {1, 0, 0});
    in.name = "wall";
    ASSERT_EQ(lm.AddTriangle(in), 0);
    EXPECT_EQ(lm.Mesh().triangles[0].object, 1);
    in.name = "";
    ASSERT_EQ(lm.AddTriangle(in), 1);
    EXPECT_EQ(lm.Mesh().triangles[1].object, 2);
    ASSERT_EQ(lm.Mesh().objects.size(), 3u);
    EXPECT_EQ(lm.Mesh().objects[0].colour, (Vec3{0, 0, 0}));
    EXPECT_EQ(lm.Mesh().objects[0].reflectance, (Vec3{1, 1, 1}));

    Image::Bitmap map(3, 2);
    map.At(2, 1) = 0x7F123456;
    EXPECT_FALSE(lm.SetAlphaMap("door", map));
    ASSERT_TRUE(lm.SetAlphaMap("floor", map));
    EXPECT_EQ(lm.Mesh().objects[0].alphaMap.Width(), 3);
    EXPECT_EQ(lm.Mesh().objects[0].alphaMap.At(2, 1), 0x7F123456u);
    EXPECT_TRUE(lm.Mesh().objects[1].alphaMap.IsEmpty());
}

namespace {

// A floor of two triangles in z = 0 facing +z and a wall of two triangles in y = 0 facing +y, meeting
// along the x axis from (0, 0, 0) to (1, 0, 0).
void AddFloorAndWall(Lightmapper& lm)
{
    ASSERT_EQ(lm.AddTriangle(Tri({0, 0, 0}, {0, 1, 0}, {1, 0, 0})), 0);
    ASSERT_EQ(lm.AddTriangle(Tri({1, 0, 0}, {0, 1, 0}, {1, 1, 0})), 1);
    ASSERT_EQ(lm.AddTriangle(Tri({0, 0, 0}, {1, 0, 0}, {0, 0, 1})), 2);
    ASSERT_EQ(lm.AddTriangle(Tri({1, 0, 0}, {1, 0, 1}, {0, 0, 1})), 3);
}

}  // namespace

TEST(LightmapperIntake, VertexNormalsFollowTheSmoothingAngle)
{
    const struct {
        float angle;
        bool smoothed;
    } cases[] = {{40, false}, {89, false}, {90, true}, {180, true}};
    for (const auto& c : cases) {
        Lightmapper lm(LightmapperSettings{});
        AddFloorAndWall(lm);
        ASSERT_EQ(lm.Mesh().normals[size_t(lm.Mesh().triangles[0].faceNormal)], (Vec3{0, 0, 1}));
        ASSERT_EQ(lm.Mesh().normals[size_t(lm.Mesh().triangles[2].faceNormal)], (Vec3{0, 1, 0}));
        lm.BuildVertexNormals(c.angle);

        // Corner 0 of triangle 0 sits on the shared edge; corner 1, (0, 1, 0), is floor only.
        Vec3 shared = lm.Mesh().normals[size_t(lm.Mesh().triangles[0].nrm[0])];
        Vec3 floorOnly = lm.Mesh().normals[size_t(lm.Mesh().triangles[0].nrm[1])];
        EXPECT_EQ(floorOnly, (Vec3{0, 0, 1})) << c.angle;
        if (c.smoothed) {
            EXPECT_GT(shared.z, 0.1f) << c.angle;
            EXPECT_GT(shared.y, 0.1f) << c.angle;
            EXPECT_NEAR(Geom::Length(shared), 1.0f, 1e-6f) << c.angle;
            // The wall's corner at the same position gets the same smoothed normal.
            EXPECT_EQ(lm.Mesh().triangles[2].nrm[0], lm.Mesh().triangles[0].nrm[0]) << c.angle;
        } else {
            EXPECT_EQ(shared, (Vec3{0, 0, 1})) << c.angle;
            EXPECT_EQ(lm.Mesh().normals[size_t(lm.Mesh().triangles[2].nrm[0])], (Vec3{0, 1, 0})) << c.angle;
        }
    }
}

TEST(LightmapperIntake, LoneTriangleKeepsItsFaceNormal)
{
    const float angles[] = {0, 40, 180};
    for (float angle : angles) {
        Lightmapper lm(LightmapperSettings{});
        ASSERT_EQ(lm.AddTriangle(Tri({0.3f, -1, 2}, {1.7f, 0.2f, 0.1f}, {-0.4f, 0.9f, 1.3f})), 0);
        lm.BuildVertexNormals(angle);
        Vec3 face = lm.Mesh().normals[size_t(lm.Mesh().triangles[0].faceNormal)];
        for (int k = 0; k < 3; k++) {
            Vec3 n = lm.Mesh().normals[size_t(lm.Mesh().triangles[0].nrm[k])];
            EXPECT_NEAR(n.x, face.x, 1e-6f) << "angle " << angle << " corner " << k;
            EXPECT_NEAR(n.y, face.y, 1e-6f) << "angle " << angle << " corner " << k;
            EXPECT_NEAR(n.z, face.z, 1e-6f) << "angle " << angle << " corner " << k;
        }
    }
}

TEST(LightmapperIntake, VertexNormalsWeightByAreaAndCornerAngle)
{
    // A fan of two triangles around the origin: a large one facing +z and a small one tilted
    // towards +x. The area x angle weighting leaves the smoothed normal far closer to the large
    // triangle's; an unweighted average would sit halfway.
    Lightmapper lm(LightmapperSettings{});
    ASSERT_EQ(lm.AddTriangle(Tri({0, 0, 0}, {0, 4, 0}, {4, 0, 0})), 0);
    ASSERT_EQ(lm.AddTriangle(Tri({0, 0, 0}, {0, -0.5f, 0}, {-0.2f, 0, 0.2f})), 1);
    lm.BuildVertexNormals(180);
    Vec3 big = lm.Mesh().normals[size_t(lm.Mesh().triangles[0].faceNormal)];
    Vec3 small = lm.Mesh().normals[size_t(lm.Mesh().triangles[1].faceNormal)];
    Vec3 n = lm.Mesh().normals[size_t(lm.Mesh().triangles[0].nrm[0])];
    ASSERT_LT(Geom::Dot(big, small), 0.9f);
    EXPECT_GT(Geom::Dot(n, big), 0.99f);
    EXPECT_EQ(lm.Mesh().triangles[1].nrm[0], lm.Mesh().triangles[0].nrm[0]);
}

namespace {

// The plane welding written the plain way: exact match, then every plane of the three bins in
// order. The lightmapper's blocked scan must pick the same plane every time.
struct PlainPlaneWelder {
    std::vector<Engine::LmPlane> planes;
    std::vector<std::vector<int32_t>> bins = std::vector<std::vector<int32_t>>(4096);

    int32_t Weld(Vec3 normal, float distance, const Vec3 corners[3])
    {
        Engine::LmPlane candidate{normal, distance};
        for (size_t i = 0; i < planes.size(); i++)
            if (std::memcmp(&planes[i], &candidate, sizeof candidate) == 0)  // bit for bit
                return int32_t(i);
        int32_t bin = int32_t(distance * 32.0f + 0.5f);
        for (int32_t b = bin - 1; b <= bin + 1; b++) {
            for (int32_t index : bins[size_t(b & 4095)]) {
                const Engine::LmPlane& p = planes[size_t(index)];
                bool fits = Geom::Dot(p.normal, normal) > 0;
                for (int k = 0; k < 3 && fits; k++)
                    fits = std::fabs(Geom::Dot(p.normal, corners[k]) + p.distance) <= 0.00086805556f;
                if (fits)
                    return index;
            }
        }
        planes.push_back({normal, distance});
        bins[size_t(bin & 4095)].push_back(int32_t(planes.size()) - 1);
        return int32_t(planes.size()) - 1;
    }
};

}  // namespace

TEST(LightmapperIntake, BlockedPlaneScanMatchesPlainScan)
{
    // Small triangles crowded around three planes x + y = c, with the corners off the plane by
    // about the tolerance: bins fill with dozens of planes, a triangle often fits several, and
    // since these normals sit on the diagonal the plane it takes decides between axis x and y.
    const uint32_t seed = 12345;
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    Lightmapper lm(LightmapperSettings{});
    PlainPlaneWelder plain;
    std::vector<uint32_t> expectedKeys;
    const Vec3 across{0.70710678f, -0.70710678f, 0};
    const Vec3 off{0.70710678f, 0.70710678f, 0};
    for (int i = 0; i < 3000; i++) {
        float c = float(i % 3) * 0.02f;
        Vec3 base = off * c + across * (unit(random) * 0.1f) + Vec3{0, 0, unit(random) * 0.1f};
        Vec3 corners[3];
        for (int k = 0; k < 3; k++)
            corners[k] = base + across * (unit(random) * 0.05f) + Vec3{0, 0, unit(random) * 0.05f} +
                         off * (unit(random) * 0.0012f);
        if (i % 7 == 0)
            std::swap(corners[1], corners[2]);  // some face the other way
        Engine::InputTriangle in = Tri(corners[0], corners[1], corners[2], 0);
        if (lm.AddTriangle(in) < 0)
            continue;
        Vec3 cross = Geom::Cross(corners[2] - corners[0], corners[1] - corners[0]);
        Vec3 normal = cross / std::sqrt(Geom::LengthSquared(cross));
        float distance = -Geom::Dot(normal, corners[0]);
        Vec3 axisNormal = plain.planes[size_t(plain.Weld(normal, distance, corners))].normal;
        int axis = std::fabs(axisNormal.x) >= std::fabs(axisNormal.y) && std::fabs(axisNormal.x) >= std::fabs(axisNormal.z)
                       ? 0
                       : (std::fabs(axisNormal.y) >= std::fabs(axisNormal.z) ? 1 : 2);
        expectedKeys.push_back(uint32_t(axis) | (axisNormal[axis] < 0 ? 4u : 0u));
    }
    ASSERT_EQ(lm.Mesh().triangles.size(), expectedKeys.size()) << "seed " << seed;
    ASSERT_EQ(lm.Mesh().planes.size(), plain.planes.size()) << "seed " << seed;
    EXPECT_GT(lm.Mesh().planes.size(), 100u);
    EXPECT_LT(lm.Mesh().planes.size(), expectedKeys.size());
    for (size_t i = 0; i < lm.Mesh().planes.size(); i++) {
        EXPECT_EQ(lm.Mesh().planes[i].normal, plain.planes[i].normal) << "plane " << i << " seed " << seed;
        EXPECT_EQ(lm.Mesh().planes[i].distance, plain.planes[i].distance) << "plane " << i << " seed " << seed;
    }
    for (size_t i = 0; i < expectedKeys.size(); i++)
        EXPECT_EQ(lm.Mesh().triangles[i].projKey, expectedKeys[i]) << "triangle " << i << " seed " << seed;
}
