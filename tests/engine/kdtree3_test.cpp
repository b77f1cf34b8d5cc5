#include "engine/lightmapper/lightmapper.h"
#include "engine/lightmapper/tree_stage.h"
#include "engine/spatial/kdtree3.h"
#include "engine/spatial/triangle_ops.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "core/log.h"
#include "core/parallel_for.h"
#include "tests/engine/triangle_mesh_fixture.h"

namespace {

using Engine::KdRay;
using Engine::noHit;
using Engine::TriangleCorners;
using Geom::Box3;
using Geom::Vec2;
using Geom::Vec3;

using MeshTest::TestMesh;

// Fills the tree as the lightmapper's tree stage does: id k = triangle k, its box, Build(1, false).
template <class Tree>
void FillAndBuild(const TestMesh& mesh, Tree& tree, int32_t slots = 1)
{
    Engine::AddAllTriangles(mesh.View(), tree);
    tree.SetSlotCount(slots);
    tree.Build(1, false);
}

struct TracedMesh {
    TestMesh mesh;
    Engine::TriangleElements elements;
    Engine::TriangleKdTree tree;

    void Build(int32_t slots = 1)
    {
        elements.SetView(mesh.View());
        tree.Bind(&elements);
        FillAndBuild(mesh, tree, slots);
    }
};

// The plain policy: the triangle rules through the two delegates, counting tests per element.
struct CountingMesh {
    TestMesh mesh;
    Engine::KdDelegateElements elements;
    Engine::KdTree3<> tree;
    std::vector<int> tests;

    void Build(int32_t slots = 1)
    {
        elements.splitElement = [this](float p, int32_t a, const Box3& box, int32_t id, Box3& l, Box3& r) {
            return Engine::SplitTriangleElement(mesh.View(), p, a, box, id, l, r);
        };
        elements.intersectElement = [this](int32_t mode, int32_t id, const KdRay& ray, float) {
            tests[size_t(id)]++;
            return Engine::IntersectTriangle(mesh.View(), mode, id, ray);
        };
        tests.assign(mesh.triangles.size(), 0);
        tree.Bind(&elements);
        FillAndBuild(mesh, tree, slots);
    }
};

// Unit right triangle in the z = 0 plane, corners (x, y), (x + 1, y), (x, y + 1).
int32_t AddFloorTriangle(TestMesh& mesh, float x, float y, uint32_t flags = 0)
{
    return mesh.Add({x, y, 0}, {x + 1, y, 0}, {x, y + 1, 0}, flags);
}

KdRay Down(float x, float y, float height) { return {{x, y, height}, {0, 0, -1}}; }

// Random triangles spread over a cube plus a dense cluster of small ones, which makes the tree
// both split straddlers and share leaves.
void AddRandomTriangles(TestMesh& mesh, uint32_t seed, int count)
{
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    for (int i = 0; i < count; i++) {
        const bool clustered = i % 3 == 0;
        const float size = clustered ? 0.05f : 0.6f;
        Vec3 center = clustered ? Vec3{0.5f + 0.1f * unit(random), 0.5f + 0.1f * unit(random), 0.5f}
                                : Vec3{unit(random) * 4 - 2, unit(random) * 4 - 2, unit(random) * 4 - 2};
        Vec3 c[3];
        for (Vec3& corner : c)
            corner = center + Vec3{unit(random) - 0.5f, unit(random) - 0.5f, unit(random) - 0.5f} * size;
        mesh.Add(c[0], c[1], c[2]);
    }
}

std::vector<KdRay> RandomRays(uint32_t seed, int count, float spread)
{
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    std::vector<KdRay> rays;
    for (int i = 0; i < count; i++) {
        KdRay ray{{unit(random) * spread, unit(random) * spread, unit(random) * spread},
                  {unit(random), unit(random), unit(random)}};
        // A few rays run exactly parallel to a split axis to take the parallel branch.
        if (i % 17 == 0)
            ray.direction.y = ray.direction.z = 0;
        rays.push_back(ray);
    }
    return rays;
}

struct BruteHit {
    float distance = noHit;
    int32_t triangle = -1;
};

BruteHit BruteNearest(const TestMesh& mesh, int32_t mode, const KdRay& ray)
{
    BruteHit best;
    for (int32_t i = 0; i < int32_t(mesh.triangles.size()); i++) {
        const float t = Engine::IntersectTriangle(mesh.View(), mode, i, ray);
        if (t < best.distance)
            best = {t, i};
    }
    return best;
}

TEST(KdTree3, EmptyTreeHasOneNodeOneEmptyLeafAndMissesEverything)
{
    std::vector<std::string> lines;
    const int listener = Core::AddLogListener([&](const std::string& line) { lines.push_back(line); });
    TracedMesh traced;
    traced.Build();
    Core::RemoveLogListener(listener);

    const Engine::TriangleKdTree& tree = traced.tree;
    ASSERT_EQ(tree.nodes.size(), 1u);
    EXPECT_EQ(tree.nodes[0].split, 0.0f);
    EXPECT_EQ(tree.nodes[0].axis, 0);
    EXPECT_EQ(tree.nodes[0].left, -2);
    EXPECT_EQ(tree.nodes[0].right, -2);
    ASSERT_EQ(tree.leaves.size(), 1u);
    EXPECT_EQ(tree.leaves[0].count, 0);
    EXPECT_TRUE(tree.leafElements.empty());
    EXPECT_TRUE(tree.rootBox.IsEmpty());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("  tree stats: 1 nodes, 1 leafs, 0 elems"), std::string::npos) << lines[0];

