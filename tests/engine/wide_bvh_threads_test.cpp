#include "engine/spatial/wide_bvh.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "core/parallel_for.h"
#include "tests/engine/wide_bvh_fixture.h"

namespace {

using BvhTest::TestMesh;
using Engine::KdRay;
using Engine::WideBvh;

// Building on a pool of two threads lays the tree out exactly as one thread does.
TEST(WideBvhThreads, BuildOnTwoThreadsGivesTheSameTree)
{
    TestMesh mesh;
    BvhTest::AddRandomTriangles(mesh, 21, 20000);
    BvhTest::AddFlagsAndAlpha(mesh);
    Core::ParallelFor pool;
    pool.Start(2);
    WideBvh one, two;
    one.Build(mesh.View());
    two.Build(mesh.View(), &pool);
    ASSERT_EQ(one.Nodes().size(), two.Nodes().size());
    ASSERT_EQ(one.Leaves().size(), two.Leaves().size());
    ASSERT_GT(one.Nodes().size(), 100u);
    EXPECT_EQ(one.Root(), two.Root());
    EXPECT_EQ(std::memcmp(one.Nodes().data(), two.Nodes().data(), one.Nodes().size() * sizeof(WideBvh::Node)), 0);
    EXPECT_EQ(std::memcmp(one.Leaves().data(), two.Leaves().data(), one.Leaves().size() * sizeof(WideBvh::LeafChunk)),
              0);
    EXPECT_EQ(one.GetStats().depth, two.GetStats().depth);
    EXPECT_EQ(one.GetStats().leafCount, two.GetStats().leafCount);
}

// Two threads querying one tree at once get what one thread gets.
TEST(WideBvhThreads, ConcurrentQueriesMatchOneThread)
{
    TestMesh mesh;
    BvhTest::AddRandomTriangles(mesh, 22, 5000);
    WideBvh bvh;
    bvh.Build(mesh.View());
    const std::vector<KdRay> rays = BvhTest::RandomRays(23, 20000, 2.5f);
    std::vector<float> alone(rays.size());
    for (size_t i = 0; i < rays.size(); i++)
        alone[i] = bvh.RayNearest(0, rays[i], nullptr, 2.0f);
    std::vector<float> together(rays.size());
    std::vector<char> any(rays.size());
    auto trace = [&](size_t first) {
        for (size_t i = first; i < rays.size(); i += 2) {
            together[i] = bvh.RayNearest(0, rays[i], nullptr, 2.0f);
            any[i] = bvh.RayAny(32, rays[i], 1.0f);
        }
    };
    std::thread other(trace, 1);
    trace(0);
    other.join();
    int hits = 0;
    for (size_t i = 0; i < rays.size(); i++) {
        ASSERT_EQ(together[i], alone[i]) << "ray " << i;
        ASSERT_EQ(bool(any[i]), bvh.RayAny(32, rays[i], 1.0f)) << "ray " << i;
        hits += alone[i] != Engine::noHit;
    }
    EXPECT_GT(hits, 1000);
}

}  // namespace
