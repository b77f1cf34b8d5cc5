#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <set>
#include <string>
#include <vector>

#include "chart_fixture.h"
#include "engine/lightmapper/connectivity.h"
#include "engine/lightmapper/grouping.h"

using ChartTest::MeshTriangle;
using ChartTest::Prepare;
using ChartTest::Settings;
using ChartTest::Staged;
using Geom::Vec3;

namespace {

// Every triangle sits in exactly one group, which lists it once and is not empty.
void ExpectPartition(const Staged& staged)
{
    std::vector<int> seen(staged.mesh.triangles.size(), 0);
    for (size_t g = 0; g < staged.groups.size(); g++) {
        const Engine::LmGroup& group = staged.groups[g];
        EXPECT_FALSE(group.triangles.empty()) << "group " << g;
        for (int32_t t : group.triangles) {
            seen[size_t(t)]++;
            EXPECT_EQ(staged.mesh.triangles[size_t(t)].group, int32_t(g)) << "triangle " << t;
            EXPECT_EQ(staged.mesh.triangles[size_t(t)].projKey, group.projKey) << "triangle " << t;
        }
    }
    for (size_t t = 0; t < seen.size(); t++)
        EXPECT_EQ(seen[t], 1) << "triangle " << t;
}

// No two triangles of a group overlap in the group's plane.
void ExpectNoOverlapInGroups(const Staged& staged)
{
    for (size_t g = 0; g < staged.groups.size(); g++) {
        const Engine::LmGroup& group = staged.groups[g];
        const int32_t axis = group.ProjectionAxis();
        for (size_t i = 0; i < group.triangles.size(); i++) {
            Engine::EdgeLines a = Engine::EdgeLines2D(staged.mesh, group.triangles[i], axis);
            for (size_t j = i + 1; j < group.triangles.size(); j++) {
                Engine::EdgeLines b = Engine::EdgeLines2D(staged.mesh, group.triangles[j], axis);
                EXPECT_FALSE(Engine::ProjectionsOverlap(a, b))
                    << "group " << g << ": " << group.triangles[i] << " and " << group.triangles[j];
            }
        }
    }
}

void ExpectLargestFirst(const Staged& staged)
{
    for (size_t g = 1; g < staged.groups.size(); g++) {
        const Engine::LmGroup& a = staged.groups[g - 1];
        const Engine::LmGroup& b = staged.groups[g];
        const int32_t sideA = std::max(a.gridWidth, a.gridHeight), sideB = std::max(b.gridWidth, b.gridHeight);
        ASSERT_GE(sideA, sideB) << "group " << g;
        if (sideA == sideB) {
            ASSERT_GE(a.TexelCount(), b.TexelCount()) << "group " << g;
            if (a.TexelCount() == b.TexelCount()) {
                ASSERT_GE(a.gridWidth, b.gridWidth) << "group " << g;
            }
        }
    }
}

// Border bits (0x100 << e) are set exactly where the edge has no neighbour in the same group.
void ExpectBorderBits(const Staged& staged)
{
    for (size_t i = 0; i < staged.mesh.triangles.size(); i++) {
        const Engine::LmTriangle& t = staged.mesh.triangles[i];
        for (int e = 0; e < 3; e++) {
            const int32_t n = t.neighbour[e];
            const bool border = n < 0 || staged.mesh.triangles[size_t(n)].group != t.group;
            EXPECT_EQ((t.flags & Engine::BorderEdgeBit(e)) != 0, border) << "triangle " << i << " edge " << e;
        }
    }
}

int CountLines(const std::vector<std::string>& lines, const std::string& text)
{
    return int(std::count(lines.begin(), lines.end(), text));
}

}  // namespace