    const KdRay ray{{0, 0, 0}, {1, 0, 0}};
    EXPECT_EQ(tree.RayNearest(0, 0, ray, nullptr, 10), noHit);
    EXPECT_FALSE(tree.RayAny(0, 0, ray, 10));
    std::vector<int32_t> found;
    tree.QueryBox(0, Box3{{-1, -1, -1}, {1, 1, 1}}, found);
    EXPECT_TRUE(found.empty());
}

TEST(KdTree3, ZeroDirectionMissesWithoutTouchingTheMailbox)
{
    TracedMesh traced;
    AddFloorTriangle(traced.mesh, 0, 0);
    traced.Build();
    const uint32_t stamp = traced.tree.SlotMailbox(0).stamp;
    for (float length : {0.0f, 1e-20f}) {
        const KdRay ray{{0.2f, 0.2f, 1}, {0, 0, -length}};
        EXPECT_EQ(traced.tree.RayNearest(0, 0, ray, nullptr, 10), noHit) << length;
        EXPECT_EQ(traced.tree.RayNearest(0, 0, ray, nullptr, -1), noHit) << length;
        EXPECT_FALSE(traced.tree.RayAny(0, 0, ray, 10)) << length;
    }
    EXPECT_EQ(traced.tree.SlotMailbox(0).stamp, stamp);
    EXPECT_EQ(traced.tree.RayNearest(0, 0, Down(0.2f, 0.2f, 1), nullptr, 10), 1.0f);
    EXPECT_EQ(traced.tree.SlotMailbox(0).stamp, stamp + 1);
}

TEST(KdTree3, DistanceLimitsAndSelfHits)
{
    TracedMesh traced;
    const int32_t floor = AddFloorTriangle(traced.mesh, 0, 0);
    traced.Build();
    const Engine::TriangleKdTree& tree = traced.tree;
    const struct {
        float height, maxDistance;
        float nearest;  // expected RayNearest
        bool any;       // expected RayAny
        const char* what;
    } cases[] = {
        {0.0f, 10, noHit, false, "origin on the surface leaves it"},
        {1.0f / 4096, 10, noHit, false, "closer than 1/2304 is the surface the ray leaves"},
        {1.0f / 1024, 10, 1.0f / 1024, true, "just beyond 1/2304 hits"},
        {1.0f, 1.0f, 1.0f, false, "exactly at the limit: nearest keeps it, any needs strictly closer"},
        {1.0f, 0.5f, noHit, false, "beyond the limit"},
        {-1.0f, 10, noHit, false, "behind the origin"},
        {1.0f, -2.0f, 0.5f, true, "segment of length 2, hit in the middle"},
        {1.0f, -1.0f, 1.0f, false, "segment ending exactly on the triangle"},
        {1.0f, -0.5f, noHit, false, "segment ending before the triangle"},
    };
    for (const auto& c : cases) {
        KdRay ray = Down(0.25f, 0.25f, c.height);
        if (c.maxDistance < 0)
            ray.direction = ray.direction * -c.maxDistance;
        const float maxDistance = c.maxDistance < 0 ? -1.0f : c.maxDistance;
        int32_t hit = -7;
        EXPECT_EQ(tree.RayNearest(0, 0, ray, &hit, maxDistance), c.nearest) << c.what;
        EXPECT_EQ(hit, c.nearest == noHit ? -7 : floor) << c.what;
        EXPECT_EQ(tree.RayAny(0, 0, ray, maxDistance), c.any) << c.what;
    }
}

TEST(KdTree3, EdgeHitsReachBothTrianglesWithinTolerance)
{
    // Two triangles sharing the edge x + y = 1 of the unit square.
    TracedMesh traced;
    TestMesh& mesh = traced.mesh;
    const int32_t lower = mesh.Add({0, 0, 0}, {1, 0, 0}, {0, 1, 0});
    const int32_t upper = mesh.Add({1, 0, 0}, {1, 1, 0}, {0, 1, 0});
    const auto view = mesh.View();
    const struct {
        float x, y;
        bool lowerHit, upperHit;
    } cases[] = {
        {0.5f, 0.5f, true, true},          // on the shared edge
        {0.5f, 0.50004f, true, true},      // within 1e-4 of it on the upper side
        {0.5f, 0.5003f, false, true},      // clearly beyond the lower one
        {0.0f, -0.00005f, true, false},    // just outside the lower's other edge, still inside
        {0.0f, -0.0003f, false, false},
    };
    for (const auto& c : cases) {
        const KdRay ray = Down(c.x, c.y, 1);
        EXPECT_EQ(Engine::IntersectTriangle(view, 0, lower, ray) != noHit, c.lowerHit) << c.x << "," << c.y;
        EXPECT_EQ(Engine::IntersectTriangle(view, 0, upper, ray) != noHit, c.upperHit) << c.x << "," << c.y;
    }

    traced.Build();
    int32_t hit = -1;
    EXPECT_EQ(traced.tree.RayNearest(0, 0, Down(0.5f, 0.5f, 1), &hit, 10), 1.0f);
    EXPECT_TRUE(hit == lower || hit == upper);
}

TEST(KdTree3, RayTriangleFollowsTheWindingFreeTestAndReportsWeights)
{
    float b1 = -1, b2 = -1;
    const KdRay ray = Down(0.25f, 0.5f, 2);
    EXPECT_EQ(Engine::RayTriangle(ray, {0, 0, 0}, {1, 0, 0}, {0, 1, 0}, 1e-4f, b1, b2), 2.0f);
    EXPECT_EQ(b1, 0.25f);
    EXPECT_EQ(b2, 0.5f);
    // The other winding is hit too (no back-face culling), with the weights swapped.
    EXPECT_EQ(Engine::RayTriangle(ray, {0, 0, 0}, {0, 1, 0}, {1, 0, 0}, 1e-4f, b1, b2), 2.0f);
    EXPECT_EQ(b1, 0.5f);
    EXPECT_EQ(b2, 0.25f);
    // Parallel to the plane: det is exactly 0.
    const KdRay sideways{{0.25f, 0.25f, 0}, {1, 0, 0}};
    EXPECT_EQ(Engine::RayTriangle(sideways, {0, 0, 0}, {1, 0, 0}, {0, 1, 0}, 1e-4f, b1, b2), noHit);
    // Behind the origin: t is negative and left for the caller to judge.
    EXPECT_EQ(Engine::RayTriangle(Down(0.25f, 0.25f, -3), {0, 0, 0}, {1, 0, 0}, {0, 1, 0}, 1e-4f, b1, b2), -3.0f);
}

