#include "engine/spatial/wide_bvh_builder.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstring>
#include <emmintrin.h>
#include <limits>

namespace Engine {
namespace {

// Bins per axis for the split search. More bins find slightly better planes and cost time per
// level; 32 is where the traced rays stop getting cheaper.
constexpr int32_t binCount = 32;
// Surface-area heuristic costs, relative to testing one 4-lane record of triangles: one more
// step through a node for rays that enter a box, against the records of the two halves. Raising
// the step cost gives larger leaves.
constexpr float nodeStepCost = 1.0f;
constexpr float recordCost = 1.0f;
// Below this many levels of halving a box, splits follow the surface-area heuristic; deeper
// ones halve the triangle count, which bounds the depth (and the walk's stack) for any input.
constexpr int32_t heuristicDepthLimit = 48;

constexpr float infinity = std::numeric_limits<float>::infinity();

// A box as two 4-lane vectors (the fourth lane is ignored); empty when lo.x > hi.x.
struct Bounds {
    __m128 lo = _mm_set1_ps(infinity);
    __m128 hi = _mm_set1_ps(-infinity);

    void Grow(__m128 low, __m128 high)
    {
        lo = _mm_min_ps(lo, low);
        hi = _mm_max_ps(hi, high);
    }
    void Grow(const Bounds& b) { Grow(b.lo, b.hi); }
    float Lo(int axis) const { return Lane(lo, axis); }
    float Hi(int axis) const { return Lane(hi, axis); }
    bool IsEmpty() const { return Lo(0) > Hi(0); }
    // Half the surface area; the heuristic only compares areas.
    float HalfArea() const
    {
        alignas(16) float d[4];
        _mm_store_ps(d, _mm_sub_ps(hi, lo));
        if (!(d[0] >= 0))
            return 0;
        return d[0] * d[1] + d[1] * d[2] + d[2] * d[0];
    }
    static float Lane(__m128 v, int axis)
    {
        alignas(16) float values[4];
        _mm_store_ps(values, v);
        return values[axis];
    }
};

// A triangle's widened box and index, 32 bytes, each half one aligned vector load. The index
// rides in the fourth lane of the low corner, which box arithmetic ignores.
struct alignas(16) Prim {
    float lo[3];
    int32_t triangle;
    float hi[3];
    float zero;

    __m128 Lo() const { return _mm_load_ps(lo); }
    __m128 Hi() const { return _mm_load_ps(hi); }
    // Twice the box centre (only its order matters), with the index lane cleared first so that
    // no arithmetic ever sees its bits as a tiny float.
    __m128 Centroid() const
    {
        const __m128 xyz = _mm_castsi128_ps(_mm_setr_epi32(-1, -1, -1, 0));
        return _mm_add_ps(_mm_and_ps(Lo(), xyz), Hi());
    }
};

int32_t Records(int32_t triangles) { return (triangles + 3) / 4; }

// How centroids map to bins along each axis: bin = clamp((c - low) * scale, 0, last), truncated.
// One function for the search and the partition, so both always agree on every prim.
struct Binning {
    __m128 low;
    __m128 scale;

    __m128i Bins(const Prim& p) const
    {
        __m128 f = _mm_mul_ps(_mm_sub_ps(p.Centroid(), low), scale);
        f = _mm_min_ps(_mm_max_ps(f, _mm_setzero_ps()), _mm_set1_ps(float(binCount - 1)));
        return _mm_cvttps_epi32(f);
    }
    int32_t Bin(const Prim& p, int axis) const
    {
        alignas(16) int32_t bins[4];
        _mm_store_si128(reinterpret_cast<__m128i*>(bins), Bins(p));
        return bins[axis];
    }
};

// A run of prims with its boxes and how it is to be divided.
struct Span {
    int32_t begin = 0;
    int32_t end = 0;
    Bounds box;
    Bounds centroids;
    Binning binning;
    int32_t depth = 0;  // levels of halving above it
    bool leaf = false;
    int32_t axis = -1;  // -1: halve by count
    int32_t bin = 0;    // prims whose centroid bin is below it go left