TEST(Grouping, BoxGetsOneGroupPerFace)
{
    auto staged = Prepare(Settings(0.25f), ChartTest::Box({0, 0, 0}, {1, 2, 3}));
    staged->BuildGroups();
    ASSERT_EQ(staged->groups.size(), 6u);
    std::set<uint32_t> keys;
    for (const auto& group : staged->groups) {
        EXPECT_EQ(group.triangles.size(), 2u);
        keys.insert(group.projKey);
    }
    EXPECT_EQ(keys.size(), 6u);
    // Triangles 0, 1 face down, 2, 3 up: same axis, opposite signs, never one group.
    EXPECT_EQ(staged->mesh.triangles[0].group, staged->mesh.triangles[1].group);
    EXPECT_EQ(staged->mesh.triangles[2].group, staged->mesh.triangles[3].group);
    EXPECT_NE(staged->mesh.triangles[0].group, staged->mesh.triangles[2].group);
    ExpectPartition(*staged);
    ExpectLargestFirst(*staged);
    // Each triangle's diagonal is inside its face's group, its two box edges are borders.
    ExpectBorderBits(*staged);
    for (const Engine::LmTriangle& t : staged->mesh.triangles) {
        int borders = 0;
        for (int e = 0; e < 3; e++)
            borders += (t.flags >> (8 + e)) & 1;
        EXPECT_EQ(borders, 2);
    }
}

TEST(Grouping, HelixKeepsOverlappingTurnsApart)
{
    // Two turns of a ramp: connected all along, every turn above the last.
    auto staged = Prepare(Settings(0.25f), ChartTest::Helix(2, 24, 0.5f));
    const uint32_t key = staged->mesh.triangles[0].projKey;
    for (const Engine::LmTriangle& t : staged->mesh.triangles)
        ASSERT_EQ(t.projKey, key) << "the ramp must face one way for this test";
    staged->BuildGroups();
    EXPECT_GE(staged->groups.size(), 2u);
    ExpectPartition(*staged);
    ExpectNoOverlapInGroups(*staged);
    ExpectLargestFirst(*staged);
    ExpectBorderBits(*staged);
}

TEST(Grouping, TexelSizeMultipliersNeverMix)
{
    const struct {
        uint32_t flagsA, flagsB;
        size_t groups;
        float sizeB;
        uint32_t groupFlagsB;
    } cases[] = {
        {0, 0, 1, 0.25f, 0},
        {0, 1u << 16, 2, 0.25f * 0.75f, 0},
        {0, 8u << 16, 2, 0.25f * 16.0f, 0},
        {0, 0x08, 2, 0.25f * 8.0f, Engine::GroupCoarse},
        {3u << 16, 3u << 16, 1, 0.25f * 0.375f, 0},
        {0x08 | (1u << 16), 1u << 16, 2, 0.25f * 0.75f, 0},
    };
    for (const auto& c : cases) {
        std::vector<MeshTriangle> mesh;
        mesh.push_back({{0, 0, 0}, {4, 0, 0}, {4, 4, 0}, c.flagsA});
        mesh.push_back({{0, 0, 0}, {4, 4, 0}, {0, 4, 0}, c.flagsB});
        auto staged = Prepare(Settings(0.25f), mesh);
        staged->BuildGroups();
        ASSERT_EQ(staged->groups.size(), c.groups) << std::hex << c.flagsA << " " << c.flagsB;
        const Engine::LmGroup& b = staged->groups[size_t(staged->mesh.triangles[1].group)];
        EXPECT_EQ(b.texelSize[0], c.sizeB) << std::hex << c.flagsB;
        EXPECT_EQ(b.texelSize[1], c.sizeB) << std::hex << c.flagsB;
        EXPECT_EQ(b.groupFlags, c.groupFlagsB) << std::hex << c.flagsB;
        ExpectPartition(*staged);
        ExpectBorderBits(*staged);
    }
}

