#pragma once

#include <cstdint>
#include <vector>

#include "engine/spatial/triangle_ops.h"
#include "geom/box.h"

namespace Engine {

// The order in which a box query of the kd-tree would offer each triangle, worked out without
// running the query. A query walks the leaves depth first, left child first, visits those whose
// cell (and every ancestor's) overlaps the box, and offers each element where it first meets it.
// Answering that for one triangle needs only the leaves that list it: which lets a caller that
// already knows its few candidates order them as the query would, where the query itself would
// have to gather everything in a long box (a chart's whole depth) and compare it all.
class BoxQueryOrder {
public:
    explicit BoxQueryOrder(const TriangleKdTree& tree);

    // Whether tree.QueryBox(box) offers `triangle`; if so `place` orders it among the others the
    // query offers (smaller is earlier).
    bool Place(int32_t triangle, const Geom::Box3& box, uint64_t& place) const;

private:
    // One leaf as the walk meets it (a leaf that several nodes share is met several times), in
    // walk order. `reach` is what its cell and every cell above it allow a box: a query visits
    // the leaf exactly when the box overlaps all of them, that is, the intersection of their
    // intervals, axis by axis. An empty cell on the way shuts the leaf off for good.
    struct Visit {
        Geom::Box3 reach;
        bool reachable;
    };
    // Where one triangle is listed: the visit and its position in that leaf's list.
    struct Listing {
        int32_t visit;
        int32_t position;
    };

    bool Reaches(const Visit& visit, const Geom::Box3& box) const;

    std::vector<Visit> visits;
    // Listings of triangle t: listings[firstListing[t] .. firstListing[t + 1]), in walk order.
    std::vector<int32_t> firstListing;
    std::vector<Listing> listings;
};

}  // namespace Engine
