#include "engine/lightmapper/box_query_order.h"

#include <algorithm>
#include <limits>

namespace Engine {

BoxQueryOrder::BoxQueryOrder(const TriangleKdTree& tree)
{
    // The walk of a query that overlaps everything: every leaf in the order a query meets it.
    std::vector<int32_t> visitLeaf;
    if (!tree.nodes.empty()) {
        struct Pending {
            int32_t child;
            Geom::Box3 cell;
            Visit visit;
        };
        std::vector<Pending> stack;
        auto push = [&stack](int32_t child, const Geom::Box3& cell, Visit visit) {
            visit.reachable = visit.reachable && !cell.IsEmpty();
            for (int32_t axis = 0; axis < 3; axis++) {
                visit.reach.min[axis] = std::max(visit.reach.min[axis], cell.min[axis]);
                visit.reach.max[axis] = std::min(visit.reach.max[axis], cell.max[axis]);
            }
            stack.push_back({child, cell, visit});
        };
        // The root cell itself is never tested, only its descendants' cells, which start from it.
        const float infinity = std::numeric_limits<float>::infinity();
        Geom::Box3 anything;
        anything.min = {-infinity, -infinity, -infinity};
        anything.max = {infinity, infinity, infinity};
        stack.push_back({0, tree.rootBox, {anything, true}});
        while (!stack.empty()) {
            const Pending pending = stack.back();
            stack.pop_back();
            if (IsKdLeaf(pending.child)) {
                visits.push_back(pending.visit);
                visitLeaf.push_back(KdLeafIndex(pending.child));
                continue;
            }
            const KdNode& node = tree.nodes[size_t(pending.child)];
            Geom::Box3 left = pending.cell, right = pending.cell;
            left.max[node.axis] = node.split;
            right.min[node.axis] = node.split;
            // Right first on the stack, so the left subtree is walked first.
            push(node.right, right, pending.visit);
            push(node.left, left, pending.visit);
        }
    }

    // Per triangle, its listings in walk order: counts, offsets, then the listings.
    int32_t triangleCount = 0;
    for (int32_t id : tree.elementIds)
        triangleCount = std::max(triangleCount, id + 1);
    firstListing.assign(size_t(triangleCount) + 1, 0);
    for (int32_t leaf : visitLeaf) {
        const KdLeaf& run = tree.leaves[size_t(leaf)];
        for (int32_t k = run.first; k < run.first + run.count; k++)
            firstListing[size_t(tree.elementIds[size_t(tree.leafElements[size_t(k)])]) + 1]++;
    }
    for (size_t t = 1; t < firstListing.size(); t++)
        firstListing[t] += firstListing[t - 1];
    listings.resize(size_t(firstListing.back()));
    std::vector<int32_t> fill(firstListing.begin(), firstListing.end() - 1);
    for (int32_t v = 0; v < int32_t(visitLeaf.size()); v++) {
        const KdLeaf& run = tree.leaves[size_t(visitLeaf[size_t(v)])];
        for (int32_t k = run.first; k < run.first + run.count; k++) {
            const int32_t triangle = tree.elementIds[size_t(tree.leafElements[size_t(k)])];
            listings[size_t(fill[size_t(triangle)]++)] = {v, k - run.first};
        }
    }
}

bool BoxQueryOrder::Reaches(const Visit& visit, const Geom::Box3& box) const
{
    if (!visit.reachable || box.IsEmpty())
        return false;
    // The same comparisons as the query's overlap test, so that a NaN decides alike.
    for (int32_t axis = 0; axis < 3; axis++) {
        if (box.min[axis] > visit.reach.max[axis] || box.max[axis] < visit.reach.min[axis])
            return false;
    }
    return true;
}

bool BoxQueryOrder::Place(int32_t triangle, const Geom::Box3& box, uint64_t& place) const
{
    if (triangle < 0 || triangle + 1 >= int32_t(firstListing.size()))
        return false;
    // The first listing the walk reaches is where the query's mailbox lets the triangle through.
    for (int32_t k = firstListing[size_t(triangle)]; k < firstListing[size_t(triangle) + 1]; k++) {
        const Listing& listing = listings[size_t(k)];
        if (Reaches(visits[size_t(listing.visit)], box)) {
            place = uint64_t(uint32_t(listing.visit)) << 32 | uint32_t(listing.position);
            return true;
        }
    }
    return false;
}

}  // namespace Engine
