#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "engine/lightmapper/lightmapper.h"
#include "lightmapper_fixture.h"

using Engine::InputTriangle;
using Engine::Lightmapper;
using Engine::LightmapperSettings;
using Geom::Vec3;
using Geom::Vec4;
using LightmapperTest::Tri;

namespace {

// Two triangles of the square (0..1, 0..1, 0), both facing +z; the diagonal from (0, 1, 0) to
// (1, 0, 0) is edge 1 of the first and edge 0 of the second, run in opposite directions.
InputTriangle QuadA() { return Tri({0, 0, 0}, {0, 1, 0}, {1, 0, 0}); }
InputTriangle QuadB() { return Tri({1, 0, 0}, {0, 1, 0}, {1, 1, 0}); }

}  // namespace

TEST(Connectivity, BothWindingsShareOneEdge)
{
    Lightmapper lm(LightmapperSettings{});
    ASSERT_EQ(lm.AddTriangle(QuadA()), 0);
    ASSERT_EQ(lm.AddTriangle(QuadB()), 1);
    EXPECT_EQ(lm.Mesh().edges.size(), 5u);
    ASSERT_EQ(lm.Mesh().triangles[0].edge[1], lm.Mesh().triangles[1].edge[0]);
    const Engine::LmEdge& shared = lm.Mesh().edges[size_t(lm.Mesh().triangles[0].edge[1])];
    EXPECT_EQ(shared.lower, std::min(lm.Mesh().triangles[0].pos[1], lm.Mesh().triangles[0].pos[2]));
    EXPECT_EQ(shared.upper, std::max(lm.Mesh().triangles[0].pos[1], lm.Mesh().triangles[0].pos[2]));
    EXPECT_EQ(shared.triangle[0], 0);
    EXPECT_EQ(shared.triangle[1], 1);

    lm.BuildConnectivity();
    const int expected[2][3] = {{-1, 1, -1}, {0, -1, -1}};
    for (int t = 0; t < 2; t++)
        for (int e = 0; e < 3; e++)
            EXPECT_EQ(lm.Mesh().triangles[size_t(t)].neighbour[e], expected[t][e]) << "triangle " << t << " edge " << e;
}

TEST(Connectivity, NonManifoldEdgeKeepsTheFirstTwo)
{
    // Three triangles facing +z on the edge (0,0,0)-(1,0,0), registered as A, B, C.
    Lightmapper lm(LightmapperSettings{});
    ASSERT_EQ(lm.AddTriangle(Tri({0, 0, 0}, {0.5f, 1, 0}, {1, 0, 0})), 0);   // A, edge 2
    ASSERT_EQ(lm.AddTriangle(Tri({0, 0, 0}, {1, 0, 0}, {0.5f, -1, 0})), 1);  // B, edge 0
    ASSERT_EQ(lm.AddTriangle(Tri({0, 0, 0}, {0.3f, 2, 0}, {1, 0, 0})), 2);   // C, edge 2
    int32_t edge = lm.Mesh().triangles[0].edge[2];
    EXPECT_EQ(lm.Mesh().triangles[1].edge[0], edge);
    EXPECT_EQ(lm.Mesh().triangles[2].edge[2], edge);
    EXPECT_EQ(lm.Mesh().edges[size_t(edge)].triangle[0], 0);
    EXPECT_EQ(lm.Mesh().edges[size_t(edge)].triangle[1], 1);

    lm.BuildConnectivity();
    EXPECT_EQ(lm.Mesh().triangles[0].neighbour[2], 1);  // A sees B
    EXPECT_EQ(lm.Mesh().triangles[1].neighbour[0], 0);  // B sees A
    EXPECT_EQ(lm.Mesh().triangles[2].neighbour[2], 0);  // C sees A, which does not see C back
}

TEST(Connectivity, OwnObjectFlagLimitsNeighbours)
{
    const struct {
        uint32_t flagsA;
        const char* objectA;
        uint32_t flagsB;
        const char* objectB;
        bool linked;
    } cases[] = {
        {0x00, "a", 0x00, "b", true},   // unmarked triangles link across objects
        {0x20, "a", 0x00, "a", false},  // one marked, one not: never, even in one object
        {0x00, "a", 0x20, "a", false},
        {0x20, "a", 0x20, "a", true},   // both marked, same object
        {0x20, "a", 0x20, "b", false},  // both marked, different objects
        {0x21, "a", 0x24, "a", true},   // other bits do not matter
    };
    for (const auto& c : cases) {
        Lightmapper lm(LightmapperSettings{});
        InputTriangle a = QuadA();
        a.flags = c.flagsA;
        a.name = c.objectA;
        InputTriangle b = QuadB();
        b.flags = c.flagsB;
        b.name = c.objectB;
        ASSERT_EQ(lm.AddTriangle(a), 0);
        ASSERT_EQ(lm.AddTriangle(b), 1);
        lm.BuildConnectivity();
        std::string row = std::to_string(c.flagsA) + c.objectA + " / " + std::to_string(c.flagsB) + c.objectB;
        EXPECT_EQ(lm.Mesh().triangles[0].neighbour[1], c.linked ? 1 : -1) << row;
        EXPECT_EQ(lm.Mesh().triangles[1].neighbour[0], c.linked ? 0 : -1) << row;
    }
}