TEST(KdTree3, ModeAndFlagRules)
{
    const struct {
        uint32_t flags;
        bool mode0, mode32;
    } cases[] = {
        {0x00, true, true},   {0x01, false, false}, {0x10, false, false}, {0x11, false, false},
        {0x30, false, true},  {0x21, false, true},  {0x20, true, true},   {0x02, true, true},
        {0x40, true, true},   {0x80, true, true},
    };
    for (const auto& c : cases) {
        TracedMesh traced;
        AddFloorTriangle(traced.mesh, 0, 0, c.flags);
        traced.Build();
        const KdRay ray = Down(0.25f, 0.25f, 1);
        EXPECT_EQ(traced.tree.RayAny(0, 0, ray, 10), c.mode0) << std::hex << c.flags;
        EXPECT_EQ(traced.tree.RayAny(0, 32, ray, 10), c.mode32) << std::hex << c.flags;
        EXPECT_EQ(traced.tree.RayNearest(0, 0, ray, nullptr, 10) != noHit, c.mode0) << std::hex << c.flags;
        EXPECT_EQ(traced.tree.RayNearest(0, 32, ray, nullptr, 10) != noHit, c.mode32) << std::hex << c.flags;
    }
}

TEST(KdTree3, WrapTexelRoundsHalfAwayFromZeroAndRepeats)
{
    const struct {
        float coordinate;
        int32_t size, expected;
    } cases[] = {
        {0.0f, 4, 0},   {0.125f, 4, 1},   {0.124f, 4, 0},  {-0.125f, 4, 3}, {-0.124f, 4, 0},
        {0.875f, 4, 0}, {1.25f, 4, 1},    {-0.25f, 4, 3},  {-1.0f, 4, 0},   {2.3f, 2, 1},
        // Past the integer range: whole numbers already, wrapped without overflow.
        {2147483648.0f, 3, 0},  {-8589934592.0f, 3, 0}, {std::nanf(""), 4, 0}, {INFINITY, 4, 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Engine::WrapTexel(c.coordinate, c.size), c.expected) << c.coordinate << " on " << c.size;
}

TEST(KdTree3, AlphaMapLetsRaysThroughBelow128WithWrappingCoordinates)
{
    // A 2 x 1 map: column 0 alpha 127 (passes), column 1 alpha 128 (blocks). The quad's texture
    // coordinates run from -1 to 3 across x, so the map repeats twice and a half.
    Image::Bitmap map(2, 1);
    map.At(0, 0) = 0x7F000000u;
    map.At(1, 0) = 0x80FFFFFFu;
    for (uint32_t flags : {0x02u, 0x00u}) {
        TracedMesh traced;
        const int32_t object = traced.mesh.AddObject(map);
        traced.mesh.Add({0, 0, 0}, {4, 0, 0}, {0, 4, 0}, flags, {-1, 0}, {3, 0}, {-1, 4}, object);
        traced.mesh.Add({4, 0, 0}, {4, 4, 0}, {0, 4, 0}, flags, {3, 0}, {3, 4}, {-1, 4}, object);
        traced.Build();
        const struct {
            float x;  // s = x - 1
            bool blocks;
        } cases[] = {
            {1.2f, false},  // s = 0.2: 0.4 rounds to 0
            {1.3f, true},   // s = 0.3: 0.6 rounds to 1
            {0.7f, true},   // s = -0.3: -0.6 rounds to -1, wraps to 1
            {0.9f, false},  // s = -0.1: -0.2 rounds to 0
            {3.2f, false},  // s = 2.2: 4.4 rounds to 4, wraps to 0
            {3.7f, true},   // s = 2.7: 5.4 rounds to 5, wraps to 1
        };
        for (const auto& c : cases) {
            const KdRay ray = Down(c.x, 0.5f, 1);
            const bool expected = flags == 0 || c.blocks;
            EXPECT_EQ(traced.tree.RayAny(0, 0, ray, 10), expected) << c.x << " flags " << flags;
            EXPECT_EQ(traced.tree.RayNearest(0, 0, ray, nullptr, 10) != noHit, expected) << c.x;
        }
    }
}

TEST(KdTree3, AlphaFlagWithoutMapBlocks)
{
    TracedMesh traced;
    traced.mesh.AddObject(Image::Bitmap());
    traced.mesh.Add({0, 0, 0}, {1, 0, 0}, {0, 1, 0}, 0x02, {}, {}, {}, 0);
    traced.mesh.Add({2, 0, 0}, {3, 0, 0}, {2, 1, 0}, 0x02, {}, {}, {}, -1);
    traced.Build();
    EXPECT_TRUE(traced.tree.RayAny(0, 0, Down(0.2f, 0.2f, 1), 10));
    EXPECT_TRUE(traced.tree.RayAny(0, 0, Down(2.2f, 0.2f, 1), 10));
}

TEST(KdTree3, StraddlingTrianglesAreTestedOncePerQuery)
{
    CountingMesh counting;
    // Two long slivers crossing a grid of small floor triangles: every split of the grid along
    // x cuts them, so they end up in many leaves.
    counting.mesh.Add({-0.5f, 0.3f, 0.5f}, {8.5f, 0.3f, 0.5f}, {-0.5f, 0.35f, 0.6f});
    counting.mesh.Add({-0.5f, 0.6f, 0.7f}, {8.5f, 0.6f, 0.7f}, {-0.5f, 0.65f, 0.8f});
    for (int x = 0; x < 8; x++)
        AddFloorTriangle(counting.mesh, float(x), 0);
    counting.Build();

    int leavesWithSliver = 0;
    for (const Engine::KdLeaf& leaf : counting.tree.leaves) {
        for (int32_t k = leaf.first; k < leaf.first + leaf.count; k++)
            leavesWithSliver += counting.tree.leafElements[size_t(k)] == 0;
    }
    ASSERT_GT(leavesWithSliver, 1) << "the fixture no longer splits the sliver";

    // Grazing rays along the slivers and diagonal rays through everything.
    const KdRay rays[] = {
        {{-1, 0.32f, 0.52f}, {1, 0, 0}},        {{9, 0.62f, 0.72f}, {-1, 0, 0.001f}},
        {{-1, 0.1f, 2}, {1, 0.05f, -0.2f}},     {{9, 0.9f, -1}, {-1, -0.05f, 0.2f}},
    };
    for (const KdRay& ray : rays) {
        for (int query = 0; query < 3; query++) {
            std::fill(counting.tests.begin(), counting.tests.end(), 0);
            if (query == 0)
                counting.tree.RayNearest(0, 0, ray, nullptr, 100);
            else if (query == 1)
                counting.tree.RayAny(0, 0, ray, 100);
            else
                counting.tree.RayNearest(0, 0, {ray.origin, ray.direction * 10}, nullptr, -1);
            EXPECT_LE(*std::max_element(counting.tests.begin(), counting.tests.end()), 1) << "query " << query;
        }
    }
    std::vector<int32_t> found;
    counting.tree.QueryBox(0, counting.tree.rootBox, found);
    std::vector<int32_t> sorted = found;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(std::unique(sorted.begin(), sorted.end()), sorted.end());
    EXPECT_EQ(sorted.size(), counting.mesh.triangles.size());
}

TEST(KdTree3, StampWrapClearsMarks)
{
    TracedMesh traced;
    AddFloorTriangle(traced.mesh, 0, 0);
    AddFloorTriangle(traced.mesh, 0.5f, 0, 0);
    traced.Build();
    Engine::Mailbox& mailbox = traced.tree.SlotMailbox(0);
    // Marks left over from a query 2^32 queries ago carry the stamp the wrap would reuse.
    mailbox.stamp = 0xFFFFFFFFu;
    std::fill(mailbox.marks.begin(), mailbox.marks.end(), 1u);
    EXPECT_EQ(traced.tree.RayNearest(0, 0, Down(0.6f, 0.2f, 1), nullptr, 10), 1.0f);
    EXPECT_EQ(mailbox.stamp, 1u);
    std::vector<int32_t> found;
    traced.tree.QueryBox(0, traced.tree.rootBox, found);
    EXPECT_EQ(found.size(), 2u);
}

TEST(KdTree3, BuildShapes)
{
    // Copies of one triangle all span the whole cell: no plane inside it, so one leaf.
    {
        TracedMesh traced;
        for (int i = 0; i < 5; i++)
            AddFloorTriangle(traced.mesh, 0, 0);
        traced.Build();
        ASSERT_EQ(traced.tree.nodes.size(), 1u);
        EXPECT_EQ(traced.tree.nodes[0].left, traced.tree.nodes[0].right);
        ASSERT_EQ(traced.tree.leaves.size(), 1u);
        EXPECT_EQ(traced.tree.leaves[0].count, 5);
    }
    // Two far apart groups split once on x, at an event position between them.
    {
        TracedMesh traced;
        for (int i = 0; i < 4; i++) {
            AddFloorTriangle(traced.mesh, 0, float(i) * 0.1f);
            AddFloorTriangle(traced.mesh, 10, float(i) * 0.1f);
        }
        traced.Build();
        ASSERT_GE(traced.tree.nodes.size(), 1u);
        EXPECT_EQ(traced.tree.nodes[0].axis, 0);
        EXPECT_GE(traced.tree.nodes[0].split, 1.0f);
        EXPECT_LE(traced.tree.nodes[0].split, 10.0f);
        EXPECT_TRUE(traced.tree.elementBoxes.empty()) << "boxes are released unless kept";
    }
}

TEST(KdTree3, RandomTreeInvariants)
{
    const uint32_t seed = 20261209;
    SCOPED_TRACE("seed " + std::to_string(seed));
    TracedMesh traced;
    AddRandomTriangles(traced.mesh, seed, 3000);
    traced.Build();
    const Engine::TriangleKdTree& tree = traced.tree;

    // Pre-order: an interior left child is the next node, every child index is in range.
    std::vector<int> leafUse(tree.leaves.size(), 0);
    for (size_t i = 0; i < tree.nodes.size(); i++) {
        const Engine::KdNode& node = tree.nodes[i];
        EXPECT_TRUE(node.left <= -2 || node.left == int32_t(i) + 1) << i;
        EXPECT_TRUE(node.right <= -2 || (node.right > int32_t(i) && node.right < int32_t(tree.nodes.size()))) << i;
        for (int32_t child : {node.left, node.right}) {
            if (child <= -2)
                leafUse[size_t(-2 - child)]++;
        }
    }
    // Identical leaves are stored once and every stored leaf is reachable.
    std::set<std::vector<int32_t>> contents;
    for (const Engine::KdLeaf& leaf : tree.leaves) {
        std::vector<int32_t> run(tree.leafElements.begin() + leaf.first,
                                 tree.leafElements.begin() + leaf.first + leaf.count);
        EXPECT_TRUE(std::is_sorted(run.begin(), run.end()));
        EXPECT_TRUE(contents.insert(run).second) << "duplicate leaf";
    }
    for (int use : leafUse)
        EXPECT_GE(use, 1);
    EXPECT_GT(tree.nodes.size(), 100u);
    EXPECT_GT(tree.leafElements.size(), traced.mesh.triangles.size()) << "no triangle was split";
}

TEST(KdTree3, QueriesAgreeWithBruteForce)
{
    for (uint32_t seed : {1u, 77u}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        TracedMesh traced;
        AddRandomTriangles(traced.mesh, seed, 3000);
        traced.Build();
        const std::vector<KdRay> rays = RandomRays(seed + 1, 3000, 2.5f);
        int hits = 0;
        for (size_t i = 0; i < rays.size(); i++) {
            const KdRay& ray = rays[i];
            const int32_t mode = int32_t(i % 2) * 32;
            const BruteHit brute = BruteNearest(traced.mesh, mode, ray);
            for (float maxDistance : {noHit, 1.5f}) {
                int32_t hit = -1;
                const float nearest = traced.tree.RayNearest(0, mode, ray, &hit, maxDistance);
                const bool inRange = brute.distance <= maxDistance && brute.distance != noHit;
                ASSERT_EQ(nearest, inRange ? brute.distance : noHit) << "ray " << i << " max " << maxDistance;
                if (inRange) {
                    // Ties may pick either triangle; the one reported must be hit at that distance.
                    EXPECT_EQ(Engine::IntersectTriangle(traced.mesh.View(), mode, hit, ray), nearest) << "ray " << i;
                    hits++;
                }
                ASSERT_EQ(traced.tree.RayAny(0, mode, ray, maxDistance), brute.distance < maxDistance)
                    << "ray " << i << " max " << maxDistance;
            }
            // The segment form measures in fractions of the direction.
            const KdRay segment{ray.origin, ray.direction * 3.0f};
            const float fraction = traced.tree.RayNearest(0, mode, segment, nullptr, -1);
            const float length = Geom::Length(segment.direction);
            const KdRay unit{ray.origin, segment.direction / length};
            const BruteHit unitBrute = BruteNearest(traced.mesh, mode, unit);
            ASSERT_EQ(fraction, unitBrute.distance <= length ? unitBrute.distance / length : noHit) << "ray " << i;
            ASSERT_EQ(traced.tree.RayAny(0, mode, segment, -1), unitBrute.distance < length) << "ray " << i;
        }
        EXPECT_GT(hits, 500) << "too few rays hit to compare anything";
    }
}

// The rays of one surface point share their origin. Origins on split planes (where the child
// entered first depends on the direction), axis-parallel directions and origins that come back
// after others must all give what the plain loop over every triangle gives.
TEST(KdTree3, RaysSharingAnOriginAgreeWithBruteForce)
{
    TracedMesh traced;
    AddRandomTriangles(traced.mesh, 5, 2000);
    traced.Build();
    std::mt19937 random(9);
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    std::vector<Vec3> origins;
    for (int i = 0; i < 12; i++)
        origins.push_back({unit(random) * 2, unit(random) * 2, unit(random) * 2});
    // Onto the planes of the root and of a few deeper nodes, on one and on two axes.
    for (size_t n : {size_t(0), traced.tree.nodes.size() / 3, traced.tree.nodes.size() / 2}) {
        const Engine::KdNode& node = traced.tree.nodes[n];
        Vec3 onPlane = origins[n % origins.size()];
        onPlane[node.axis] = node.split;
        origins.push_back(onPlane);
        const Engine::KdNode& root = traced.tree.nodes[0];
        if (root.axis != node.axis) {
            onPlane[root.axis] = root.split;
            origins.push_back(onPlane);
        }
    }
    std::vector<Vec3> directions;
    for (int i = 0; i < 40; i++)
        directions.push_back({unit(random), unit(random), unit(random)});
    for (int axis = 0; axis < 3; axis++) {
        for (float sign : {-1.0f, 1.0f}) {
            Vec3 d{0, 0, 0};
            d[axis] = sign;
            directions.push_back(d);
        }
    }
    int hits = 0;
    // Every origin twice, the second time after all the others, so reused ways are also left.
    for (int pass = 0; pass < 2; pass++) {
        for (size_t o = 0; o < origins.size(); o++) {
            for (size_t k = 0; k < directions.size(); k++) {
                const KdRay ray{origins[o], directions[k]};
                const BruteHit brute = BruteNearest(traced.mesh, 0, ray);
                int32_t hit = -1;
                const float nearest = traced.tree.RayNearest(0, 0, ray, &hit, noHit);
                ASSERT_EQ(nearest, brute.distance) << "origin " << o << " direction " << k;
                ASSERT_EQ(traced.tree.RayAny(0, 0, ray, 1.0f), brute.distance < 1.0f)
                    << "origin " << o << " direction " << k;
                hits += brute.distance != noHit;
            }
        }
    }
    EXPECT_GT(hits, 200) << "too few rays hit to compare anything";
}

// The elements the latest query of this mailbox tested: those carrying its stamp.
std::vector<bool> MarkedElements(const Engine::Mailbox& mailbox)
{
    std::vector<bool> marked(mailbox.marks.size());
    for (size_t e = 0; e < marked.size(); e++)
        marked[e] = mailbox.marks[e] == mailbox.stamp;
    return marked;
}

TEST(KdTree3, LeafOrderPathMatchesThePlainDelegatePath)
{
    const uint32_t seed = 5;
    SCOPED_TRACE("seed " + std::to_string(seed));
    TracedMesh fast;
    AddRandomTriangles(fast.mesh, seed, 2000);
    // Some triangles with every flag combination that matters, one alpha-tested object.
    Image::Bitmap map(3, 2);
    map.At(1, 0) = 0x10000000u;
    map.At(2, 1) = 0x00000000u;
    const int32_t object = fast.mesh.AddObject(map);
    const uint32_t flagSet[] = {0x01, 0x10, 0x30, 0x21, 0x02, 0x22};
    for (size_t i = 0; i < fast.mesh.triangles.size(); i += 7) {
        TriangleCorners& t = fast.mesh.triangles[i];
        t.flags = flagSet[(i / 7) % 6];
        t.object = object;
        for (int k = 0; k < 3; k++)
            fast.mesh.uvs[size_t(t.uv[k])] = {float(k) * 1.7f - 0.4f, float(i % 5) * 0.3f};
    }
    // Stacks of identical triangles fill leaves with equal distances, where the earliest entry
    // must win, and make runs longer than four entries.
    for (size_t original : {size_t(1), size_t(2)}) {
        const TriangleCorners copied = fast.mesh.triangles[original];
        for (int k = 0; k < 6; k++)
            fast.mesh.triangles.push_back(copied);
    }
    fast.Build();
    CountingMesh plain;
    plain.mesh.positions = fast.mesh.positions;
    plain.mesh.uvs = fast.mesh.uvs;
    plain.mesh.triangles = fast.mesh.triangles;
    plain.mesh.AddObject(map);
    plain.Build();

    ASSERT_EQ(fast.tree.nodes.size(), plain.tree.nodes.size());
    for (size_t i = 0; i < fast.tree.nodes.size(); i++) {
        EXPECT_EQ(fast.tree.nodes[i].split, plain.tree.nodes[i].split);
        EXPECT_EQ(fast.tree.nodes[i].left, plain.tree.nodes[i].left);
        EXPECT_EQ(fast.tree.nodes[i].right, plain.tree.nodes[i].right);
    }
    EXPECT_EQ(fast.tree.leafElements, plain.tree.leafElements);

    std::vector<KdRay> rays = RandomRays(seed, 4000, 2.5f);
    int stackHits = 0;
    for (size_t i = 0; i < 200; i++) {
        const TriangleCorners& t = fast.mesh.triangles[1 + i % 2];
        const Vec3 target = (fast.mesh.positions[size_t(t.pos[0])] + fast.mesh.positions[size_t(t.pos[1])] +
                             fast.mesh.positions[size_t(t.pos[2])]) / 3.0f;
        rays.push_back({rays[i].origin, target - rays[i].origin});
    }
    for (size_t i = 0; i < rays.size(); i++) {
        for (int32_t mode : {0, 32}) {
            int32_t fastHit = -1, plainHit = -1;
            ASSERT_EQ(fast.tree.RayNearest(0, mode, rays[i], &fastHit, 2.0f),
                      plain.tree.RayNearest(0, mode, rays[i], &plainHit, 2.0f))
                << "ray " << i;
            ASSERT_EQ(fastHit, plainHit) << "ray " << i;
            ASSERT_EQ(MarkedElements(fast.tree.SlotMailbox(0)), MarkedElements(plain.tree.SlotMailbox(0)))
                << "the two paths tested different elements for ray " << i;
            stackHits += i >= 4000 && (fastHit == 1 || fastHit == 2);
            ASSERT_EQ(fast.tree.RayAny(0, mode, rays[i], 2.0f), plain.tree.RayAny(0, mode, rays[i], 2.0f))
                << "ray " << i;
        }
    }
    EXPECT_GT(stackHits, 50) << "too few rays reached the stacks of equal triangles";
}

#if defined(__SSE2__)
// Runs of a leaf list are tested four entries at a time. A stack of triangles across one ray,
// listed farthest first, so the nearest entry of any run is its last: a run that looks past its
// end, or skips its tail, returns the wrong one. Entries 4 and 5 are the same distance apart as
// the others but hidden from mode-0 rays; entry 6 is already marked.
TEST(KdTree3, LeafRunsTestExactlyTheirOwnUnmarkedEntries)
{
    TestMesh mesh;
    const int32_t stack = 11;
    for (int32_t k = 0; k < stack; k++) {
        const float z = float(stack - k);
        mesh.Add({-1, -1, z}, {3, -1, z}, {-1, 3, z}, k == 4 || k == 5 ? 0x10u : 0u);
    }
    Engine::TriangleElements elements(mesh.View());
    std::vector<int32_t> order(static_cast<size_t>(stack));
    for (int32_t k = 0; k < stack; k++)
        order[size_t(k)] = k;
    elements.TreeBuilt(order, order);

    const KdRay ray{{0, 0, 0}, {0, 0, 1}};
    std::vector<uint32_t> marks(size_t(stack), 0);
    uint32_t stamp = 0;
    for (int32_t first = 0; first <= stack; first++) {
        for (int32_t count = 0; first + count <= stack; count++) {
            stamp++;
            marks[6] = stamp;
            int32_t hit = -1;
            const float best = elements.IntersectRun(0, first, count, ray, marks.data(), stamp, noHit, hit);
            // The one-entry loop, for comparison.
            float expected = noHit;
            int32_t expectedHit = -1;
            for (int32_t k = first; k < first + count; k++) {
                if (k == 6)
                    continue;
                const float d = elements.IntersectEntry(0, k, ray, expected);
                if (d < expected) {
                    expected = d;
                    expectedHit = k;
                }
            }
            ASSERT_EQ(best, expected) << "run " << first << " + " << count;
            ASSERT_EQ(hit, expectedHit) << "run " << first << " + " << count;
            for (int32_t k = 0; k < stack; k++)
                ASSERT_EQ(marks[size_t(k)] == stamp, k == 6 || (k >= first && k < first + count))
                    << "entry " << k << " of run " << first << " + " << count;
        }
    }
    // A closer best from earlier leaves is kept.
    int32_t hit = -7;
    stamp++;
    EXPECT_EQ(elements.IntersectRun(0, 0, stack, ray, marks.data(), stamp, 0.5f, hit), 0.5f);
    EXPECT_EQ(hit, -7);
}
#endif

// Samples the triangle on a barycentric grid, corners and edges included.
bool TriangleTouchesBox(const TestMesh& mesh, int32_t triangle, const Box3& box)
{
    const TriangleCorners& t = mesh.triangles[size_t(triangle)];
    const Vec3 p0 = mesh.positions[size_t(t.pos[0])];
    const Vec3 e1 = mesh.positions[size_t(t.pos[1])] - p0;
    const Vec3 e2 = mesh.positions[size_t(t.pos[2])] - p0;
    const int steps = 12;
    for (int i = 0; i <= steps; i++) {
        for (int j = 0; i + j <= steps; j++) {
            const Vec3 p = p0 + e1 * (float(i) / steps) + e2 * (float(j) / steps);
            bool inside = true;
            for (int a = 0; a < 3; a++)
                inside = inside && p[a] >= box.min[a] && p[a] <= box.max[a];
            if (inside)
                return true;
        }
    }
    return false;
}

// The box walk as written down: every child whose cell the box overlaps on all three axes
// (touching counts, an empty cell or box overlaps nothing), each element once, in walk order.
void ReferenceQueryBox(const Engine::TriangleKdTree& tree, int32_t child, const Box3& cell, const Box3& box,
                       std::vector<bool>& seen, std::vector<int32_t>& out)
{
    if (Engine::IsKdLeaf(child)) {
        const Engine::KdLeaf& leaf = tree.leaves[size_t(Engine::KdLeafIndex(child))];
        for (int32_t k = leaf.first; k < leaf.first + leaf.count; k++) {
            const int32_t element = tree.leafElements[size_t(k)];
            if (!seen[size_t(element)])
                out.push_back(tree.elementIds[size_t(element)]);
            seen[size_t(element)] = true;
        }
        return;
    }
    const auto overlaps = [&box](const Box3& c) {
        if (box.IsEmpty() || c.IsEmpty())
            return false;
        for (int a = 0; a < 3; a++) {
            if (box.min[a] > c.max[a] || box.max[a] < c.min[a])
                return false;
        }
        return true;
    };
    const Engine::KdNode& node = tree.nodes[size_t(child)];
    Box3 left = cell, right = cell;
    left.max[node.axis] = node.split;
    right.min[node.axis] = node.split;
    if (overlaps(left))
        ReferenceQueryBox(tree, node.left, left, box, seen, out);
    if (overlaps(right))
        ReferenceQueryBox(tree, node.right, right, box, seen, out);
}

std::vector<int32_t> ReferenceQueryBox(const Engine::TriangleKdTree& tree, const Box3& box)
{
    std::vector<bool> seen(tree.elementIds.size());
    std::vector<int32_t> out;
    if (!tree.nodes.empty())
        ReferenceQueryBox(tree, 0, tree.rootBox, box, seen, out);
    return out;
}

TEST(KdTree3, QueryBoxFollowsTheCellWalkAndIsASupersetWithoutRepeats)
{
    const uint32_t seed = 99;
    SCOPED_TRACE("seed " + std::to_string(seed));
    TracedMesh traced;
    AddRandomTriangles(traced.mesh, seed, 3000);
    traced.Build();
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> unit(-2.5f, 2.5f);
    std::uniform_real_distribution<float> size(0.0f, 0.8f);
    std::vector<int32_t> found;
    size_t totalFound = 0, totalOverlapping = 0;
    for (int q = 0; q < 300; q++) {
        Box3 box;
        box.min = {unit(random), unit(random), unit(random)};
        box.max = box.min + Vec3{size(random), size(random), q % 10 == 0 ? 0.0f : size(random)};
        // Some boxes end exactly on a split plane, from below or from above: touching counts.
        if (q % 5 == 1 || q % 5 == 2) {
            const Engine::KdNode& node = traced.tree.nodes[size_t(q * 7919) % traced.tree.nodes.size()];
            if (q % 5 == 1)
                box.max[node.axis] = node.split, box.min[node.axis] = std::min(box.min[node.axis], node.split);
            else
                box.min[node.axis] = node.split, box.max[node.axis] = std::max(box.max[node.axis], node.split);
        }
        found.clear();
        found.push_back(-5);  // QueryBox appends: what was there stays
        traced.tree.QueryBox(0, box, found);
        ASSERT_EQ(found[0], -5);
        ASSERT_EQ(std::vector<int32_t>(found.begin() + 1, found.end()), ReferenceQueryBox(traced.tree, box))
            << "query " << q;
        std::vector<int32_t> sorted(found.begin() + 1, found.end());
        std::sort(sorted.begin(), sorted.end());
        ASSERT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end()) << "query " << q;
        for (int32_t i = 0; i < int32_t(traced.mesh.triangles.size()); i++) {
            // Clipping is exact, so the leaves cover the triangle itself, not all of its box:
            // a triangle with a point inside the query box must be reported.
            if (!TriangleTouchesBox(traced.mesh, i, box))
                continue;
            totalOverlapping++;
            ASSERT_TRUE(std::binary_search(sorted.begin(), sorted.end(), i)) << "query " << q << " tri " << i;
        }
        totalFound += sorted.size();
    }
    EXPECT_GT(totalOverlapping, 200u);
    // A superset, but a tight one: the tree is worth asking.
    EXPECT_LT(totalFound, totalOverlapping * 4);

    found.clear();
    traced.tree.QueryBox(0, Box3(), found);
    EXPECT_TRUE(found.empty()) << "an empty box overlaps nothing";
}

