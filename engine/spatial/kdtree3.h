#pragma once

#include <cstdint>
#include <vector>

#include "core/delegate.h"
#include "geom/box.h"
#include "geom/vec.h"

namespace Engine {

// Distance reported for a miss. Large enough that every real hit compares below it, small
// enough that it stays finite through the arithmetic callers do with it.
constexpr float noHit = 1e37f;

// Origin then direction: six consecutive floats.
struct KdRay {
    Geom::Vec3 origin;
    Geom::Vec3 direction;
};

// Interior node. A child of 0 or more is a node index; -2 or less is leaf -2 - value. The left
// child holds coordinates <= split, the right child coordinates >= split. Nodes are numbered
// in pre-order, so an interior left child is always the next node.
struct KdNode {
    float split = 0;
    int32_t axis = 0;
    int32_t left = -2;
    int32_t right = -2;
};

// A run of the leaf element list; may be empty.
struct KdLeaf {
    int32_t first = 0;
    int32_t count = 0;
};

inline bool IsKdLeaf(int32_t child) { return child <= -2; }
inline int32_t KdLeafIndex(int32_t child) { return -2 - child; }

// Leaves that straddle a split share elements, so one query can meet the same element in
// several leaves; an element is tested only while its mark differs from the query's stamp.
// One mailbox per thread slot: two threads must never query with the same slot at once. Each
// sits on cache lines of its own: every query writes its stamp, and a neighbour slot on the same
// line would make the threads' caches pass that line back and forth on every ray.
struct alignas(64) Mailbox {
    std::vector<uint32_t> marks;
    uint32_t stamp = 0;
    // Traversal stack of this slot, sized by the build to the tree's depth, so queries never
    // allocate.
    struct Pending {
        int32_t node;
        float tmin;
        float tmax;
        float stopAbove;
    };
    std::vector<Pending> stack;
};

// The plain element policy: two bound callbacks. It costs a call through std::function per
// element, which is fine for tools and tests; hot users give the tree a policy class of their
// own (see triangle_ops.h) so the intersection inlines into the leaf loop.
struct KdDelegateElements {
    // (split position, axis, element box, element id, left box out, right box out) -> success
    Core::Delegate<bool(float, int32_t, const Geom::Box3&, int32_t, Geom::Box3&, Geom::Box3&)> splitElement;
    // (mode, element id, ray, current best) -> distance or noHit
    Core::Delegate<float(int32_t, int32_t, const KdRay&, float)> intersectElement;

    bool SplitElement(float position, int32_t axis, const Geom::Box3& box, int32_t id, Geom::Box3& left,
                      Geom::Box3& right) const
    {
        return splitElement(position, axis, box, id, left, right);
    }
    float IntersectElement(int32_t mode, int32_t id, const KdRay& ray, float best) const
    {
        return intersectElement(mode, id, ray, best);
    }
};

template <class Elements = KdDelegateElements>
class KdTree3;

}  // namespace Engine

#include "engine/spatial/inline/kdtree"