TEST(Grouping, ChartSizeLimitSplitsLargeFloorsUnlessKept)
{
    // 1000 units at 0.25 are 4000 texels, twice what a chart may span.
    const std::vector<MeshTriangle> fine = ChartTest::Floor(1000.0f, 40);
    {
        auto staged = Prepare(Settings(0.25f), fine);
        staged->GroupTriangles();
        EXPECT_GT(staged->groups.size(), 1u);
        ExpectPartition(*staged);
        ExpectNoOverlapInGroups(*staged);
        for (const auto& group : staged->groups) {
            // Built by joins of single triangles and merges of halves: never past twice the limit.
            EXPECT_LT(group.texelBox.max.x - group.texelBox.min.x, 4096.0f);
            EXPECT_LT(group.texelBox.max.y - group.texelBox.min.y, 4096.0f);
        }
    }
    {
        Engine::LightmapperSettings settings = Settings(0.25f);
        settings.flags |= Engine::KeepLargeGroups;
        auto staged = Prepare(settings, fine);
        staged->GroupTriangles();
        ASSERT_EQ(staged->groups.size(), 1u);
        EXPECT_TRUE(staged->groups[0].texelBox.IsEmpty());
        ExpectPartition(*staged);
    }
    {
        // Two triangles: the second adds nothing to the first one's 4000-texel box.
        auto staged = Prepare(Settings(0.25f), ChartTest::Floor(1000.0f, 1));
        staged->GroupTriangles();
        ASSERT_EQ(staged->groups.size(), 1u);
        EXPECT_FLOAT_EQ(staged->groups[0].texelBox.max.x - staged->groups[0].texelBox.min.x, 4000.0f);
    }
    {
        // A strip 600 units long (2400 texels) in 60 triangles: the triangle that would take the
        // chart to 2050 texels or more is refused, so the strip splits.
        std::vector<MeshTriangle> strip;
        for (int i = 0; i < 30; i++)
            ChartTest::AddQuad(strip, {i * 20.0f, 0, 0}, {(i + 1) * 20.0f, 0, 0}, {(i + 1) * 20.0f, 1, 0},
                               {i * 20.0f, 1, 0});
        auto staged = Prepare(Settings(0.25f), strip);
        staged->GroupTriangles();
        EXPECT_GE(staged->groups.size(), 2u);
        ExpectPartition(*staged);
    }
}

TEST(Grouping, MergeMovesTheSmallerGroupOrNothing)
{
    // The turns of a ramp are linked all along but may not share a group.
    auto staged = Prepare(Settings(0.25f), ChartTest::Helix(3, 16, 0.5f));
    staged->GroupTriangles();
    int merges = 0, refusals = 0;
    for (size_t i = 0; i < staged->mesh.triangles.size(); i++) {
        for (int e = 0; e < 3; e++) {
            const int32_t n = staged->mesh.triangles[i].neighbour[e];
            const int32_t a = staged->mesh.triangles[i].group;
            if (n < 0 || staged->mesh.triangles[size_t(n)].group == a)
                continue;
            const int32_t b = staged->mesh.triangles[size_t(n)].group;
            const std::vector<int32_t> before[2] = {staged->groups[size_t(a)].triangles, staged->groups[size_t(b)].triangles};
            const bool bMoves = before[1].size() <= before[0].size();
            if (!staged->Joiner().MergeGroups(a, b)) {
                refusals++;
                EXPECT_EQ(staged->groups[size_t(a)].triangles, before[0]);
                EXPECT_EQ(staged->groups[size_t(b)].triangles, before[1]);
                continue;
            }
            merges++;
            const int32_t source = bMoves ? b : a, target = bMoves ? a : b;
            std::vector<int32_t> joined = before[bMoves ? 0 : 1];
            joined.insert(joined.end(), before[bMoves ? 1 : 0].begin(), before[bMoves ? 1 : 0].end());
            EXPECT_TRUE(staged->groups[size_t(source)].triangles.empty());
            EXPECT_EQ(staged->groups[size_t(target)].triangles, joined);
            for (int32_t t : joined)
                EXPECT_EQ(staged->mesh.triangles[size_t(t)].group, target);
        }
    }
    // Grouping stops merging only when the remaining merges are refused.
    (void)merges;
    EXPECT_GT(refusals, 0);
    ExpectNoOverlapInGroups(*staged);
}

// The fan around B = (1, 0, 0): triangle i = A B C is steep (46 degrees, dominant axis y) while
// n1 = A D B, m = B D E and n2 = B E C face mostly up (axis z) and form one group that holds i's
// edges A B and B C.
struct IsolatedCase {
    const char* name;
    float dz;            // height of D below the floor per unit of y: n1's slope
    bool withN2;         // with n2 and m: i has two neighbours in the up-facing group
    uint32_t flagsN2;    // another texel size puts n2 in a group of its own
    int moved;
};

