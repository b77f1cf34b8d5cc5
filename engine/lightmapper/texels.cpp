#include "engine/lightmapper/texels.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "core/log.h"
#include "engine/lightmapper/lightmapper.h"
#include "engine/lightmapper/texel_runs.h"
#include "engine/spatial/triangle_ops.h"
#include "geom/mat3.h"

namespace Engine {

const Geom::Vec2 subsampleOffsets[25] = {
    {0, 0},
    {-1, -1}, {-0.5f, -1}, {0, -1}, {0.5f, -1}, {1, -1},
    {-1, -0.5f}, {-0.5f, -0.5f}, {0, -0.5f}, {0.5f, -0.5f}, {1, -0.5f},
    {-1, 0}, {-0.5f, 0}, {0.5f, 0}, {1, 0},
    {-1, 0.5f}, {-0.5f, 0.5f}, {0, 0.5f}, {0.5f, 0.5f}, {1, 0.5f},
    {-1, 1}, {-0.5f, 1}, {0, 1}, {0.5f, 1}, {1, 1},
};

namespace {

// Texels per task: large enough that a task's bookkeeping is noise next to its rays, small
// enough that two cores stay balanced on the last tasks.
constexpr int32_t texelsPerTask = 4096;
// The border edge bits of a triangle's flag word: edge e without a neighbour in its group.
constexpr uint32_t borderEdgeBits = 0x700;

Geom::Vec3 Lift(Geom::Vec2 q, int32_t axis)
{
    switch (axis) {
    case 0: return {0, q.x, q.y};
    case 1: return {q.x, 0, q.y};
    default: return {q.x, q.y, 0};
    }
}

Geom::Vec3 UnitAxis(int32_t axis)
{
    Geom::Vec3 v{0, 0, 0};
    v[axis] = 1;
    return v;
}

// Corner data of one triangle for interpolation.
struct Corners {
    Geom::Vec3 position[3];
    Geom::Vec3 normal[3];
    Geom::Vec4 tangent[3];
};

Corners GatherCorners(const Lightmapper& lm, const LmTriangle& t)
{
    Corners c;
    for (int k = 0; k < 3; k++) {
        c.position[k] = lm.positions[size_t(t.pos[k])];
        c.normal[k] = lm.normals[size_t(t.nrm[k])];
        c.tangent[k] = t.tangent[k];
    }
    return c;
}

Geom::Vec4 Mix(Geom::Vec4 a, Geom::Vec4 b, Geom::Vec4 c, float u, float v)
{
    return {a.x + (b.x - a.x) * u + (c.x - a.x) * v, a.y + (b.y - a.y) * u + (c.y - a.y) * v,
            a.z + (b.z - a.z) * u + (c.z - a.z) * v, a.w + (b.w - a.w) * u + (c.w - a.w) * v};
}

// Normal and tangent at weights (u, v) of corners 1 and 2, normalised (w not).
void Interpolate(const Corners& c, float u, float v, TexelSample& sample)
{
    sample.normal = Geom::Normalized(c.normal[0] + (c.normal[1] - c.normal[0]) * u + (c.normal[2] - c.normal[0]) * v);
    Geom::Vec4 t = Mix(c.tangent[0], c.tangent[1], c.tangent[2], u, v);
    Geom::Vec3 direction = Geom::Normalized({t.x, t.y, t.z});
    sample.tangent = {direction.x, direction.y, direction.z, t.w};
}

// Along edge i -> i + 1 at parameter s: the same as weights on corners 1 and 2.
void EdgeWeights(int32_t edge, float s, float& u, float& v)
{
    switch (edge) {
    case 0: u = s; v = 0; break;        // corner 0 -> 1
    case 1: u = 1 - s; v = s; break;    // corner 1 -> 2
    default: u = 0; v = 1 - s; break;   // corner 2 -> 0
    }
}

// The line through the lifted chart point along the projection axis against the triangle:
// t may be negative; the point must lie inside (no tolerance).
bool LineHit(Geom::Vec3 lifted, int32_t axis, const Geom::Vec3 p[3], float& t, float& u, float& v)
{
    KdRay line{lifted, UnitAxis(axis)};
    t = RayTriangle(line, p[0], p[1], p[2], 0.0f, u, v);
    return t != noHit;
}

// Squared chart-plane distance from q to edge i -> i + 1 of the projected corners, and the
// edge parameter of the nearest point. Every nearest-edge search goes through here, so that
// searches that must agree compute the very same bits.
float EdgeDistanceSquared(Geom::Vec2 q, int32_t axis, const Geom::Vec3 p[3], int32_t i, float& s)
{
    Geom::Vec2 a = ProjectToPlane(p[i], axis), b = ProjectToPlane(p[(i + 1) % 3], axis);
    Geom::Vec2 ab = b - a;
    float lengthSquared = Geom::Dot(ab, ab);
    s = lengthSquared > 0 ? std::clamp(Geom::Dot(q - a, ab) / lengthSquared, 0.0f, 1.0f) : 0.0f;
    Geom::Vec2 d = q - (a + ab * s);
    return Geom::Dot(d, d);
}

// The nearest edge of one triangle: squared distance (noHit when none is nearer), edge, parameter.
float NearestEdge(Geom::Vec2 q, int32_t axis, const Geom::Vec3 p[3], int32_t& edge, float& s)
{
    float best = noHit;
    edge = -1;
    s = 0;
    for (int32_t i = 0; i < 3; i++) {
        float si;
        float distanceSquared = EdgeDistanceSquared(q, axis, p, i, si);
        if (distanceSquared < best) {
            best = distanceSquared;
            edge = i;
            s = si;
        }
    }
    return best;
}

// The point at parameter s of edge i of the triangle, with its interpolated frame.
void EdgeSample(const Corners& c, const Geom::Vec3 p[3], int32_t i, float s, TexelSample& sample)
{
    sample.position = p[i] + (p[(i + 1) % 3] - p[i]) * s;
    float u, v;
    EdgeWeights(i, s, u, v);
    Interpolate(c, u, v, sample);
}

// Nearest point of the triangle's edges to q in the chart plane; squared distance, or noHit.
float NearestEdgePoint(Geom::Vec2 q, int32_t axis, const Corners& c, const Geom::Vec3 p[3], TexelSample& sample)
{
    int32_t edge;
    float s;
    float best = NearestEdge(q, axis, p, edge, s);
    if (edge >= 0)
        EdgeSample(c, p, edge, s, sample);
    return best;
}

// The triangle search of FindGroupSample over the triangles of one group, binned on a grid of
// the chart plane, for packing a whole grid: the tree query of a texel point spans four texels
// and the group's whole depth, and on small, curved charts it returns most of the mesh. It finds
// the same triangles that the tree query would offer; when the order in which the tree offers
// them could matter (two line hits, or equally near edges) it leaves the decision to the tree.
class GroupSampler {
public:
    static constexpr int32_t undecided = -2;

