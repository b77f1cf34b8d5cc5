#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "engine/lightmapper/group.h"
#include "engine/lightmapper/mesh.h"
#include "geom/box.h"
#include "geom/vec.h"

namespace Engine {

// The triangle search of FindGroupSample over the triangles of one group, binned on a grid of
// the chart plane, for packing a whole grid: the tree query of a texel point spans four texels
// and the group's whole depth, and on small, curved charts it returns most of the mesh. It finds
// the same triangles that the tree query would offer; when the order in which the tree offers
// them could matter (two line hits, or equally near edges) it leaves the decision to the tree.
class GroupSampler {
public:
    static constexpr int32_t undecided = -2;

    GroupSampler(const LmMesh& mesh, const LmGroup& group, int32_t groupIndex);

    // The triangle FindGroupSample gives for q, -1 for none, or `undecided`.
    int32_t Find(Geom::Vec2 q);
    // After `undecided`: the triangles between which the tree's order decides, all line hits or
    // all at the same nearest edge distance. FindGroupSample takes the first of them its query
    // offers.
    const std::vector<int32_t>& Tied() const { return tied; }

private:
    struct Entry {
        Geom::Vec3 p[3];
        Geom::Box2 box;  // of the projected corners
        int32_t triangle;
    };

    // Calls visit(entry) once for every entry listed in cells x0..x1 by y0..y1, however many of
    // those cells list it.
    template <class Visit>
    void ForEachEntryInCells(int32_t x0, int32_t y0, int32_t x1, int32_t y1, Visit&& visit)
    {
        NextStamp();
        for (int32_t y = y0; y <= y1; y++) {
            for (int32_t x = x0; x <= x1; x++) {
                const size_t c = size_t(y) * size_t(cellsX) + size_t(x);
                for (int32_t k = cellStart[c]; k < cellStart[c + 1]; k++) {
                    const int32_t e = cellEntries[size_t(k)];
                    if (seen[size_t(e)] == stamp)
                        continue;
                    seen[size_t(e)] = stamp;
                    visit(entries[size_t(e)]);
                }
            }
        }
    }

    // Cells that a box touches, clamped to the grid; false when the box misses the grid.
    bool CellRange(Geom::Vec2 lo, Geom::Vec2 hi, int32_t& x0, int32_t& y0, int32_t& x1, int32_t& y1) const
    {
        const float fx0 = std::floor((lo.x - origin.x) / cell), fy0 = std::floor((lo.y - origin.y) / cell);
        const float fx1 = std::floor((hi.x - origin.x) / cell), fy1 = std::floor((hi.y - origin.y) / cell);
        if (!(fx1 >= 0 && fy1 >= 0 && fx0 < float(cellsX) && fy0 < float(cellsY)))
            return false;
        x0 = fx0 < 0 ? 0 : int32_t(fx0);
        y0 = fy0 < 0 ? 0 : int32_t(fy0);
        x1 = fx1 >= float(cellsX) ? cellsX - 1 : int32_t(fx1);
        y1 = fy1 >= float(cellsY) ? cellsY - 1 : int32_t(fy1);
        return true;
    }

    // Bins every entry into the cells its box touches: counts, offsets, then the entries.
    void FillCells();

    void NextStamp()
    {
        if (++stamp == 0) {
            std::fill(seen.begin(), seen.end(), 0);
            stamp = 1;
        }
    }

    int32_t axis = 2;
    float radius = 0, reach = 0, hitPad = 0;
    std::vector<Entry> entries;
    Geom::Vec2 origin{0, 0};
    float cell = 1;
    int32_t cellsX = 0, cellsY = 0;
    std::vector<int32_t> cellStart, cellEntries, fill;
    std::vector<uint32_t> seen;
    uint32_t stamp = 0;
    std::vector<int32_t> tied;
};


}  // namespace Engine