std::vector<MeshTriangle> IsolatedFan(const IsolatedCase& c)
{
    const float s = std::tan(46.0f * 3.14159265f / 180.0f);
    const Vec3 a{0, 0, 0}, b{1, 0, 0}, cc{0.5f, 1, s}, d{0.5f, -3, -3 * c.dz};
    // E on n2's plane through B and C, whose slope runs along the edge B C.
    const Vec3 e{1.5f, 0.5f, -0.414f * 0.5f + 0.828f * 0.5f};
    std::vector<MeshTriangle> mesh;
    mesh.push_back({a, b, cc});  // i
    mesh.push_back({a, d, b});   // n1
    if (c.withN2) {
        mesh.push_back({b, d, e});               // m
        mesh.push_back({b, e, cc, c.flagsN2});   // n2
    }
    return mesh;
}

TEST(Grouping, IsolatedTriangleMovesIntoTheGroupAroundIt)
{
    const IsolatedCase cases[] = {
        {"two neighbours within 47 degrees", 0.577f, true, 0, 1},
        {"one neighbour only", 0.577f, false, 0, 0},
        {"neighbours in two groups", 0.577f, true, 1u << 16, 0},
        {"bends more than 47 degrees", -0.3f, true, 0, 0},
    };
    for (const IsolatedCase& c : cases) {
        SCOPED_TRACE(c.name);
        auto staged = Prepare(Settings(0.25f), IsolatedFan(c));
        const uint32_t upKey = staged->mesh.triangles[1].projKey;
        ASSERT_EQ(staged->mesh.triangles[0].projKey & 3, 1u);
        for (size_t t = 1; t < staged->mesh.triangles.size(); t++)
            ASSERT_EQ(staged->mesh.triangles[t].projKey, upKey) << "fixture: triangle " << t << " must face like n1";
        ASSERT_EQ(upKey & 3, 2u);
        const uint32_t ownKey = staged->mesh.triangles[0].projKey;

        LightmapperTest::LogCapture log;
        staged->BuildGroups();
        const int32_t upGroup = staged->mesh.triangles[1].group;
        EXPECT_EQ(CountLines(log.lines, "1 isolated group tris moved"), c.moved);
        if (c.moved) {
            EXPECT_EQ(staged->mesh.triangles[0].group, upGroup);
            EXPECT_EQ(staged->mesh.triangles[0].projKey, upKey);
            ASSERT_EQ(staged->groups.size(), 1u);
            // Connectivity follows the new key: i now links to n1 and n2.
            EXPECT_EQ(staged->mesh.triangles[0].neighbour[0], 1);
            EXPECT_EQ(staged->mesh.triangles[0].neighbour[1], 3);
            EXPECT_EQ(staged->mesh.triangles[0].flags & Engine::TriangleBorderEdges, Engine::BorderEdgeBit(2));
        } else {
            EXPECT_NE(staged->mesh.triangles[0].group, upGroup);
            EXPECT_EQ(staged->mesh.triangles[0].projKey, ownKey);
        }
        ExpectPartition(*staged);
        ExpectNoOverlapInGroups(*staged);
        ExpectBorderBits(*staged);
    }
}

TEST(Grouping, PropertiesOnRandomTerrain)
{
    for (uint32_t seed : {1u, 2u, 3u}) {
        SCOPED_TRACE(seed);
        std::vector<MeshTriangle> mesh = ChartTest::Terrain(12, 1.0f, seed);
        std::vector<MeshTriangle> box = ChartTest::Box({2, 2, 3}, {5, 4, 5});
        mesh.insert(mesh.end(), box.begin(), box.end());
        auto staged = Prepare(Settings(0.25f), mesh);
        staged->BuildGroups();
        ExpectPartition(*staged);
        ExpectNoOverlapInGroups(*staged);
        ExpectLargestFirst(*staged);
        ExpectBorderBits(*staged);
        for (const auto& group : staged->groups) {
            EXPECT_GE(group.gridWidth, 2);
            EXPECT_GE(group.gridHeight, 2);
        }
    }
}