    GroupSampler(const Lightmapper& lm, int32_t groupIndex)
    {
        const LmGroup& group = *lm.groups[size_t(groupIndex)];
        axis = group.ProjectionAxis();
        radius = 2 * std::max(group.texelSize[0], group.texelSize[1]);
        // Boxes farther than this cannot come within the radius, whatever the rounding.
        reach = radius * 1.001f + 1e-30f;
        Geom::Box2 all;
        for (int32_t t : group.triangles) {
            const LmTriangle& triangle = lm.triangles[size_t(t)];
            if (triangle.group != groupIndex)
                continue;
            Entry entry;
            entry.triangle = t;
            for (int32_t k = 0; k < 3; k++) {
                entry.p[k] = lm.positions[size_t(triangle.pos[k])];
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
        seen.assign(entries.size(), 0);
    }

    // The triangle FindGroupSample gives for q, -1 for none, or `undecided`.
    int32_t Find(Geom::Vec2 q)
    {
        if (entries.empty())
            return -1;
        const Geom::Vec3 lifted = Lift(q, axis);

        // Line hits: only triangles whose box holds q (give or take rounding) can have one.
        int32_t x0 = 0, y0 = 0, x1 = -1, y1 = -1;
        int32_t hitTriangle = -1, hits = 0;
        if (CellRange({q.x - hitPad, q.y - hitPad}, {q.x + hitPad, q.y + hitPad}, x0, y0, x1, y1)) {
            ForEachEntryInCells(x0, y0, x1, y1, [&](const Entry& entry) {
                if (entry.box.max.x < q.x - hitPad || entry.box.min.x > q.x + hitPad ||
                    entry.box.max.y < q.y - hitPad || entry.box.min.y > q.y + hitPad)
                    return;
                float t, u, v;
                if (LineHit(lifted, axis, entry.p, t, u, v)) {
                    hitTriangle = entry.triangle;
                    hits++;
                }
            });
        }
        if (hits > 0)
            return hits == 1 ? hitTriangle : undecided;

        // The nearest edge within the radius; boxes clearly beyond the best so far are skipped.
        if (!CellRange({q.x - reach, q.y - reach}, {q.x + reach, q.y + reach}, x0, y0, x1, y1))
            return -1;
        const float limit = radius * radius;
        int32_t nearTriangle = -1, nearCount = 0;
        float nearest = noHit;
        ForEachEntryInCells(x0, y0, x1, y1, [&](const Entry& entry) {
            const float dx = std::max({entry.box.min.x - q.x, q.x - entry.box.max.x, 0.0f});
            const float dy = std::max({entry.box.min.y - q.y, q.y - entry.box.max.y, 0.0f});
            const float boxDistance = dx * dx + dy * dy;
            if (boxDistance > limit * 1.002f + 1e-30f)
                return;
            if (nearCount > 0 && boxDistance > nearest * 1.002f + 1e-30f)
                return;
            int32_t edge;
            float s;
            const float distanceSquared = NearestEdge(q, axis, entry.p, edge, s);
            if (!(distanceSquared <= limit))
                return;
            if (distanceSquared < nearest) {
                nearest = distanceSquared;
                nearTriangle = entry.triangle;
                nearCount = 1;
            } else if (distanceSquared == nearest) {
                nearCount++;
            }
        });
        return nearCount > 1 ? undecided : nearTriangle;
    }

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
};

}  // namespace

Geom::Vec2 ChartPoint(const LmGroup& group, float x, float y)
{
    const Geom::Mat3& m = group.texelToChart;
    return {x * m.row[0].x + y * m.row[1].x + m.row[2].x, x * m.row[0].y + y * m.row[1].y + m.row[2].y};
}

int32_t FindGroupSample(Lightmapper& lm, int32_t groupIndex, Geom::Vec2 q, int32_t threadIndex, TexelSample& sample)
{
    sample = TexelSample();
    const LmGroup& group = *lm.groups[size_t(groupIndex)];
    if (lm.triangles.empty())
        return -1;
    const int32_t axis = group.ProjectionAxis();
    const float radius = 2 * std::max(group.texelSize[0], group.texelSize[1]);
    const Geom::Vec3 lifted = Lift(q, axis);

    Geom::Box3 query;
    query.min = lifted - Geom::Vec3{radius, radius, radius};
    query.max = lifted + Geom::Vec3{radius, radius, radius};
    query.min[axis] = group.bounds.min[axis] - lm.epsilon;
    query.max[axis] = group.bounds.max[axis] + lm.epsilon;
    std::vector<int32_t>& candidates = lm.threadCandidates[size_t(threadIndex)];
    candidates.clear();
    lm.kdTree.QueryBox(threadIndex, query, candidates);

    // The first line hit in candidate order wins at once; otherwise the first of the nearest
    // edges within the radius, whose frame is only interpolated once it has won.
    float best = noHit;
    int32_t bestTriangle = -1, bestEdge = -1;
    float bestS = 0;
    for (int32_t candidate : candidates) {
        const LmTriangle& t = lm.triangles[size_t(candidate)];
        if (t.group != groupIndex)
            continue;
        Geom::Vec3 p[3];
        for (int k = 0; k < 3; k++)
            p[k] = lm.positions[size_t(t.pos[k])];
        float hitT, u, v;
        if (LineHit(lifted, axis, p, hitT, u, v)) {
            sample.position = lifted + UnitAxis(axis) * hitT;
            Interpolate(GatherCorners(lm, t), u, v, sample);
            return candidate;
        }
        int32_t edge;
        float s;
        float distanceSquared = NearestEdge(q, axis, p, edge, s);
        if (distanceSquared <= radius * radius && distanceSquared < best) {
            best = distanceSquared;
            bestTriangle = candidate;
            bestEdge = edge;
            bestS = s;
        }
    }
    if (bestTriangle >= 0) {
        const Corners c = GatherCorners(lm, lm.triangles[size_t(bestTriangle)]);
        EdgeSample(c, c.position, bestEdge, bestS, sample);
    }
    return bestTriangle;
}

void PackGroupTexels(Lightmapper& lm, int32_t groupIndex, int32_t gridWidth, int32_t gridHeight, int32_t threadIndex)
{
    LmGroup& group = *lm.groups[size_t(groupIndex)];
    const int32_t samples = group.samplesPerTexel;
    const bool addsLight = lm.aoDistance <= 0 && !group.light.empty();
    std::vector<int32_t> texelTris;
    std::vector<uint8_t> texelRuns;
    texelTris.reserve(size_t(gridWidth) * size_t(gridHeight));
    texelRuns.reserve(size_t(gridWidth) * size_t(gridHeight));
    int32_t slots[25];
    TexelSample sample;
    GroupSampler sampler(lm, groupIndex);
    const Geom::Mat3& m = group.texelToChart;
    for (int32_t y = 0; y < gridHeight; y++) {
        for (int32_t x = 0; x < gridWidth; x++) {
            const int32_t texel = y * gridWidth + x;
            Geom::Vec2 p = ChartPoint(group, float(x), float(y));
            bool hit = false;
            for (int32_t s = 0; s < samples; s++) {
                Geom::Vec2 o = subsampleOffsets[s];
                Geom::Vec2 q{p.x + o.x * m.row[0].x + o.y * m.row[1].x, p.y + o.x * m.row[0].y + o.y * m.row[1].y};
                slots[s] = sampler.Find(q);
                if (slots[s] == GroupSampler::undecided)
                    slots[s] = FindGroupSample(lm, groupIndex, q, threadIndex, sample);
                if (slots[s] < 0)
                    continue;
                hit = true;
                int32_t object = lm.triangles[size_t(slots[s])].object;
                if (addsLight && object >= 0) {
                    Geom::Vec3 colour = lm.objects[size_t(object)].colour;
                    if (colour.x != 0 || colour.y != 0 || colour.z != 0)
                        group.light[size_t(texel)] += colour / float(samples);
                }
            }
            if (hit)
                group.SetCovered(texel);
            // Runs never span texels: the previous value starts at -2 for every texel.
            int32_t previous = -2;
            for (int32_t s = 0; s < samples; s++) {
                if (slots[s] == previous && texelRuns.back() < 255) {
                    texelRuns.back()++;
                    continue;
                }
                previous = slots[s];
                texelTris.push_back(slots[s]);
                texelRuns.push_back(1);
            }
        }
    }
    if (texelTris.size() != texelRuns.size())
        Core::Log("FATAL: bad tri pack!");
    group.texelTris.swap(texelTris);
    group.texelRuns.swap(texelRuns);
}

void ComputeCornerTexelCoords(Lightmapper& lm, int32_t groupIndex)
{
    const LmGroup& group = *lm.groups[size_t(groupIndex)];
    Geom::Mat3 chartToTexel;
    if (!group.texelToChart.Inverse(chartToTexel))
        return;
    const int32_t axis = group.ProjectionAxis();
    for (int32_t t : group.triangles) {
        LmTriangle& triangle = lm.triangles[size_t(t)];
        for (int k = 0; k < 3; k++) {
            Geom::Vec2 p = ProjectToPlane(lm.positions[size_t(triangle.pos[k])], axis);
            Geom::Vec3 texel = chartToTexel.TransformRow({p.x, p.y, 1.0f});
            triangle.lmUv[k] = {texel.x, texel.y};
        }
    }
}

void BuildGroupTasks(Lightmapper& lm)
{
    lm.tasks.clear();
    for (int32_t g = 0; g < int32_t(lm.groups.size()); g++) {
        const LmGroup& group = *lm.groups[size_t(g)];
        const int32_t rowsPerTask = std::max(1, texelsPerTask / std::max(1, group.gridWidth));
        TexelRunCursor cursor(group, 0);
        for (int32_t row = 0; row < group.gridHeight;) {
            int32_t rows = std::min(rowsPerTask, group.gridHeight - row);
            lm.tasks.push_back({g, row, rows, cursor.RunIndex()});
            for (int32_t texel = 0; texel < rows * group.gridWidth; texel++)
                cursor.NextTriangle();
            row += rows;
        }
    }
    Core::LogFormat("%d group tasks", int(lm.tasks.size()));
}

void InsetFlaggedEdges(Geom::Vec3 corners[3], Geom::Vec3 faceNormal, uint32_t flags, float distance)
{
    const Geom::Vec3 centroid = (corners[0] + corners[1] + corners[2]) / 3.0f;
    bool moveCorner[3] = {false, false, false};
    for (int32_t e = 0; e < 3; e++) {
        if (flags & (0x100u << e)) {
            moveCorner[e] = true;
            moveCorner[(e + 1) % 3] = true;
        }
    }
    for (int32_t k = 0; k < 3; k++) {
        Geom::Vec3 toCentroid = centroid - corners[k];
        float length = Geom::Length(toCentroid);
        if (moveCorner[k] && length > distance)
            corners[k] = corners[k] + toCentroid * (distance / length);
    }
    for (int32_t e = 0; e < 3; e++) {
        if (!(flags & (0x100u << e)))
            continue;
        Geom::Vec3& start = corners[e];
        Geom::Vec3& end = corners[(e + 1) % 3];
        const Geom::Vec3 opposite = corners[(e + 2) % 3];
        Geom::Vec3 m = Geom::Normalized(Geom::Cross(end - start, faceNormal));
        float h = Geom::Dot(m, opposite - start);
        if (h < 0)
            h = -h;
        if (h > 1.5f * distance) {
            Geom::Vec3 toStart = opposite - start, toEnd = opposite - end;
            start = start + toStart * (distance * h / Geom::LengthSquared(toStart));
            end = end + toEnd * (distance * h / Geom::LengthSquared(toEnd));
        }
    }
}

bool EvaluateTexelSample(const Lightmapper& lm, int32_t triangleIndex, const LmGroup& group, Geom::Vec2 p,
                         TexelSample& sample)
{
    sample = TexelSample();
    const LmTriangle& t = lm.triangles[size_t(triangleIndex)];
    Corners c = GatherCorners(lm, t);
    Geom::Vec3 corners[3] = {c.position[0], c.position[1], c.position[2]};
    if (t.flags & borderEdgeBits)
        InsetFlaggedEdges(corners, lm.normals[size_t(t.faceNormal)], t.flags, 3 * lm.epsilon);
    const int32_t axis = group.ProjectionAxis();
    const Geom::Vec3 lifted = Lift(p, axis);
    float hitT, u, v;
    if (LineHit(lifted, axis, corners, hitT, u, v)) {
        sample.position = lifted + UnitAxis(axis) * hitT;
        Interpolate(c, u, v, sample);
        return true;
    }
    return NearestEdgePoint(p, axis, c, corners, sample) < noHit;
}

}  // namespace Engine