    int32_t Count() const { return end - begin; }
};

// Nodes and leaves of one subtree, in the order the walk's memory layout wants (parents before
// children, subtrees contiguous).
struct Output {
    std::vector<WideBvh::Node> nodes;
    std::vector<WideBvh::LeafChunk> leaves;
    int32_t leafCount = 0;
    int32_t depth = 0;
};

class Builder {
public:
    Builder(const TriangleMeshView& view, std::vector<Prim>& prims) : mesh(view), prims(prims) {}

    Span MakeSpan(int32_t begin, int32_t end, int32_t depth) const
    {
        Span span;
        span.begin = begin;
        span.end = end;
        span.depth = depth;
        for (int32_t i = begin; i < end; i++) {
            const Prim& p = prims[size_t(i)];
            span.box.Grow(p.Lo(), p.Hi());
            const __m128 c = p.Centroid();
            span.centroids.Grow(c, c);
        }
        ChooseSplit(span);
        return span;
    }

    // Leaf, a binned plane, or halving by count.
    void ChooseSplit(Span& span) const
    {
        const int32_t n = span.Count();
        span.leaf = false;
        span.axis = -1;
        if (n <= 1) {
            span.leaf = true;
            return;
        }
        if (span.depth >= heuristicDepthLimit) {
            span.leaf = n <= WideBvh::maxLeafTriangles;
            return;
        }

        alignas(16) float scale[4] = {0, 0, 0, 0};
        bool anyAxis = false;
        for (int a = 0; a < 3; a++) {
            const float extent = span.centroids.Hi(a) - span.centroids.Lo(a);
            if (extent > 0 && std::isfinite(extent)) {
                scale[a] = float(binCount) * 0.99999f / extent;
                anyAxis = true;
            }
        }
        span.binning = {span.centroids.lo, _mm_load_ps(scale)};
        float bestCost = infinity;
        if (anyAxis)
            FindBestPlane(span, scale, bestCost);

        if (n > WideBvh::maxLeafTriangles)
            return;
        const float area = span.box.HalfArea();
        const float leafCost = recordCost * area * float(Records(n));
        const float splitCost = nodeStepCost * area + recordCost * bestCost;
        // No plane at all (every centroid in one point) leaves nothing to gain by halving.
        span.leaf = span.axis < 0 || leafCost <= splitCost;
    }

    void FindBestPlane(Span& span, const float* scale, float& bestCost) const
    {
        Bounds bins[3][binCount];
        int32_t counts[3][binCount] = {};
        for (int32_t i = span.begin; i < span.end; i++) {
            const Prim& p = prims[size_t(i)];
            alignas(16) int32_t bin[4];
            _mm_store_si128(reinterpret_cast<__m128i*>(bin), span.binning.Bins(p));
            const __m128 lo = p.Lo(), hi = p.Hi();
            for (int a = 0; a < 3; a++) {
                bins[a][bin[a]].Grow(lo, hi);
                counts[a][bin[a]]++;
            }
        }
        for (int a = 0; a < 3; a++) {
            if (scale[a] == 0)
                continue;
            // Right-hand areas and counts, then a sweep from the left.
            float rightArea[binCount];
            int32_t rightCount[binCount];
            Bounds right;
            int32_t count = 0;
            for (int b = binCount - 1; b > 0; b--) {
                right.Grow(bins[a][b]);
                count += counts[a][b];
                rightArea[b] = right.HalfArea();
                rightCount[b] = count;
            }
            Bounds left;
            int32_t leftCount = 0;
            for (int b = 1; b < binCount; b++) {
                left.Grow(bins[a][b - 1]);
                leftCount += counts[a][b - 1];
                if (leftCount == 0 || rightCount[b] == 0)
                    continue;
                const float cost =
                    left.HalfArea() * float(Records(leftCount)) + rightArea[b] * float(Records(rightCount[b]));
                if (cost < bestCost) {
                    bestCost = cost;
                    span.axis = a;
                    span.bin = b;
                }
            }
        }
    }

