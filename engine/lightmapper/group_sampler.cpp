#include "engine/lightmapper/group_sampler.h"

#include "engine/lightmapper/chart_geometry.h"
#include "engine/spatial/kdtree3.h"

namespace Engine {

GroupSampler::GroupSampler(const LmMesh& mesh, const LmGroup& group, int32_t groupIndex)
{
    axis = group.ProjectionAxis();
    radius = 2 * std::max(group.texelSize[0], group.texelSize[1]);
    // Boxes farther than this cannot come within the radius, whatever the rounding.
    reach = radius * 1.001f + 1e-30f;
    Geom::Box2 all;
    for (int32_t t : group.triangles) {
        const LmTriangle& triangle = mesh.triangles[size_t(t)];
        if (triangle.group != groupIndex)
            continue;
        Entry entry;
        entry.triangle = t;
        for (int32_t k = 0; k < 3; k++) {
            entry.p[k] = mesh.Corner(triangle, k);
            entry.box.Add(ProjectToPlane(entry.p[k], axis));
        }
        all.Add(entry.box);
        entries.push_back(entry);
    }
    if (entries.empty())
        return;
    origin = all.min;
    // Rounding may let a line hit a triangle just outside its box; far less than this.
    hitPad = 1e-3f * radius + 1e-5f * std::max({std::fabs(all.min.x), std::fabs(all.min.y),
                                                std::fabs(all.max.x), std::fabs(all.max.y)});
    const float width = all.max.x - all.min.x, height = all.max.y - all.min.y;
    const float count = float(entries.size());
    // Cells about the size of a triangle, but a radius query stays within 17 x 17 cells.
    cell = std::max({radius / 8, std::sqrt(width * height / count), 1e-30f});
    for (;;) {
        cellsX = int32_t(std::min(width / cell, 65536.0f)) + 1;
        cellsY = int32_t(std::min(height / cell, 65536.0f)) + 1;
        if (int64_t(cellsX) * cellsY <= 4 * int64_t(entries.size()) + 64)
            break;
        cell *= 2;
    }
    FillCells();
    seen.assign(entries.size(), 0);
}

void GroupSampler::FillCells()
{
    cellStart.assign(size_t(cellsX) * size_t(cellsY) + 1, 0);
    for (int pass = 0; pass < 2; pass++) {
        for (int32_t e = 0; e < int32_t(entries.size()); e++) {
            int32_t x0 = 0, y0 = 0, x1 = -1, y1 = -1;
            if (!CellRange(entries[size_t(e)].box.min, entries[size_t(e)].box.max, x0, y0, x1, y1))
                continue;
            for (int32_t y = y0; y <= y1; y++) {
                for (int32_t x = x0; x <= x1; x++) {
                    const size_t c = size_t(y) * size_t(cellsX) + size_t(x);
                    if (pass == 0)
                        cellStart[c + 1]++;
                    else
                        cellEntries[size_t(fill[c]++)] = e;
                }
            }
        }
        if (pass == 0) {
            for (size_t c = 1; c < cellStart.size(); c++)
                cellStart[c] += cellStart[c - 1];
            cellEntries.resize(size_t(cellStart.back()));
            fill.assign(cellStart.begin(), cellStart.end() - 1);
        }
    }
}

int32_t GroupSampler::Find(Geom::Vec2 q)
{
    if (entries.empty())
        return -1;
    const Geom::Vec3 lifted = Lift(q, axis);

    // Line hits: only triangles whose box holds q (give or take rounding) can have one.
    int32_t x0 = 0, y0 = 0, x1 = -1, y1 = -1;
    tied.clear();
    if (CellRange({q.x - hitPad, q.y - hitPad}, {q.x + hitPad, q.y + hitPad}, x0, y0, x1, y1)) {
        ForEachEntryInCells(x0, y0, x1, y1, [&](const Entry& entry) {
            if (entry.box.max.x < q.x - hitPad || entry.box.min.x > q.x + hitPad ||
                entry.box.max.y < q.y - hitPad || entry.box.min.y > q.y + hitPad)
                return;
            float t, u, v;
            if (LineHit(lifted, axis, entry.p, t, u, v))
                tied.push_back(entry.triangle);
        });
    }
    if (!tied.empty())
        return tied.size() == 1 ? tied[0] : undecided;

    // The nearest edge within the radius; boxes clearly beyond the best so far are skipped.
    if (!CellRange({q.x - reach, q.y - reach}, {q.x + reach, q.y + reach}, x0, y0, x1, y1))
        return -1;
    const float limit = radius * radius;
    float nearest = noHit;
    ForEachEntryInCells(x0, y0, x1, y1, [&](const Entry& entry) {
        const float dx = std::max({entry.box.min.x - q.x, q.x - entry.box.max.x, 0.0f});
        const float dy = std::max({entry.box.min.y - q.y, q.y - entry.box.max.y, 0.0f});
        const float boxDistance = dx * dx + dy * dy;
        if (boxDistance > limit * 1.002f + 1e-30f)
            return;
        if (!tied.empty() && boxDistance > nearest * 1.002f + 1e-30f)
            return;
        int32_t edge;
        float s;
        const float distanceSquared = NearestEdge(q, axis, entry.p, edge, s);
        if (!(distanceSquared <= limit))
            return;
        if (distanceSquared < nearest) {
            nearest = distanceSquared;
            tied.clear();
            tied.push_back(entry.triangle);
        } else if (distanceSquared == nearest) {
            tied.push_back(entry.triangle);
        }
    });
    if (tied.empty())
        return -1;
    return tied.size() > 1 ? undecided : tied[0];
}

}  // namespace Engine
