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

Geom::Vec2 ChartPoint(const LmGroup& group, float x, float y)
{
    const Geom::Mat3& m = group.texelToChart;
    return {x * m.row[0].x + y * m.row[1].x + m.row[2].x, x * m.row[0].y + y * m.row[1].y + m.row[2].y};
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

// Nearest point of the triangle's edges to q in the chart plane; squared distance, or noHit.
float NearestEdgePoint(Geom::Vec2 q, int32_t axis, const Corners& c, const Geom::Vec3 p[3], TexelSample& sample)
{
    float best = noHit;
    for (int32_t i = 0; i < 3; i++) {
        Geom::Vec2 a = ProjectToPlane(p[i], axis), b = ProjectToPlane(p[(i + 1) % 3], axis);
        Geom::Vec2 ab = b - a;
        float lengthSquared = Geom::Dot(ab, ab);
        float s = lengthSquared > 0 ? std::clamp(Geom::Dot(q - a, ab) / lengthSquared, 0.0f, 1.0f) : 0.0f;
        Geom::Vec2 d = q - (a + ab * s);
        float distanceSquared = Geom::Dot(d, d);
        if (distanceSquared < best) {
            best = distanceSquared;
            sample.position = p[i] + (p[(i + 1) % 3] - p[i]) * s;
            float u, v;
            EdgeWeights(i, s, u, v);
            Interpolate(c, u, v, sample);
        }
    }
    return best;
}

}  // namespace

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

    float best = noHit;
    int32_t bestTriangle = -1;
    TexelSample edgeSample;
    for (int32_t candidate : candidates) {
        const LmTriangle& t = lm.triangles[size_t(candidate)];
        if (t.group != groupIndex)
            continue;
        Corners c = GatherCorners(lm, t);
        float hitT, u, v;
        if (LineHit(lifted, axis, c.position, hitT, u, v)) {
            sample.position = lifted + UnitAxis(axis) * hitT;
            Interpolate(c, u, v, sample);
            return candidate;
        }
        TexelSample onEdge;
        float distanceSquared = NearestEdgePoint(q, axis, c, c.position, onEdge);
        if (distanceSquared <= radius * radius && distanceSquared < best) {
            best = distanceSquared;
            bestTriangle = candidate;
            edgeSample = onEdge;
        }
    }
    if (bestTriangle >= 0)
        sample = edgeSample;
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
    const Geom::Mat3& m = group.texelToChart;
    for (int32_t y = 0; y < gridHeight; y++) {
        for (int32_t x = 0; x < gridWidth; x++) {
            const int32_t texel = y * gridWidth + x;
            Geom::Vec2 p = ChartPoint(group, float(x), float(y));
            bool hit = false;
            for (int32_t s = 0; s < samples; s++) {
                Geom::Vec2 o = subsampleOffsets[s];
                Geom::Vec2 q{p.x + o.x * m.row[0].x + o.y * m.row[1].x, p.y + o.x * m.row[0].y + o.y * m.row[1].y};
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