    void Divide(const Span& span, Span& left, Span& right) const
    {
        if (span.axis < 0) {
            HalveByCount(span, left, right);
            return;
        }
        // One pass sorts the prims to their sides and gathers both sides' boxes.
        left = Span();
        right = Span();
        int32_t i = span.begin, j = span.end - 1;
        while (i <= j) {
            Prim& p = prims[size_t(i)];
            const __m128 c = p.Centroid();
            if (span.binning.Bin(p, span.axis) < span.bin) {
                left.box.Grow(p.Lo(), p.Hi());
                left.centroids.Grow(c, c);
                i++;
            } else {
                right.box.Grow(p.Lo(), p.Hi());
                right.centroids.Grow(c, c);
                std::swap(p, prims[size_t(j)]);
                j--;
            }
        }
        assert(i > span.begin && i < span.end);
        left.begin = span.begin;
        left.end = i;
        right.begin = i;
        right.end = span.end;
        left.depth = right.depth = span.depth + 1;
        ChooseSplit(left);
        ChooseSplit(right);
    }

    // Halves by count along the widest centroid axis; the index breaks ties so the order is
    // total and the result the same everywhere.
    void HalveByCount(const Span& span, Span& left, Span& right) const
    {
        int axis = 0;
        for (int a = 1; a < 3; a++) {
            if (span.centroids.Hi(a) - span.centroids.Lo(a) > span.centroids.Hi(axis) - span.centroids.Lo(axis))
                axis = a;
        }
        Prim* first = prims.data() + span.begin;
        Prim* middle = first + span.Count() / 2;
        std::nth_element(first, middle, prims.data() + span.end, [axis](const Prim& a, const Prim& b) {
            const float ca = a.lo[axis] + a.hi[axis], cb = b.lo[axis] + b.hi[axis];
            return ca < cb || (!(cb < ca) && a.triangle < b.triangle);
        });
        const int32_t split = int32_t(middle - prims.data());
        left = MakeSpan(span.begin, split, span.depth + 1);
        right = MakeSpan(split, span.end, span.depth + 1);
    }

    // A node from a span that is to be divided: up to eight children, taking the largest
    // divisible child apart each time.
    // The children of a node made from `span`; returns their count (at least 2).
    int32_t FormChildren(const Span& span, Span* children) const
    {
        int32_t count = 1;
        children[0] = span;
        while (count < WideBvh::width) {
            int32_t pick = -1;
            float largest = -1;
            for (int32_t i = 0; i < count; i++) {
                if (!children[i].leaf && children[i].box.HalfArea() > largest) {
                    largest = children[i].box.HalfArea();
                    pick = i;
                }
            }
            if (pick < 0)
                break;
            Span left, right;
            Divide(children[pick], left, right);
            children[pick] = left;
            children[count++] = right;
        }
        return count;
    }

    uint32_t BuildNode(const Span& span, int32_t level, Output& out) const
    {
        Span children[WideBvh::width];
        const int32_t count = FormChildren(span, children);
        const uint32_t index = uint32_t(out.nodes.size());
        out.nodes.emplace_back();
        out.depth = std::max(out.depth, level);
        uint32_t refs[WideBvh::width];
        for (int32_t i = 0; i < count; i++)
            refs[i] = BuildChild(children[i], level + 1, out);
        FillNode(out.nodes[index], children, refs, count);
        return index;
    }

    uint32_t BuildChild(const Span& span, int32_t level, Output& out) const
    {
        return span.leaf ? MakeLeaf(span, out) : BuildNode(span, level, out);
    }

    static void FillNode(WideBvh::Node& node, const Span* children, const uint32_t* refs, int32_t count)
    {
        for (int32_t lane = 0; lane < WideBvh::width; lane++) {
            const bool used = lane < count;
            for (int a = 0; a < 3; a++) {
                // An unused lane is an inverted box; validMask keeps it out regardless.
                node.bounds[2 * a][lane] = used ? children[lane].box.Lo(a) : infinity;
                node.bounds[2 * a + 1][lane] = used ? children[lane].box.Hi(a) : -infinity;
            }
            node.child[lane] = used ? refs[lane] : 0;
        }
        node.validMask = (1u << count) - 1;
        std::memset(node.unused, 0, sizeof node.unused);
    }