TEST(Grouping, EdgeLinesArePositiveOutside)
{
    std::vector<MeshTriangle> mesh;
    mesh.push_back({{0, 0, 0}, {2, 0, 0}, {0, 2, 0}});   // counter-clockwise
    mesh.push_back({{0, 0, 1}, {0, 2, 1}, {2, 0, 1}});   // clockwise
    auto staged = Prepare(Settings(0.25f), mesh);
    for (int32_t t = 0; t < 2; t++) {
        Engine::EdgeLines lines = Engine::EdgeLines2D(staged->mesh, t, 2);
        const Geom::Vec2 inside{0.5f, 0.5f}, outside{2, 2};
        for (int k = 0; k < 3; k++) {
            const Vec3 l = lines.line[k];
            EXPECT_LT(l.x * inside.x + l.y * inside.y + l.z, 0) << t << " " << k;
            EXPECT_NEAR(l.x * l.x + l.y * l.y, 1.0f, 1e-6f);
        }
        const Vec3 l = lines.line[1];  // the edge from (2, 0) to (0, 2) or its reverse
        EXPECT_GT(l.x * outside.x + l.y * outside.y + l.z, 0) << t;
    }
}

TEST(Grouping, ProjectionsTouchingWithinToleranceDoNotOverlap)
{
    const struct {
        float shift;  // of the second triangle along x; the first ends at x = 1
        bool overlap;
    } cases[] = {{1.0f, false}, {0.995f, false}, {0.98f, true}, {1.5f, false}, {0.5f, true}};
    for (const auto& c : cases) {
        std::vector<MeshTriangle> mesh;
        mesh.push_back({{0, 0, 0}, {1, 0, 0}, {1, 1, 0}});
        mesh.push_back({{c.shift, 0, 0}, {c.shift + 1, 1, 0}, {c.shift, 1, 0}});
        auto staged = Prepare(Settings(0.25f), mesh);
        EXPECT_EQ(Engine::ProjectionsOverlap(Engine::EdgeLines2D(staged->mesh, 0, 2), Engine::EdgeLines2D(staged->mesh, 1, 2)), c.overlap)
            << c.shift;
    }
}

