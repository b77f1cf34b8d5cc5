#include "engine/lightmapper/texels.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "core/assert.h"
#include "core/log.h"
#include "engine/lightmapper/chart_geometry.h"
#include "engine/lightmapper/group_sampler.h"
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

// Corner data of one triangle for interpolation.
struct Corners {
    Geom::Vec3 position[3];
    Geom::Vec3 normal[3];
    Geom::Vec4 tangent[3];
};

Corners GatherCorners(const LmMesh& mesh, const LmTriangle& t)
{
    Corners c;
    for (int k = 0; k < 3; k++) {
        c.position[k] = mesh.Corner(t, k);
        c.normal[k] = mesh.normals[size_t(t.nrm[k])];
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

}  // namespace

Geom::Vec2 ChartPoint(const LmGroup& group, float x, float y)
{
    const Geom::Mat3& m = group.texelToChart;
    return {x * m.row[0].x + y * m.row[1].x + m.row[2].x, x * m.row[0].y + y * m.row[1].y + m.row[2].y};
}

Geom::Box3 SampleQueryBox(const SampleSearch& search, const LmGroup& group, Geom::Vec2 q)
{
    const int32_t axis = group.ProjectionAxis();
    const float radius = 2 * std::max(group.texelSize[0], group.texelSize[1]);
    const Geom::Vec3 lifted = Lift(q, axis);
    Geom::Box3 query;
    query.min = lifted - Geom::Vec3{radius, radius, radius};
    query.max = lifted + Geom::Vec3{radius, radius, radius};
    query.min[axis] = group.bounds.min[axis] - search.epsilon;
    query.max[axis] = group.bounds.max[axis] + search.epsilon;
    return query;
}

int32_t FindGroupSample(const SampleSearch& search, const LmGroup& group, int32_t groupIndex, Geom::Vec2 q,
                        TexelSample& sample)
{
    sample = TexelSample();
    const LmMesh& mesh = search.mesh;
    if (mesh.triangles.empty())
        return -1;
    const int32_t axis = group.ProjectionAxis();
    const float radius = 2 * std::max(group.texelSize[0], group.texelSize[1]);
    const Geom::Vec3 lifted = Lift(q, axis);

    search.candidates.clear();
    search.tree.QueryBox(search.slot, SampleQueryBox(search, group, q), search.candidates);

    // The first line hit in candidate order wins at once; otherwise the first of the nearest
    // edges within the radius, whose frame is only interpolated once it has won.
    float best = noHit;
    int32_t bestTriangle = -1, bestEdge = -1;
    float bestS = 0;
    for (int32_t candidate : search.candidates) {
        const LmTriangle& t = mesh.triangles[size_t(candidate)];
        if (t.group != groupIndex)
            continue;
        Geom::Vec3 p[3];
        for (int k = 0; k < 3; k++)
            p[k] = mesh.Corner(t, k);
        float hitT, u, v;
        if (LineHit(lifted, axis, p, hitT, u, v)) {
            sample.position = lifted + UnitAxis(axis) * hitT;
            Interpolate(GatherCorners(mesh, t), u, v, sample);
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
        const Corners c = GatherCorners(mesh, mesh.triangles[size_t(bestTriangle)]);
        EdgeSample(c, c.position, bestEdge, bestS, sample);
    }
    return bestTriangle;
}

namespace {

// Of the tied triangles the sampler found, the one FindGroupSample's query would offer first;
// `undecided` when the query would offer none of them (FindGroupSample must then look further).
int32_t FirstOffered(const SampleSearch& search, const LmGroup& group, Geom::Vec2 q, const std::vector<int32_t>& tied)
{
    if (!search.order || search.mesh.triangles.empty())
        return GroupSampler::undecided;
    const Geom::Box3 query = SampleQueryBox(search, group, q);
    int32_t first = GroupSampler::undecided;
    uint64_t firstPlace = 0;
    for (int32_t triangle : tied) {
        uint64_t place;
        if (search.order->Place(triangle, query, place) && (first == GroupSampler::undecided || place < firstPlace)) {
            first = triangle;
            firstPlace = place;
        }
    }
    return first;
}

// The colour an emissive triangle adds to its texels, zero for every other triangle.
Geom::Vec3 EmittedColour(const LmMesh& mesh, int32_t triangle)
{
    const int32_t object = mesh.triangles[size_t(triangle)].object;
    return object >= 0 ? mesh.objects[size_t(object)].colour : Geom::Vec3{0, 0, 0};
}

// Appends one texel's slots to the run-length code. Runs never span texels.
void AppendTexelRuns(const int32_t* slots, int32_t samples, std::vector<int32_t>& texelTris,
                     std::vector<uint8_t>& texelRuns)
{
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

}  // namespace

void PackGroupTexels(const SampleSearch& search, const LightmapperSettings& settings, int32_t groupIndex,
                     LmGroup& group)
{
    const int32_t gridWidth = group.gridWidth, gridHeight = group.gridHeight;
    const int32_t samples = group.samplesPerTexel;
    const bool addsLight = !AmbientOcclusionMode(settings) && !group.light.empty();
    std::vector<int32_t> texelTris;
    std::vector<uint8_t> texelRuns;
    texelTris.reserve(size_t(gridWidth) * size_t(gridHeight));
    texelRuns.reserve(size_t(gridWidth) * size_t(gridHeight));
    int32_t slots[25];
    TexelSample sample;
    GroupSampler sampler(search.mesh, group, groupIndex);
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
                    slots[s] = FirstOffered(search, group, q, sampler.Tied());
                if (slots[s] == GroupSampler::undecided)
                    slots[s] = FindGroupSample(search, group, groupIndex, q, sample);
                if (slots[s] < 0)
                    continue;
                hit = true;
                if (addsLight) {
                    const Geom::Vec3 colour = EmittedColour(search.mesh, slots[s]);
                    if (colour.x != 0 || colour.y != 0 || colour.z != 0)
                        group.light[size_t(texel)] += colour / float(samples);
                }
            }
            if (hit)
                group.SetCovered(texel);
            AppendTexelRuns(slots, samples, texelTris, texelRuns);
        }
    }
    KETRA_ASSERT(texelTris.size() == texelRuns.size());
    group.texelTris.swap(texelTris);
    group.texelRuns.swap(texelRuns);
}