    uint32_t MakeLeaf(const Span& span, Output& out) const
    {
        const int32_t n = span.Count();
        assert(n >= 1 && n <= WideBvh::maxLeafTriangles);
        const int32_t lanes = n <= 4 ? 4 : 8;
        const size_t first = out.leaves.size();
        out.leaves.resize(first + size_t(lanes == 4 ? 5 : 10));
        out.leafCount++;
        float* rows = out.leaves[first].v;
        for (int32_t lane = 0; lane < lanes; lane++) {
            Geom::Vec3 p0{0, 0, 0}, e1{0, 0, 0}, e2{0, 0, 0};
            // An empty lane is a triangle of zero edges (its determinant is 0: never hit) that no
            // mode can see.
            uint32_t word = WideBvh::hiddenFromMode0 | WideBvh::hiddenFromOtherModes;
            if (lane < n) {
                const int32_t triangle = prims[size_t(span.begin + lane)].triangle;
                const TriangleCorners& corners = mesh.triangles[triangle];
                p0 = mesh.positions[corners.pos[0]];
                // The same edge subtractions as the kd-tree's leaf records and RayTriangle.
                e1 = mesh.positions[corners.pos[1]] - p0;
                e2 = mesh.positions[corners.pos[2]] - p0;
                word = uint32_t(triangle);
                if (HiddenFromMode(corners.flags, 0))
                    word |= WideBvh::hiddenFromMode0;
                if (HiddenFromMode(corners.flags, 1))
                    word |= WideBvh::hiddenFromOtherModes;
                if (TriangleAlphaMap(mesh, triangle))
                    word |= WideBvh::alphaTested;
            }
            const float values[9] = {p0.x, p0.y, p0.z, e1.x, e1.y, e1.z, e2.x, e2.y, e2.z};
            for (int row = 0; row < 9; row++)
                rows[row * lanes + lane] = values[row];
            // The id words share the leaf's float storage: copied in, not written through a
            // pointer of another type.
            std::memcpy(rows + 9 * lanes + lane, &word, 4);
        }
        assert(first < (size_t(1) << 30));
        return WideBvh::leafBit | (uint32_t(first) << 1) | (lanes == 8 ? 1u : 0u);
    }

private:
    const TriangleMeshView& mesh;
    std::vector<Prim>& prims;
};

uint32_t Relocate(uint32_t ref, uint32_t nodeOffset, uint32_t chunkOffset)
{
    if (WideBvh::IsLeaf(ref))
        return WideBvh::leafBit | ((WideBvh::LeafChunkIndex(ref) + chunkOffset) << 1) | (ref & 1u);
    return ref + nodeOffset;
}

// Appends a subtree built on its own; its references move by the sizes already in `out`.
uint32_t Append(Output& out, const Output& part, uint32_t ref)
{
    const uint32_t nodeOffset = uint32_t(out.nodes.size());
    const uint32_t chunkOffset = uint32_t(out.leaves.size());
    for (WideBvh::Node node : part.nodes) {
        for (int32_t lane = 0; lane < WideBvh::width; lane++) {
            if (node.validMask & (1u << lane))
                node.child[lane] = Relocate(node.child[lane], nodeOffset, chunkOffset);
        }
        out.nodes.push_back(node);
    }
    out.leaves.insert(out.leaves.end(), part.leaves.begin(), part.leaves.end());
    out.leafCount += part.leafCount;
    out.depth = std::max(out.depth, part.depth);
    return Relocate(ref, nodeOffset, chunkOffset);
}

bool IsFinite(const float* v) { return std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]); }

}  // namespace

