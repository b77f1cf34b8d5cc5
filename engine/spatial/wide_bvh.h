#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/parallel_for.h"
#include "engine/spatial/kdtree3.h"
#include "engine/spatial/triangle_ops.h"

namespace Engine {

// Which instruction set walks the tree. Both give the same bits: the 128-bit path handles each
// 8-wide record as two halves with the same operations.
enum class BvhKernel { sse2, avx2 };

// A bounding-volume hierarchy with eight children per node over all triangles of a mesh,
// answering the two ray queries exactly as a loop over every triangle by IntersectTriangle
// would: the nearest distance within the limit, the lowest triangle index among equal
// distances; for RayAny, whether any triangle is hit closer than the limit.
//
// Exactness rests on the boxes never cutting off a hit the triangle test reports. The test
// accepts points up to rayTriangleTolerance outside a triangle in barycentric terms, so each
// triangle's box grows by that band; and a computed hit point lies off the exact triangle by
// rounding error that grows with the coordinates involved, so every ray widens the boxes by a
// margin proportional to its origin's and the scene's magnitude. The box test itself rounds
// toward accepting (see BvhRay). Triangles whose corners are not finite have no usable box and
// are tested by every query.
//
// Built once, then read-only: any number of threads may query at once, with no scratch.
class WideBvh {
public:
    static constexpr int32_t width = 8;
    // Leaves hold up to this many triangles, tested together (one 8-lane record).
    static constexpr int32_t maxLeafTriangles = 8;
    // Each ray's box margin, relative to its origin's and the scene's largest coordinate. About
    // 500 units in the last place of those coordinates: far above the rounding of the triangle
    // test unless a ray runs within a fraction of a degree of a triangle's plane. Raising it
    // makes rays enter more boxes they will not hit.
    static constexpr float rayMarginScale = 1.0f / 32768.0f;

    // Child boxes side by side per axis and bound (lo x, hi x, lo y, hi y, lo z, hi z), eight
    // lanes each, so one ray meets all eight boxes in a few wide operations. Unused lanes are
    // excluded by validMask. Exactly four cache lines, and the references share the first with
    // the lo x row: the box test loads every line at once, so the reference it then picks is
    // already at hand instead of costing a fetch of its own that has to wait for the test.
    struct alignas(64) Node {
        uint32_t child[width];
        float bounds[6][width];
        uint32_t validMask;
        uint32_t unused[7];
    };
    // Leaf storage unit: a leaf of k lanes (4 or 8) is nine rows of k floats (p0 x, y, z, e1 x, y,
    // z, e2 x, y, z, the layout the triangle test reads), then k words of triangle index and rule
    // bits: 160 or 320 bytes, whole units.
    struct alignas(32) LeafChunk {
        float v[8];
    };

    // Child references: a node index, or leafBit | (first chunk << 1) | (8 lanes ? 1 : 0).
    static constexpr uint32_t leafBit = 0x80000000u;
    static constexpr uint32_t noRoot = 0xFFFFFFFFu;
    static bool IsLeaf(uint32_t ref) { return (ref & leafBit) != 0; }
    static bool IsWideLeaf(uint32_t ref) { return (ref & 1) != 0; }
    static uint32_t LeafChunkIndex(uint32_t ref) { return (ref & ~leafBit) >> 1; }
    static int32_t LeafLanes(uint32_t ref) { return IsWideLeaf(ref) ? 8 : 4; }

    // Rule bits above the triangle index in a leaf's id words (indices stay below 2^29).
    static constexpr uint32_t hiddenFromMode0 = 1u << 29;
    static constexpr uint32_t hiddenFromOtherModes = 1u << 30;
    static constexpr uint32_t alphaTested = 1u << 31;
    static constexpr uint32_t indexMask = (1u << 29) - 1;

    struct Stats {
        int32_t nodeCount = 0;
        int32_t leafCount = 0;
        int32_t triangleCount = 0;  // in leaves, without those tested by every query
        int32_t looseCount = 0;     // tested by every query
        int32_t depth = 0;          // levels of nodes on the longest path
        size_t bytes = 0;           // nodes, leaves and the loose list
    };