namespace {

Geom::Box3 CornerBox(const Engine::LmMesh& mesh, int32_t i)
{
    Geom::Box3 box;
    for (int32_t k = 0; k < 3; k++)
        box.Add(mesh.Corner(mesh.triangles[size_t(i)], k));
    return box;
}

// The isolated-triangle step with every pass looking at every triangle of a face of its own, in
// index order: what the step must do, however it skips the triangles it knows cannot move.
int32_t MoveIsolatedTrianglesInFullPasses(Engine::ChartJoiner& joiner)
{
    Engine::LmMesh& mesh = joiner.mesh;
    std::vector<int32_t> faceUse(mesh.triangles.size() + 1, 0);
    for (const Engine::LmTriangle& t : mesh.triangles)
        faceUse[size_t(t.faceId)]++;
    const float minCosine = std::cos(0.82030475f);
    int32_t moved = 0;
    for (bool movedAny = true; movedAny;) {
        movedAny = false;
        for (int32_t i = 0; i < mesh.TriangleCount(); i++) {
            Engine::LmTriangle& t = mesh.triangles[size_t(i)];
            if (faceUse[size_t(t.faceId)] != 1)
                continue;
            int32_t around[3], groupOf[3];
            for (int32_t e = 0; e < 3; e++) {
                around[e] = Engine::FindNeighbour(mesh, t.modelId, t.pos[e], t.pos[(e + 1) % 3], i);
                groupOf[e] = around[e] >= 0 ? mesh.triangles[size_t(around[e])].group : -1;
            }
            int32_t g = -1;
            if (groupOf[0] >= 0 && (groupOf[0] == groupOf[1] || groupOf[0] == groupOf[2]))
                g = groupOf[0];
            else if (groupOf[1] >= 0 && groupOf[1] == groupOf[2])
                g = groupOf[1];
            if (g < 0 || g == t.group)
                continue;
            bool bends = false;
            for (int32_t e = 0; e < 3; e++) {
                if (around[e] >= 0 && groupOf[e] == g &&
                    Geom::Dot(mesh.normals[size_t(mesh.triangles[size_t(around[e])].faceNormal)],
                              mesh.normals[size_t(t.faceNormal)]) < minCosine)
                    bends = true;
            }
            if (bends)
                continue;
            const uint32_t ownKey = t.projKey;
            t.projKey = joiner.groups[size_t(g)].projKey;
            if (!joiner.CanJoin(i, g)) {
                t.projKey = ownKey;
                continue;
            }
            Engine::LmGroup& target = joiner.groups[size_t(g)];
            target.triangles.push_back(i);
            target.texelBox.Add(Engine::TriangleTexelBox(mesh, joiner.settings, i));
            target.bounds.Add(CornerBox(mesh, i));
            std::vector<int32_t>& old = joiner.groups[size_t(t.group)].triangles;
            *std::find(old.begin(), old.end(), i) = old.back();
            old.pop_back();
            joiner.Assign(i, g);
            moved++;
            movedAny = true;
        }
    }
    return moved;
}

// A height field whose grid points also wander sideways by up to most of a cell: the surface
// folds over itself, so charts are refused for overlaps as well as for bends.
std::vector<MeshTriangle> FoldedTerrain(int cells, float step, uint32_t seed)
{
    std::vector<MeshTriangle> mesh = ChartTest::Terrain(cells, step, seed);
    uint32_t state = seed * 2654435761u;
    auto wander = [&state, step]() {
        state = state * 1664525u + 1013904223u;
        return (float(state >> 8) / float(1 << 24) - 0.5f) * 1.6f * step;
    };
    std::vector<std::pair<Vec3, Vec3>> moved;  // every grid point moves the same way wherever it appears
    for (MeshTriangle& t : mesh) {
        for (Vec3* p : {&t.a, &t.b, &t.c}) {
            auto at = std::find_if(moved.begin(), moved.end(), [p](const auto& m) { return m.first == *p; });
            if (at == moved.end()) {
                moved.push_back({*p, *p + Vec3{wander(), wander(), 0}});
                at = moved.end() - 1;
            }
            *p = at->second;
        }
    }
    return mesh;
}

TEST(Grouping, IsolatedTrianglesMoveAsInFullPasses)
{
    // Steep random terrain, some of it folded over itself: many triangles face another way than
    // those around them, and moving one changes what its neighbours may do in the same and the
    // next pass.
    int32_t totalMoved = 0;
    for (uint32_t seed = 1; seed <= 12; seed++) {
        SCOPED_TRACE(seed);
        const std::vector<MeshTriangle> mesh = seed % 2 ? ChartTest::Terrain(24, 0.6f + 0.1f * float(seed % 13), seed)
                                                        : FoldedTerrain(16, 0.5f, seed);
        std::vector<Engine::LmGroup> grouped[2];
        std::vector<Engine::LmTriangle> triangles[2];
        int32_t moved[2];
        for (int way = 0; way < 2; way++) {
            auto staged = Prepare(Settings(0.25f), mesh);
            staged->groups = Engine::SeedGroups(staged->mesh, staged->Settings());
            Engine::ChartJoiner joiner = staged->Joiner();
            Engine::MergeAcrossNeighbours(joiner);
            moved[way] = way == 0 ? Engine::MoveIsolatedTriangles(joiner) : MoveIsolatedTrianglesInFullPasses(joiner);
            grouped[way] = std::move(staged->groups);
            triangles[way] = staged->mesh.triangles;
        }
        ASSERT_EQ(moved[0], moved[1]);
        ASSERT_EQ(grouped[0].size(), grouped[1].size());
        for (size_t g = 0; g < grouped[0].size(); g++) {
            EXPECT_EQ(grouped[0][g].triangles, grouped[1][g].triangles) << "group " << g;
            EXPECT_EQ(grouped[0][g].texelBox, grouped[1][g].texelBox) << "group " << g;
        }
        for (size_t t = 0; t < triangles[0].size(); t++) {
            EXPECT_EQ(triangles[0][t].group, triangles[1][t].group) << "triangle " << t;
            EXPECT_EQ(triangles[0][t].projKey, triangles[1][t].projKey) << "triangle " << t;
        }
        totalMoved += moved[0];
    }
    EXPECT_GT(totalMoved, 20) << "the terrains must exercise the step";
}

}  // namespace