void WidenedTriangleBox(Geom::Vec3 p0, Geom::Vec3 p1, Geom::Vec3 p2, float lo[3], float hi[3])
{
    float extent = 0;
    for (int a = 0; a < 3; a++) {
        lo[a] = std::min({p0[a], p1[a], p2[a]});
        hi[a] = std::max({p0[a], p1[a], p2[a]});
        extent = std::max(extent, hi[a] - lo[a]);
    }
    // A point with weights down to -tolerance lies at most 3 * tolerance * (largest edge extent)
    // outside the corners' box on any axis; 4 leaves room for rounding.
    const float band = 4 * rayTriangleTolerance * extent;
    for (int a = 0; a < 3; a++) {
        lo[a] -= band;
        hi[a] += band;
    }
}

WideBvhParts BuildWideBvh(const TriangleMeshView& mesh, Core::ParallelFor* pool)
{
    WideBvhParts parts;
    assert(mesh.triangleCount <= int32_t(WideBvh::indexMask) + 1);
    std::vector<Prim> prims;
    prims.reserve(size_t(std::max(mesh.triangleCount, 0)));
    for (int32_t i = 0; i < mesh.triangleCount; i++) {
        const TriangleCorners& corners = mesh.triangles[i];
        // Seen by no mode: no query can hit it.
        if (HiddenFromMode(corners.flags, 0) && HiddenFromMode(corners.flags, 1))
            continue;
        Prim p;
        WidenedTriangleBox(mesh.positions[corners.pos[0]], mesh.positions[corners.pos[1]],
                           mesh.positions[corners.pos[2]], p.lo, p.hi);
        p.triangle = i;
        p.zero = 0;
        if (!IsFinite(p.lo) || !IsFinite(p.hi)) {
            parts.looseTriangles.push_back(i);
            continue;
        }
        for (int a = 0; a < 3; a++)
            parts.sceneMagnitude = std::max({parts.sceneMagnitude, std::fabs(p.lo[a]), std::fabs(p.hi[a])});
        prims.push_back(p);
    }
    parts.triangleCount = int32_t(prims.size());
    if (prims.empty())
        return parts;

    Builder builder(mesh, prims);
    const Span top = builder.MakeSpan(0, int32_t(prims.size()), 0);
    Output out;
    // Typical trees need about one node per 18 triangles and one leaf chunk per 2 or 3; growing
    // a vector mid-build costs a copy and fresh pages.
    out.nodes.reserve(prims.size() / 12 + 1);
    out.leaves.reserve(prims.size() / 2 + 16);
    if (top.leaf) {
        parts.root = builder.MakeLeaf(top, out);
        out.depth = 0;
    } else if (!pool || pool->GetThreadCount() <= 1) {
        parts.root = builder.BuildNode(top, 1, out);
    } else {
        // The root's children are laid out as the one-thread build lays them out: each subtree
        // built apart, then appended in child order.
        Span children[WideBvh::width];
        const int32_t count = builder.FormChildren(top, children);
        // Biggest subtrees first, so the threads finish close together.
        int32_t order[WideBvh::width];
        for (int32_t i = 0; i < count; i++) {
            int32_t j = i;
            for (; j > 0 && children[order[j - 1]].Count() < children[i].Count(); j--)
                order[j] = order[j - 1];
            order[j] = i;
        }
        Output partsOut[WideBvh::width];
        uint32_t partRoots[WideBvh::width];
        pool->Run(
            [&](int32_t k, int32_t) {
                const int32_t i = order[k];
                partRoots[i] = builder.BuildChild(children[i], 2, partsOut[i]);
            },
            count, 1);

        out.nodes.emplace_back();
        out.depth = 1;
        uint32_t refs[WideBvh::width];
        for (int32_t i = 0; i < count; i++)
            refs[i] = Append(out, partsOut[i], partRoots[i]);
        Builder::FillNode(out.nodes[0], children, refs, count);
        parts.root = 0;
    }
    parts.nodes = std::move(out.nodes);
    parts.leaves = std::move(out.leaves);
    parts.leafCount = out.leafCount;
    parts.depth = out.depth;
    return parts;
}

}  // namespace Engine