    // Builds over every triangle of the view that some query mode can see, with the view's
    // current flags and alpha maps. The view must stay valid while the tree is used (the alpha
    // test reads it). With a pool, subtrees are built on its threads; the tree is the same for
    // every thread count. Must not be called from inside a body running on that pool.
    void Build(const TriangleMeshView& mesh, Core::ParallelFor* pool = nullptr);
    void Clear();

    // Same meaning and forms as KdTree3::RayNearest and KdTree3::RayAny: maxDistance >= 0 is a
    // limit in multiples of the direction's length; a negative maxDistance makes the ray the
    // segment origin .. origin + direction and RayNearest returns a fraction of it.
    float RayNearest(int32_t mode, const KdRay& ray, int32_t* hit, float maxDistance) const;
    bool RayAny(int32_t mode, const KdRay& ray, float maxDistance) const;

    // The processor's best kernel is picked at build; tests switch to compare the two. False
    // (and no change) when the processor lacks AVX2.
    bool SetKernel(BvhKernel kernel);
    BvhKernel Kernel() const { return kernel; }

    const Stats& GetStats() const { return stats; }
    const TriangleMeshView& View() const { return mesh; }

    const std::vector<Node>& Nodes() const { return nodes; }
    const std::vector<LeafChunk>& Leaves() const { return leaves; }
    uint32_t Root() const { return root; }

private:
    struct BvhWalkData WalkData() const;

    TriangleMeshView mesh;
    std::vector<Node> nodes;
    std::vector<LeafChunk> leaves;
    std::vector<int32_t> looseTriangles;
    uint32_t root = noRoot;
    // Largest absolute coordinate of any triangle in the tree.
    float sceneMagnitude = 0;
    BvhKernel kernel = BvhKernel::sse2;
    Stats stats;
};

// A ray as the walk reads it, prepared once per query.
struct BvhRay {
    // What the triangle test reads: the origin and the direction (normalised for a segment).
    KdRay ray;
    // Box test per axis: t = (bound - origin') * inverse, with the near bound's row and the far
    // bound's row chosen by the direction's sign (as float offsets into Node::bounds). origin'
    // is shifted by the ray's margin toward each bound (which widens the box), and the far
    // inverse is scaled up by bvhFarScale, so the rounded test never rejects a box the exact
    // segment meets.
    // Per axis x, y, z; the fourth entry is unused padding, so each row is one vector store.
    float nearOrigin[4];
    float farOrigin[4];
    float nearInverse[4];
    float farInverse[4];
    int32_t nearOffset[4];
    int32_t farOffset[4];
};

// 1 + 2^-20: well above the relative error of the three rounded operations of a slab distance.
constexpr float bvhFarScale = 1.00000095367431640625f;

// Deepest path the walk's fixed stack allows: each level keeps at most seven children waiting.
constexpr int32_t bvhStackCapacity = 1024;
constexpr int32_t bvhMaxDepth = (bvhStackCapacity - 1) / (WideBvh::width - 1);

struct BvhStackEntry {
    uint32_t ref;
    float nearDistance;
};

// What the walk reads, as plain pointers: the kernels are compiled for different instruction
// sets and must not share inline code with the rest of the program, whose out-of-line copies
// the linker could pick from either.
struct BvhWalkData {
    const WideBvh::Node* nodes;
    const WideBvh::LeafChunk* leaves;
    uint32_t root;
    const TriangleMeshView* mesh;
};

// The kernels, one translation unit per instruction set. Nearest: best is the acceptance limit
// on entry; returns the nearest distance <= it and sets hitTriangle (which must start above
// every index), or returns best and leaves hitTriangle. Any: some hit strictly below limit.
float BvhNearestSse2(const BvhWalkData& bvh, const BvhRay& ray, int32_t mode, float best, int32_t& hitTriangle);
bool BvhAnySse2(const BvhWalkData& bvh, const BvhRay& ray, int32_t mode, float limit);
float BvhNearestAvx2(const BvhWalkData& bvh, const BvhRay& ray, int32_t mode, float best, int32_t& hitTriangle);
bool BvhAnyAvx2(const BvhWalkData& bvh, const BvhRay& ray, int32_t mode, float limit);

}  // namespace Engine
