#include "engine/lightmapper/box_query_order.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "engine/spatial/kdtree3.h"
#include "engine/spatial/triangle_ops.h"

namespace {

using Geom::Box3;
using Geom::Vec2;
using Geom::Vec3;

// Triangles, a tree over them as the tree stage builds it, and the order worked out from it.
struct OrderedTree {
    std::vector<Vec3> positions;
    std::vector<Vec2> uvs;
    std::vector<Engine::TriangleCorners> triangles;
    std::vector<const Image::Bitmap*> maps;
    Engine::TriangleElements elements;
    Engine::TriangleKdTree tree;

    void Add(Vec3 a, Vec3 b, Vec3 c)
    {
        Engine::TriangleCorners t;
        for (int k = 0; k < 3; k++) {
            t.pos[k] = int32_t(positions.size());
            t.uv[k] = int32_t(uvs.size());
            uvs.push_back({0, 0});
        }
        positions.insert(positions.end(), {a, b, c});
        triangles.push_back(t);
    }
    void Build()
    {
        const Engine::TriangleMeshView view = Engine::MakeTriangleMeshView(positions, uvs, triangles, maps);
        elements.SetView(view);
        tree.Bind(&elements);
        Engine::AddAllTriangles(view, tree);
        tree.SetSlotCount(1);
        tree.Build(1, false);
    }
};

// Small triangles everywhere, some long ones across many leaves, and exact copies (which
// leaves with equal contents share).
void AddScene(OrderedTree& scene, uint32_t seed, int32_t count)
{
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> unit(-2.0f, 2.0f), small(-0.2f, 0.2f);
    for (int32_t i = 0; i < count; i++) {
        const Vec3 p{unit(random), unit(random), unit(random)};
        const float stretch = i % 40 == 0 ? 10.0f : 1.0f;
        scene.Add(p, p + Vec3{small(random), small(random), small(random)} * stretch,
                  p + Vec3{small(random), small(random), small(random)});
        if (i % 25 == 0)
            scene.Add(scene.positions[scene.positions.size() - 3], scene.positions[scene.positions.size() - 2],
                      scene.positions[scene.positions.size() - 1]);
    }
}

// What the query itself offers, against what the order says of every triangle: offered exactly
// when placed, and in increasing place.
void ExpectOrderOfQuery(const OrderedTree& scene, const Engine::BoxQueryOrder& order, const Box3& box,
                        const std::string& label)
{
    std::vector<int32_t> offered;
    scene.tree.QueryBox(0, box, offered);
    std::vector<uint64_t> places;
    for (int32_t t : offered) {
        uint64_t place = 0;
        ASSERT_TRUE(order.Place(t, box, place)) << label << " triangle " << t;
        places.push_back(place);
    }
    EXPECT_TRUE(std::is_sorted(places.begin(), places.end())) << label;
    EXPECT_EQ(std::adjacent_find(places.begin(), places.end()), places.end()) << label;
    std::vector<int32_t> sorted = offered;
    std::sort(sorted.begin(), sorted.end());
    for (int32_t t = 0; t < int32_t(scene.triangles.size()); t++) {
        uint64_t place = 0;
        if (!std::binary_search(sorted.begin(), sorted.end(), t)) {
            EXPECT_FALSE(order.Place(t, box, place)) << label << " triangle " << t;
        }
    }
}

TEST(BoxQueryOrder, PlacesWhatTheQueryOffersInItsOrder)
{
    const uint32_t seed = 777;
    OrderedTree scene;
    AddScene(scene, seed, 2000);
    scene.Build();
    const Engine::BoxQueryOrder order(scene.tree);
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> unit(-2.5f, 2.5f), size(0.0f, 1.0f);
    const float infinity = std::numeric_limits<float>::infinity();
    for (int q = 0; q < 200; q++) {
        Box3 box;
        box.min = {unit(random), unit(random), unit(random)};
        box.max = box.min + Vec3{size(random), size(random), q % 10 == 0 ? 0.0f : size(random)};
        // Long columns, as the texel searches ask, and boxes ending exactly on a split plane.
        if (q % 4 == 1) {
            box.min[q % 3] = -infinity;
            box.max[q % 3] = infinity;
        }
        if (q % 4 == 2) {
            const Engine::KdNode& node = scene.tree.nodes[size_t(q * 7919) % scene.tree.nodes.size()];
            box.max[node.axis] = node.split;
            box.min[node.axis] = std::min(box.min[node.axis], node.split);
        }
        if (q % 4 == 3) {
            const Engine::KdNode& node = scene.tree.nodes[size_t(q * 104729) % scene.tree.nodes.size()];
            box.min[node.axis] = node.split;
            box.max[node.axis] = std::max(box.max[node.axis], node.split);
        }
        ExpectOrderOfQuery(scene, order, box, "seed " + std::to_string(seed) + " query " + std::to_string(q));
        if (HasFailure())
            return;
    }
    ExpectOrderOfQuery(scene, order, Box3(), "empty box");
}

TEST(BoxQueryOrder, TreesOfOneLeafAndNoTriangles)
{
    // Too few triangles to split: the root node's two children are the same leaf.
    OrderedTree few;
    few.Add({0, 0, 0}, {1, 0, 0}, {0, 1, 0});
    few.Add({0, 0, 1}, {1, 0, 1}, {0, 1, 1});
    few.Build();
    const Engine::BoxQueryOrder order(few.tree);
    const Box3 boxes[] = {
        {{-1, -1, -1}, {2, 2, 2}}, {{0.5f, 0.5f, 0.5f}, {0.6f, 0.6f, 0.6f}}, {{5, 5, 5}, {6, 6, 6}}, {{0, 0, 0}, {0, 0, 0}}};
    for (const Box3& box : boxes)
        ExpectOrderOfQuery(few, order, box, "box at " + std::to_string(box.min.x));
    uint64_t place = 0;
    EXPECT_FALSE(order.Place(2, boxes[0], place)) << "no such triangle";
    EXPECT_FALSE(order.Place(-1, boxes[0], place));

    OrderedTree none;
    none.Build();
    const Engine::BoxQueryOrder empty(none.tree);
    EXPECT_FALSE(empty.Place(0, boxes[0], place));
}

}  // namespace
