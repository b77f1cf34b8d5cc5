#include "engine/spatial/kdtree3.h"
#include "engine/spatial/triangle_ops.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using Engine::KdRay;
using Geom::Vec3;

struct Results {
    std::vector<float> nearest;
    std::vector<int32_t> hits;
    std::vector<uint8_t> any;
    std::vector<std::vector<int32_t>> boxes;
};

// Traces ray i on thread (i / chunk) % threadCount, each thread with its own slot, chunks
// interleaved so both threads run at the same time on the same tree.
Results Trace(const Engine::TriangleKdTree& tree, const std::vector<KdRay>& rays, int threadCount)
{
    Results results;
    results.nearest.resize(rays.size());
    results.hits.assign(rays.size(), -1);
    results.any.resize(rays.size());
    results.boxes.resize(rays.size());
    const size_t chunk = 64;
    auto body = [&](int slot) {
        for (size_t start = size_t(slot) * chunk; start < rays.size(); start += chunk * size_t(threadCount)) {
            for (size_t i = start; i < std::min(start + chunk, rays.size()); i++) {
                const int32_t mode = (i % 3 == 0) ? 32 : 0;
                results.nearest[i] = tree.RayNearest(slot, mode, rays[i], &results.hits[i], 3.0f);
                results.any[i] = tree.RayAny(slot, mode, {rays[i].origin, rays[i].direction * 2.0f}, -1);
                Geom::Box3 box;
                box.Add(rays[i].origin);
                box.Add(rays[i].origin + Vec3{0.2f, 0.2f, 0.2f});
                tree.QueryBox(slot, box, results.boxes[i]);
            }
        }
    };
    std::vector<std::thread> threads;
    for (int slot = 1; slot < threadCount; slot++)
        threads.emplace_back(body, slot);
    body(0);
    for (std::thread& thread : threads)
        thread.join();
    return results;
}

TEST(KdTree3Threads, ResultsDoNotDependOnTheThreadCount)
{
    const uint32_t seed = 4242;
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);

    std::vector<Vec3> positions;
    std::vector<Geom::Vec2> uvs(1);
    std::vector<Engine::TriangleCorners> triangles;
    for (int i = 0; i < 2000; i++) {
        const Vec3 center{unit(random) * 2, unit(random) * 2, unit(random) * 2};
        Engine::TriangleCorners t;
        for (int k = 0; k < 3; k++) {
            t.pos[k] = int32_t(positions.size());
            t.uv[k] = 0;
            positions.push_back(center + Vec3{unit(random), unit(random), unit(random)} * 0.3f);
        }
        t.flags = (i % 11 == 0) ? uint32_t(Engine::TriangleNoRays | Engine::TriangleOwnObject) : 0u;
        triangles.push_back(t);
    }
    const std::vector<const Image::Bitmap*> noAlphaMaps;
    const Engine::TriangleMeshView view = Engine::MakeTriangleMeshView(positions, uvs, triangles, noAlphaMaps);

    Engine::TriangleElements elements(view);
    Engine::TriangleKdTree tree;
    tree.Bind(&elements);
    Engine::AddAllTriangles(view, tree);
    tree.SetSlotCount(2);
    tree.Build(1, false);

    std::vector<KdRay> rays;
    for (int i = 0; i < 20000; i++)
        rays.push_back({{unit(random) * 2.5f, unit(random) * 2.5f, unit(random) * 2.5f},
                        {unit(random), unit(random), unit(random)}});

    const Results one = Trace(tree, rays, 1);
    const Results two = Trace(tree, rays, 2);
    size_t hits = 0;
    for (size_t i = 0; i < rays.size(); i++) {
        ASSERT_EQ(one.nearest[i], two.nearest[i]) << "ray " << i;
        ASSERT_EQ(one.hits[i], two.hits[i]) << "ray " << i;
        ASSERT_EQ(one.any[i], two.any[i]) << "ray " << i;
        ASSERT_EQ(one.boxes[i], two.boxes[i]) << "ray " << i;
        hits += one.nearest[i] != Engine::noHit;
    }
    EXPECT_GT(hits, rays.size() / 10);
}

}  // namespace