void PackTexels(const LmMesh& mesh, const LightmapperSettings& settings, LmBuildContext& context,
                std::vector<LmGroup>& groups)
{
    const int32_t groupCount = int32_t(groups.size());
    const BoxQueryOrder order(context.trees.kdTree);
    context.pool.Run(
        [&](int32_t g, int32_t thread) {
            context.progress.Report(float(g) * 100.0f / float(groupCount), 0, std::string());
            const SampleSearch search{mesh, context.trees.kdTree, thread, context.candidates[size_t(thread)],
                                      settings.epsilon, &order};
            PackGroupTexels(search, settings, g, groups[size_t(g)]);
        },
        groupCount, 1);
}

void ComputeCornerTexelCoords(LmMesh& mesh, const LmGroup& group)
{
    Geom::Mat3 chartToTexel;
    if (!group.texelToChart.Inverse(chartToTexel))
        return;
    const int32_t axis = group.ProjectionAxis();
    for (int32_t t : group.triangles) {
        LmTriangle& triangle = mesh.triangles[size_t(t)];
        for (int k = 0; k < 3; k++) {
            Geom::Vec2 p = ProjectToPlane(mesh.Corner(triangle, k), axis);
            Geom::Vec3 texel = chartToTexel.TransformRow({p.x, p.y, 1.0f});
            triangle.lmUv[k] = {texel.x, texel.y};
        }
    }
}

std::vector<GroupTask> BuildGroupTasks(const std::vector<LmGroup>& groups)
{
    std::vector<GroupTask> tasks;
    for (int32_t g = 0; g < int32_t(groups.size()); g++) {
        const LmGroup& group = groups[size_t(g)];
        const int32_t rowsPerTask = std::max(1, texelsPerTask / std::max(1, group.gridWidth));
        TexelRunCursor cursor(group, 0);
        for (int32_t row = 0; row < group.gridHeight;) {
            int32_t rows = std::min(rowsPerTask, group.gridHeight - row);
            tasks.push_back({g, row, rows, cursor.RunIndex()});
            for (int32_t texel = 0; texel < rows * group.gridWidth; texel++)
                cursor.NextTriangle();
            row += rows;
        }
    }
    Core::LogFormat("%d group tasks", int(tasks.size()));
    return tasks;
}

void InsetFlaggedEdges(Geom::Vec3 corners[3], Geom::Vec3 faceNormal, uint32_t flags, float distance)
{
    const Geom::Vec3 centroid = (corners[0] + corners[1] + corners[2]) / 3.0f;
    bool moveCorner[3] = {false, false, false};
    for (int32_t e = 0; e < 3; e++) {
        if (flags & BorderEdgeBit(e)) {
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
        if (!(flags & BorderEdgeBit(e)))
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

bool EvaluateTexelSample(const LmMesh& mesh, float epsilon, int32_t triangleIndex, const LmGroup& group,
                         Geom::Vec2 p, TexelSample& sample)
{
    sample = TexelSample();
    const LmTriangle& t = mesh.triangles[size_t(triangleIndex)];
    Corners c = GatherCorners(mesh, t);
    Geom::Vec3 corners[3] = {c.position[0], c.position[1], c.position[2]};
    if (t.flags & TriangleBorderEdges)
        InsetFlaggedEdges(corners, mesh.normals[size_t(t.faceNormal)], t.flags, 3 * epsilon);
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