TEST(Connectivity, DifferentModelsNeverShareEdges)
{
    Lightmapper lm(LightmapperSettings{});
    ASSERT_EQ(lm.AddTriangle(Tri({0, 0, 0}, {0, 1, 0}, {1, 0, 0}, 1)), 0);
    ASSERT_EQ(lm.AddTriangle(Tri({1, 0, 0}, {0, 1, 0}, {1, 1, 0}, 2)), 1);
    EXPECT_EQ(lm.Mesh().edges.size(), 6u);
    EXPECT_NE(lm.Mesh().triangles[0].edge[1], lm.Mesh().triangles[1].edge[0]);
    const Engine::LmTriangle& t = lm.Mesh().triangles[0];
    EXPECT_EQ(lm.FindNeighbour(1, t.pos[1], t.pos[2], 0), -1);
    lm.BuildConnectivity();
    EXPECT_EQ(lm.Mesh().triangles[0].neighbour[1], -1);
    EXPECT_EQ(lm.Mesh().triangles[1].neighbour[0], -1);
}

TEST(Connectivity, ProjectionKeysSplitNeighbours)
{
    struct Case {
        const char* what;
        InputTriangle a, b;
        int edgeA, edgeB;
    };
    const Case cases[] = {
        // A floor facing +z meets a wall facing +y along (0,0,0)-(1,0,0).
        {"floor meets wall", Tri({0, 0, 0}, {0, 1, 0}, {1, 0, 0}), Tri({0, 0, 0}, {1, 0, 0}, {0, 0, 1}), 2, 0},
        // The two faces of a sheet: the same corners in opposite windings.
        {"thin sheet", Tri({0, 0, 0}, {0, 1, 0}, {1, 0, 0}), Tri({0, 0, 0}, {1, 0, 0}, {0, 1, 0}), 2, 0},
    };
    for (const Case& c : cases) {
        Lightmapper lm(LightmapperSettings{});
        ASSERT_EQ(lm.AddTriangle(c.a), 0) << c.what;
        ASSERT_EQ(lm.AddTriangle(c.b), 1) << c.what;
        ASSERT_NE(lm.Mesh().triangles[0].projKey, lm.Mesh().triangles[1].projKey) << c.what;
        const Engine::LmTriangle& t = lm.Mesh().triangles[0];
        // The edge table links them; only the projection rule keeps them apart.
        EXPECT_EQ(lm.FindNeighbour(0, t.pos[c.edgeA], t.pos[(c.edgeA + 1) % 3], 0), 1) << c.what;
        lm.BuildConnectivity();
        for (int e = 0; e < 3; e++) {
            EXPECT_EQ(lm.Mesh().triangles[0].neighbour[e], -1) << c.what << " edge " << e;
            EXPECT_EQ(lm.Mesh().triangles[1].neighbour[e], -1) << c.what << " edge " << e;
        }
    }
}

TEST(Connectivity, TangentsWithoutTextureCoordinatesFallBackToAnAxis)
{
    const struct {
        Vec3 normal;
        Vec3 tangent;
    } cases[] = {
        {{0, 0, 1}, {0, 1, 0}},  {{0, 0, -1}, {0, 1, 0}},   {{1, 0, 0}, {0, 0, 1}},
        {{0, -2, 0}, {1, 0, 0}}, {{0.6f, 0.8f, 0}, {1, 0, 0}}, {{0.5f, 0.5f, 0.5f}, {0, 0, 1}},  // ties go to x
    };
    for (const auto& c : cases) {
        Lightmapper lm(LightmapperSettings{});
        InputTriangle in = QuadA();
        for (Vec3& n : in.normals)
            n = c.normal;
        ASSERT_EQ(lm.AddTriangle(in), 0);
        lm.BuildConnectivity();
        for (int k = 0; k < 3; k++) {
            Vec4 t = lm.Mesh().triangles[0].tangent[k];
            EXPECT_EQ((Vec3{t.x, t.y, t.z}), c.tangent)
                << "normal " << c.normal.x << " " << c.normal.y << " " << c.normal.z << " corner " << k;
            EXPECT_EQ(t.w, 1.0f);
        }
    }
}

TEST(Connectivity, TangentsFollowTextureSpace)
{
    // QuadA with u along x and v along y, except where a row mirrors u.
    const struct {
        const char* what;
        float u2;
        Vec3 normal;
        Vec4 tangent;
    } cases[] = {
        {"flat", 1, {0, 0, 1}, {1, 0, 0, 1}},
        {"mirrored u", -1, {0, 0, 1}, {-1, 0, 0, -1}},
        {"tilted normal", 1, {0.6f, 0, 0.8f}, {0.8f, 0, -0.6f, 1}},
        {"zero normal", 1, {0, 0, 0}, {1, 0, 0, 1}},  // must not turn into NaN
    };
    for (const auto& c : cases) {
        Lightmapper lm(LightmapperSettings{});
        InputTriangle in = QuadA();
        in.uvs[0] = {0, 0};
        in.uvs[1] = {0, 1};
        in.uvs[2] = {c.u2, 0};
        for (Vec3& n : in.normals)
            n = c.normal;
        ASSERT_EQ(lm.AddTriangle(in), 0);
        lm.BuildConnectivity();
        for (int k = 0; k < 3; k++) {
            Vec4 t = lm.Mesh().triangles[0].tangent[k];
            EXPECT_NEAR(t.x, c.tangent.x, 1e-6f) << c.what;
            EXPECT_NEAR(t.y, c.tangent.y, 1e-6f) << c.what;
            EXPECT_NEAR(t.z, c.tangent.z, 1e-6f) << c.what;
            EXPECT_EQ(t.w, c.tangent.w) << c.what;
        }
    }
}
