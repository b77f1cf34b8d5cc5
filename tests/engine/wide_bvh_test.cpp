#include "engine/spatial/wide_bvh.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "engine/spatial/triangle_ops.h"
#include "engine/spatial/wide_bvh_builder.h"
#include "tests/engine/wide_bvh_fixture.h"

namespace {

using BvhTest::TestMesh;
using Engine::BvhKernel;
using Engine::KdRay;
using Engine::noHit;
using Engine::WideBvh;
using Geom::Vec3;

// The kernels this processor can run; each query is checked with each.
std::vector<BvhKernel> Kernels()
{
    std::vector<BvhKernel> kernels{BvhKernel::sse2};
    WideBvh probe;
    if (probe.SetKernel(BvhKernel::avx2))
        kernels.push_back(BvhKernel::avx2);
    return kernels;
}

struct Tally {
    int hits = 0;
    int rays = 0;
};

// Every form of both queries on one ray, against the loop over all triangles: distance and
// triangle of the nearest hit with no limit, a limit, the limit exactly at the nearest hit
// (which counts for RayNearest and not for RayAny), and the segment form.
void ExpectSameAsLoop(WideBvh& bvh, const TestMesh& mesh, const KdRay& ray, int32_t mode, const std::string& where,
                      Tally& tally)
{
    const Engine::TriangleMeshView view = mesh.View();
    int32_t loopHit = -1;
    const float loopNearest = Engine::NearestTriangleByLoop(view, mode, ray, &loopHit, noHit);
    std::vector<float> limits{noHit, 1.5f, 0.0f};
    if (loopNearest != noHit)
        limits.push_back(loopNearest);
    tally.rays++;
    tally.hits += loopNearest != noHit;
    for (BvhKernel kernel : Kernels()) {
        ASSERT_TRUE(bvh.SetKernel(kernel));
        const std::string context = where + (kernel == BvhKernel::avx2 ? " avx2" : " sse2") + " mode " +
                                    std::to_string(mode);
        for (float limit : limits) {
            int32_t expectedHit = -1, hit = -1;
            const float expected = Engine::NearestTriangleByLoop(view, mode, ray, &expectedHit, limit);
            const float nearest = bvh.RayNearest(mode, ray, &hit, limit);
            ASSERT_EQ(nearest, expected) << context << " limit " << limit;
            ASSERT_EQ(hit, expectedHit) << context << " limit " << limit;
            ASSERT_EQ(bvh.RayAny(mode, ray, limit), Engine::AnyTriangleByLoop(view, mode, ray, limit))
                << context << " limit " << limit;
        }
        const KdRay segment{ray.origin, ray.direction * 2.5f};
        int32_t expectedHit = -1, hit = -1;
        ASSERT_EQ(bvh.RayNearest(mode, segment, &hit, -1),
                  Engine::NearestTriangleByLoop(view, mode, segment, &expectedHit, -1))
            << context << " segment";
        ASSERT_EQ(hit, expectedHit) << context << " segment";
        ASSERT_EQ(bvh.RayAny(mode, segment, -1), Engine::AnyTriangleByLoop(view, mode, segment, -1))
            << context << " segment";
    }
}

void ExpectRaysSameAsLoop(WideBvh& bvh, const TestMesh& mesh, const std::vector<KdRay>& rays, const std::string& name,
                          Tally& tally)
{
    for (size_t i = 0; i < rays.size(); i++) {
        for (int32_t mode : {0, 32}) {
            ExpectSameAsLoop(bvh, mesh, rays[i], mode, name + " ray " + std::to_string(i), tally);
            if (testing::Test::HasFatalFailure())
                return;
        }
    }
}

TEST(WideBvh, EmptyMeshAndDegenerateRaysMiss)
{
    TestMesh mesh;
    WideBvh bvh;
    bvh.Build(mesh.View());
    EXPECT_EQ(bvh.GetStats().nodeCount, 0);
    const KdRay down{{0.2f, 0.2f, 1}, {0, 0, -1}};
    EXPECT_EQ(bvh.RayNearest(0, down, nullptr, noHit), noHit);
    EXPECT_FALSE(bvh.RayAny(0, down, noHit));

    mesh.Add({0, 0, 0}, {1, 0, 0}, {0, 1, 0});
    bvh.Build(mesh.View());
    int32_t hit = -1;
    EXPECT_EQ(bvh.RayNearest(0, down, &hit, noHit), 1.0f);
    EXPECT_EQ(hit, 0);
    // A zero direction, and a limit that is not a number, meet nothing.
    EXPECT_EQ(bvh.RayNearest(0, {{0.2f, 0.2f, 1}, {0, 0, 0}}, nullptr, noHit), noHit);
    EXPECT_FALSE(bvh.RayAny(0, {{0.2f, 0.2f, 1}, {0, 0, 0}}, noHit));
    EXPECT_EQ(bvh.RayNearest(0, down, nullptr, std::numeric_limits<float>::quiet_NaN()), noHit);
    EXPECT_FALSE(bvh.RayAny(0, down, std::numeric_limits<float>::quiet_NaN()));
    // A hit exactly at the limit counts for the nearest hit, not for "anything closer".
    EXPECT_EQ(bvh.RayNearest(0, down, nullptr, 1.0f), 1.0f);
    EXPECT_FALSE(bvh.RayAny(0, down, 1.0f));
    // The segment form reports a fraction.
    EXPECT_EQ(bvh.RayNearest(0, {{0.2f, 0.2f, 1}, {0, 0, -2}}, nullptr, -1), 0.5f);
    EXPECT_EQ(bvh.RayNearest(0, {{0.2f, 0.2f, 1}, {0, 0, -0.5f}}, nullptr, -1), noHit);
}

// Large triangles and a ray through the barycentric band just outside the triangle's corners:
// the hit lies beyond the corners' box by more than any ray margin, so only the band's share of
// the box keeps it.
TEST(WideBvh, ToleranceBandHitsOutsideTheCornersBoxAreFound)
{
    TestMesh mesh;
    mesh.Add({0, 0, 0}, {100, 0, 0}, {0, 100, 0});
    mesh.Add({0, 0, 50}, {0, 100, 50}, {0, 0, 150});
    // Small triangles beside them, so that the two above get boxes of their own below the root;
    // no coordinate goes beyond 150, which keeps the rays' margin (about 0.006 here) below the
    // band's share of the boxes.
    for (int i = 0; i < 40; i++)
        mesh.Add({110 + float(i), 110, 0}, {111 + float(i), 110, 0}, {110 + float(i), 111, 0});
    WideBvh bvh;
    bvh.Build(mesh.View());
    ASSERT_FALSE(WideBvh::IsLeaf(bvh.Root()));
    const KdRay rays[] = {
        {{-0.009f, 50, 10}, {0, 0, -1}},     // weight of corner 1 about -0.9e-4
        {{50.0045f, 50.0045f, 10}, {0, 0, -1}},  // beyond the long edge
        {{10, -0.009f, -10}, {0, 0, 1}},
        {{5, 50, 100.009f}, {-1, 0, 0}},     // beyond the second triangle's long edge
    };
    for (const KdRay& ray : rays) {
        int32_t hit = -1;
        const float expected = Engine::NearestTriangleByLoop(mesh.View(), 0, ray, &hit, noHit);
        ASSERT_NE(expected, noHit) << "the fixture must hit in the band";
        for (BvhKernel kernel : Kernels()) {
            bvh.SetKernel(kernel);
            int32_t bvhHit = -1;
            EXPECT_EQ(bvh.RayNearest(0, ray, &bvhHit, noHit), expected);
            EXPECT_EQ(bvhHit, hit);
            EXPECT_TRUE(bvh.RayAny(0, ray, noHit));
        }
    }
}

TEST(WideBvh, RandomAndClusteredScenesAgreeWithTheLoop)
{
    for (uint32_t seed : {3u, 41u}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        TestMesh mesh;
        BvhTest::AddRandomTriangles(mesh, seed, 2500);
        BvhTest::AddFlagsAndAlpha(mesh);
        WideBvh bvh;
        bvh.Build(mesh.View());
        ASSERT_GT(bvh.GetStats().nodeCount, 20);
        Tally tally;
        ExpectRaysSameAsLoop(bvh, mesh, BvhTest::RandomRays(seed + 1, 1200, 2.5f), "random", tally);
        EXPECT_GT(tally.hits, 300) << "too few rays hit to compare anything";
    }
}

TEST(WideBvh, SharedEdgesFlatBoxesTiesAndFacesAgreeWithTheLoop)
{
    const int cells = 6;
    TestMesh mesh;
    BvhTest::AddGrids(mesh, cells);
    BvhTest::AddFlagsAndAlpha(mesh);
    WideBvh bvh;
    bvh.Build(mesh.View());
    Tally tally;
    ExpectRaysSameAsLoop(bvh, mesh, BvhTest::GrazingRays(cells), "grazing", tally);
    ExpectRaysSameAsLoop(bvh, mesh, BvhTest::FaceRays(cells), "face", tally);
    // Straight up into the three stacked copies: the lowest index wins the tie.
    int32_t hit = -1;
    const KdRay up{{1.5f, 1.5f, 2}, {0, 0, 1}};
    EXPECT_EQ(bvh.RayNearest(32, up, &hit, noHit), 1.0f);
    EXPECT_EQ(hit, int32_t(mesh.triangles.size()) - 3);
    EXPECT_GT(tally.hits, 500);
}

// Mode and flags: 0x01 and 0x10 hide a triangle from mode 0; other modes see it only with 0x20.
// An alpha-tested triangle in front lets the ray through where its map's alpha is below 128.
TEST(WideBvh, FlagRulesAndAlphaTest)
{
    const struct {
        uint32_t flags;
        bool seenByMode0, seenByMode32;
    } cases[] = {
        {0x00, true, true}, {0x01, false, false}, {0x10, false, false},
        {0x30, false, true}, {0x21, false, true}, {0x20, true, true},
    };
    for (const auto& c : cases) {
        TestMesh mesh;
        mesh.Add({0, 0, 1}, {4, 0, 1}, {0, 4, 1}, c.flags);
        mesh.Add({0, 0, 0}, {4, 0, 0}, {0, 4, 0});
        WideBvh bvh;
        bvh.Build(mesh.View());
        const KdRay down{{1, 1, 2}, {0, 0, -1}};
        for (BvhKernel kernel : Kernels()) {
            bvh.SetKernel(kernel);
            int32_t hit = -1;
            EXPECT_EQ(bvh.RayNearest(0, down, &hit, noHit), c.seenByMode0 ? 1.0f : 2.0f) << c.flags;
            EXPECT_EQ(bvh.RayNearest(32, down, &hit, noHit), c.seenByMode32 ? 1.0f : 2.0f) << c.flags;
            EXPECT_EQ(bvh.RayAny(0, down, 1.5f), c.seenByMode0) << c.flags;
            EXPECT_EQ(bvh.RayAny(32, down, 1.5f), c.seenByMode32) << c.flags;
        }
    }

    // A 2 x 1 map: left texel alpha 127 (through), right 128 (blocks); u runs 0..2 over the
    // triangle, so the map repeats.
    TestMesh mesh;
    Image::Bitmap map(2, 1);
    map.At(0, 0) = 0x7F000000u;
    map.At(1, 0) = 0x80000000u;
    const int32_t object = mesh.AddObject(map);
    mesh.Add({0, 0, 1}, {4, 0, 1}, {0, 4, 1}, 0x02, {0, 0}, {2, 0}, {0, 0}, object);
    mesh.Add({0, 0, 0}, {4, 0, 0}, {0, 4, 0});
    WideBvh bvh;
    bvh.Build(mesh.View());
    for (BvhKernel kernel : Kernels()) {
        bvh.SetKernel(kernel);
        for (float x : {0.1f, 0.9f, 1.1f, 1.9f, 2.1f, 2.9f}) {
            const KdRay down{{x, 0.5f, 2}, {0, 0, -1}};
            // u = x / 2: texel (u * 2 rounded) mod 2; odd texels block.
            const bool blocks = (int(x + 0.5f) % 2) == 1;
            int32_t hit = -1;
            EXPECT_EQ(bvh.RayNearest(0, down, &hit, noHit), blocks ? 1.0f : 2.0f) << x;
            EXPECT_EQ(hit, blocks ? 0 : 1) << x;
            EXPECT_EQ(bvh.RayAny(0, down, 1.5f), blocks) << x;
        }
    }
}

// Both kernels give the same bits on the same rays, and both match the loop.
TEST(WideBvh, Sse2AndAvx2KernelsGiveIdenticalResults)
{
    if (Kernels().size() < 2)
        GTEST_SKIP() << "this processor has no AVX2";
    TestMesh mesh;
    BvhTest::AddRandomTriangles(mesh, 12, 6000);
    BvhTest::AddGrids(mesh, 4);
    BvhTest::AddFlagsAndAlpha(mesh);
    WideBvh bvh;
    bvh.Build(mesh.View());
    const std::vector<KdRay> rays = BvhTest::RandomRays(13, 20000, 3.0f);
    int hits = 0;
    for (size_t i = 0; i < rays.size(); i++) {
        const int32_t mode = int32_t(i % 2) * 32;
        float distance[2];
        int32_t hit[2] = {-1, -1};
        bool any[2];
        for (int k = 0; k < 2; k++) {
            bvh.SetKernel(k == 0 ? BvhKernel::sse2 : BvhKernel::avx2);
            distance[k] = bvh.RayNearest(mode, rays[i], &hit[k], 2.0f);
            any[k] = bvh.RayAny(mode, rays[i], 2.0f);
        }
        ASSERT_EQ(std::memcmp(&distance[0], &distance[1], sizeof(float)), 0) << "ray " << i;
        ASSERT_EQ(hit[0], hit[1]) << "ray " << i;
        ASSERT_EQ(any[0], any[1]) << "ray " << i;
        if (i % 10 == 0) {
            int32_t loopHit = -1;
            ASSERT_EQ(distance[0], Engine::NearestTriangleByLoop(mesh.View(), mode, rays[i], &loopHit, 2.0f));
            ASSERT_EQ(hit[0], loopHit);
        }
        hits += distance[0] != noHit;
    }
    EXPECT_GT(hits, 2000);
}

// Every triangle some mode can see sits in exactly one leaf, inside every box on its way from
// the root, with its rule bits; triangles no mode can see are left out, and triangles without a
// finite box are kept apart and still found.
TEST(WideBvh, BuildPlacesEveryVisibleTriangleOnceInsideItsBoxes)
{
    TestMesh mesh;
    BvhTest::AddRandomTriangles(mesh, 8, 3000);
    BvhTest::AddFlagsAndAlpha(mesh);
    const float inf = std::numeric_limits<float>::infinity();
    const int32_t loose = mesh.Add({inf, 0, 0}, {0, 1, 0}, {0, 0, 1});
    WideBvh bvh;
    bvh.Build(mesh.View());
    const WideBvh::Stats& stats = bvh.GetStats();
    EXPECT_EQ(stats.looseCount, 1);

    std::vector<int> seen(mesh.triangles.size(), 0);
    int32_t leaves = 0;
    // (reference, box it must lie in)
    struct Pending {
        uint32_t ref;
        float lo[3], hi[3];
    };
    std::vector<Pending> pending{{bvh.Root(), {-inf, -inf, -inf}, {inf, inf, inf}}};
    const std::vector<WideBvh::Node>& nodes = bvh.Nodes();
    while (!pending.empty()) {
        const Pending p = pending.back();
        pending.pop_back();
        if (WideBvh::IsLeaf(p.ref)) {
            leaves++;
            const int32_t lanes = WideBvh::LeafLanes(p.ref);
            const float* rows = bvh.Leaves()[WideBvh::LeafChunkIndex(p.ref)].v;
            uint32_t ids[8];
            std::memcpy(ids, rows + 9 * lanes, size_t(lanes) * 4);
            int32_t used = 0;
            for (int32_t lane = 0; lane < lanes; lane++) {
                // Triangles no mode sees are left out, so both hidden bits mark an empty lane.
                const uint32_t hiddenBoth = WideBvh::hiddenFromMode0 | WideBvh::hiddenFromOtherModes;
                if ((ids[lane] & hiddenBoth) == hiddenBoth)
                    continue;
                used++;
                const int32_t triangle = int32_t(ids[lane] & WideBvh::indexMask);
                ASSERT_LT(triangle, int32_t(mesh.triangles.size()));
                seen[size_t(triangle)]++;
                const uint32_t flags = mesh.triangles[size_t(triangle)].flags;
                EXPECT_EQ((ids[lane] & WideBvh::hiddenFromMode0) != 0, Engine::HiddenFromMode(flags, 0));
                EXPECT_EQ((ids[lane] & WideBvh::hiddenFromOtherModes) != 0, Engine::HiddenFromMode(flags, 32));
                EXPECT_EQ((ids[lane] & WideBvh::alphaTested) != 0, (flags & 0x02) != 0);
                const Engine::TriangleCorners& corners = mesh.triangles[size_t(triangle)];
                float lo[3], hi[3];
                Engine::WidenedTriangleBox(mesh.positions[size_t(corners.pos[0])], mesh.positions[size_t(corners.pos[1])],
                                           mesh.positions[size_t(corners.pos[2])], lo, hi);
                for (int a = 0; a < 3; a++) {
                    EXPECT_GE(lo[a], p.lo[a]) << "triangle " << triangle;
                    EXPECT_LE(hi[a], p.hi[a]) << "triangle " << triangle;
                }
                // The leaf keeps the first corner and the two edges, as the triangle test reads them.
                const Vec3 p0 = mesh.positions[size_t(corners.pos[0])];
                EXPECT_EQ(rows[lane], p0.x);
                EXPECT_EQ(rows[3 * lanes + lane], mesh.positions[size_t(corners.pos[1])].x - p0.x);
                EXPECT_EQ(rows[8 * lanes + lane], mesh.positions[size_t(corners.pos[2])].z - p0.z);
            }
            EXPECT_GE(used, 1);
            EXPECT_TRUE(lanes == 8 ? used > 4 : used <= 4) << "a leaf takes the narrowest record that fits";
            continue;
        }
        const WideBvh::Node& node = nodes[p.ref];
        EXPECT_GE(std::popcount(node.validMask), 2);
        for (int32_t lane = 0; lane < WideBvh::width; lane++) {
            if (!(node.validMask & (1u << lane)))
                continue;
            Pending child{node.child[lane], {}, {}};
            for (int a = 0; a < 3; a++) {
                child.lo[a] = node.bounds[2 * a][lane];
                child.hi[a] = node.bounds[2 * a + 1][lane];
                EXPECT_GE(child.lo[a], p.lo[a]);
                EXPECT_LE(child.hi[a], p.hi[a]);
            }
            pending.push_back(child);
        }
    }
    EXPECT_EQ(leaves, stats.leafCount);
    int32_t inLeaves = 0;
    for (size_t i = 0; i < mesh.triangles.size(); i++) {
        const uint32_t flags = mesh.triangles[i].flags;
        const bool visible = !Engine::HiddenFromMode(flags, 0) || !Engine::HiddenFromMode(flags, 32);
        EXPECT_EQ(seen[i], visible && int32_t(i) != loose ? 1 : 0) << "triangle " << i;
        inLeaves += seen[i];
    }
    EXPECT_EQ(inLeaves, stats.triangleCount);

    // The loose triangle is tested by every query, as the loop tests it.
    const KdRay toward{{0.1f, 0.3f, 0.3f}, {-1, 0, 0}};
    EXPECT_EQ(bvh.RayNearest(0, toward, nullptr, noHit), Engine::NearestTriangleByLoop(mesh.View(), 0, toward, nullptr, noHit));
}

}  // namespace