TEST(KdTree3Death, FailedSplitStops)
{
    Engine::KdDelegateElements elements;
    elements.splitElement = [](float, int32_t, const Box3&, int32_t, Box3&, Box3&) { return false; };
    elements.intersectElement = [](int32_t, int32_t, const KdRay&, float) { return noHit; };
    Engine::KdTree3<> tree;
    tree.Bind(&elements);
    // A big box straddling a cluster of small ones: the best plane cuts it.
    tree.elementIds = {0, 1, 2, 3, 4, 5};
    tree.elementBoxes = {Box3{{0, 0, 0}, {10, 1, 1}}, Box3{{0, 0, 0}, {0.1f, 1, 1}}, Box3{{0.2f, 0, 0}, {0.3f, 1, 1}},
                         Box3{{9, 0, 0}, {9.1f, 1, 1}}, Box3{{9.5f, 0, 0}, {9.6f, 1, 1}},
                         Box3{{9.7f, 0, 0}, {9.9f, 1, 1}}};
    EXPECT_DEATH(tree.Build(1, false), "Assertion failed: 0 && \"can't split elem\" at line [0-9]+ in file .*kdtree");
}

}  // namespace

namespace {

Engine::InputTriangle LmTri(Vec3 a, Vec3 b, Vec3 c, const std::string& name, uint32_t flags)
{
    Engine::InputTriangle t;
    t.positions[0] = a;
    t.positions[1] = b;
    t.positions[2] = c;
    t.uvs[0] = {0, 0};
    t.uvs[1] = {1, 0};
    t.uvs[2] = {0, 1};
    t.name = name;
    t.flags = flags;
    t.modelId = 0;
    return t;
}

TEST(KdTree3, LightmapperTreeStageBindsTrianglesFlagsAndAlphaMaps)
{
    Engine::Lightmapper lm{Engine::LightmapperSettings{}};
    lm.FindOrAddObject("glass");
    Image::Bitmap clear(2, 2);
    clear.SetAlpha(0);
    ASSERT_TRUE(lm.SetAlphaMap("glass", clear));
    // A solid floor, a see-through pane above it and a mode-0-invisible roof above that.
    const int32_t floor = lm.AddTriangle(LmTri({0, 0, 0}, {4, 0, 0}, {0, 4, 0}, "floor", 0));
    const int32_t pane = lm.AddTriangle(LmTri({0, 0, 1}, {4, 0, 1}, {0, 4, 1}, "glass", Engine::TriangleAlphaTested));
    const int32_t roof =
        lm.AddTriangle(LmTri({0, 0, 2}, {4, 0, 2}, {0, 4, 2}, "roof", Engine::TriangleNoRays | Engine::TriangleOwnObject));
    ASSERT_EQ(roof, 2);

    std::vector<std::string> lines;
    const int listener = Core::AddLogListener([&](const std::string& line) { lines.push_back(line); });
    Core::ParallelFor pool;
    pool.Start(2);
    Engine::TriangleTrees trees;
    Engine::BuildTriangleTrees(lm.Mesh(), 2, pool, trees);
    Core::RemoveLogListener(listener);

    const Engine::TriangleKdTree& tree = trees.kdTree;
    EXPECT_EQ(tree.elementIds, (std::vector<int32_t>{0, 1, 2}));
    EXPECT_TRUE(tree.elementBoxes.empty());
    EXPECT_EQ(tree.SlotCount(), 2);
    ASSERT_EQ(lines.size(), 2u);
    const std::string expected = "tree stats: " + std::to_string(tree.nodes.size()) + " nodes, " +
                                 std::to_string(tree.leaves.size()) + " leafs, 3 elems";
    EXPECT_EQ(lines[0].substr(lines[0].find("  ") + 2), expected);
    // The ray tracer's structure reports itself after the kd-tree.
    const bool bvh = trees.tracer.Kind() == Engine::TracerKind::bvh;
    EXPECT_EQ(lines[1].substr(lines[1].find("  ") + 2, 10), bvh ? "bvh stats:" : "rays trace");
    if (bvh) {
        EXPECT_EQ(trees.tracer.Bvh().GetStats().triangleCount, 3);
    }

    // The kd-tree and the tracer alike.
    auto nearest = [&](const Engine::TriangleTrees& t, bool kd, int32_t mode, int32_t* hit) {
        return kd ? t.kdTree.RayNearest(0, mode, Down(0.5f, 0.5f, 3), hit, 10)
                  : t.tracer.RayNearest(0, mode, Down(0.5f, 0.5f, 3), hit, 10);
    };
    for (bool kd : {true, false}) {
        int32_t hit = -1;
        // Mode 0 passes the roof and the clear pane and lands on the floor.
        EXPECT_EQ(nearest(trees, kd, 0, &hit), 3.0f);
        EXPECT_EQ(hit, floor);
        // Other modes stop at the roof (TriangleNoRays with TriangleOwnObject).
        EXPECT_EQ(nearest(trees, kd, 32, &hit), 1.0f);
        EXPECT_EQ(hit, roof);
    }
    // Made opaque, the pane blocks.
    lm.Mesh().objects[size_t(lm.FindOrAddObject("glass"))].alphaMap.SetAlpha(255);
    Engine::TriangleTrees rebuilt;
    Engine::BuildTriangleTrees(lm.Mesh(), 2, pool, rebuilt);
    for (bool kd : {true, false}) {
        int32_t hit = -1;
        EXPECT_EQ(nearest(rebuilt, kd, 0, &hit), 2.0f);
        EXPECT_EQ(hit, pane);
    }
}

}  // namespace
