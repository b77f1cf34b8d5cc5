#include "engine/lightmapper/grouping.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

#include "core/hash_map.h"
#include "core/log.h"
#include "engine/lightmapper/connectivity.h"

namespace Engine {
namespace {

// Multipliers picked by bits 16-19 of an object's flag word.
constexpr float texelSizeMultipliers[16] = {1.0f, 0.75f, 0.5f, 0.375f, 0.25f, 0.1875f, 0.125f, 0.09375f,
                                            16.0f, 12.0f, 8.0f, 6.0f, 4.0f, 3.0f, 2.0f, 1.5f};
// A chart may span this many texels (plus its two border texels) a side, whatever the atlas
// size: larger charts are split instead of coarsened, unless -l keeps them whole.
constexpr float maxChartTexels = 2048.0f;
// Projections touching within this many world units do not overlap.
constexpr float overlapTolerance = 0.01f;

Geom::Box2 United(Geom::Box2 a, const Geom::Box2& b)
{
    a.Add(b);
    return a;
}

Geom::Box3 TriangleBounds(const LmMesh& mesh, const LmTriangle& t)
{
    Geom::Box3 box;
    for (int32_t k = 0; k < 3; k++)
        box.Add(mesh.Corner(t, k));
    return box;
}

// The group that two of the triangle's edge neighbours share, or -1.
int32_t SurroundingGroup(const LmMesh& mesh, int32_t i, const int32_t neighbours[3])
{
    const LmTriangle& t = mesh.triangles[size_t(i)];
    int32_t groupOf[3];
    for (int32_t e = 0; e < 3; e++)
        groupOf[e] = neighbours[e] >= 0 ? mesh.triangles[size_t(neighbours[e])].group : -1;
    int32_t g = -1;
    if (groupOf[0] >= 0 && (groupOf[0] == groupOf[1] || groupOf[0] == groupOf[2]))
        g = groupOf[0];
    else if (groupOf[1] >= 0 && groupOf[1] == groupOf[2])
        g = groupOf[1];
    return g == t.group ? -1 : g;
}

// Which isolated triangles a pass must look at again. A triangle's outcome depends only on the
// groups of its edge neighbours and, once it was refused, on the group that refused it; while
// none of these changed, looking again would end as before, so only triangles touched by a move
// are due. A triangle due at a later place in the list is looked at in the same pass, one at an
// earlier place in the next, as when every pass looked at all of them in order.
class IsolatedPasses {
public:
    IsolatedPasses(const std::vector<int32_t>& isolated, const std::vector<int32_t>& neighbours, int32_t triangleCount,
                   int32_t groupCount)
        : due(isolated.size(), 1), refusedBy(isolated.size(), -1), firstRefused(size_t(groupCount), -1)
    {
        // Per triangle, the isolated triangles beside it: counts, offsets, then the entries.
        firstWatcher.assign(size_t(triangleCount) + 1, 0);
        for (int32_t n : neighbours) {
            if (n >= 0)
                firstWatcher[size_t(n) + 1]++;
        }
        for (size_t t = 1; t < firstWatcher.size(); t++)
            firstWatcher[t] += firstWatcher[t - 1];
        watchers.resize(size_t(firstWatcher.back()));
        std::vector<int32_t> fill(firstWatcher.begin(), firstWatcher.end() - 1);
        for (size_t j = 0; j < neighbours.size(); j++) {
            if (neighbours[j] >= 0)
                watchers[size_t(fill[size_t(neighbours[j])]++)] = int32_t(j / 3);
        }
    }

    // The next due entry after k (-1 to start), taken off the due list; -1 at the end of a pass.
    int32_t NextDue(int32_t k)
    {
        for (size_t next = size_t(k + 1); next < due.size(); next++) {
            if (due[next]) {
                due[next] = 0;
                refusedBy[next] = -1;
                return int32_t(next);
            }
        }
        return -1;
    }
    // Entry k could not join group g as it stands.
    void RefusedBy(int32_t k, int32_t g)
    {
        refusedBy[size_t(k)] = g;
        refusals.push_back({k, firstRefused[size_t(g)]});
        firstRefused[size_t(g)] = int32_t(refusals.size()) - 1;
    }
    // Entry k, triangle i, went from group `from` to group `to`.
    void Moved(int32_t k, int32_t i, int32_t from, int32_t to)
    {
        due[size_t(k)] = 1;
        for (int32_t w = firstWatcher[size_t(i)]; w < firstWatcher[size_t(i) + 1]; w++)
            due[size_t(watchers[size_t(w)])] = 1;
        Changed(from);
        Changed(to);
    }

private:
    void Changed(int32_t g)
    {
        for (int32_t r = firstRefused[size_t(g)]; r >= 0; r = refusals[size_t(r)].next) {
            const int32_t k = refusals[size_t(r)].entry;
            if (refusedBy[size_t(k)] == g)
                due[size_t(k)] = 1;
        }
        firstRefused[size_t(g)] = -1;
    }

    struct Refusal {
        int32_t entry;
        int32_t next;  // the group's previous refusal, -1 for none
    };
    std::vector<uint8_t> due;
    std::vector<int32_t> refusedBy;      // per entry: the group that last refused it, -1 for none
    std::vector<int32_t> firstRefused;   // per group: its latest refusal, -1 for none
    std::vector<Refusal> refusals;
    std::vector<int32_t> firstWatcher, watchers;
};

// Points every triangle at its group's place in the list.
void RenumberTriangleGroups(LmMesh& mesh, const std::vector<LmGroup>& groups)
{
    for (int32_t g = 0; g < int32_t(groups.size()); g++) {
        for (int32_t t : groups[size_t(g)].triangles)
            mesh.triangles[size_t(t)].group = g;
    }
}

void DropEmptyGroups(LmMesh& mesh, std::vector<LmGroup>& groups)
{
    size_t kept = 0;
    for (LmGroup& group : groups) {
        if (group.triangles.empty())
            continue;
        if (&groups[kept] != &group)
            groups[kept] = std::move(group);
        kept++;
    }
    groups.erase(groups.begin() + std::ptrdiff_t(kept), groups.end());
    groups.shrink_to_fit();
    RenumberTriangleGroups(mesh, groups);
}

// Largest first: longest side, then area, then width. Equal grids keep their order, so the
// result is the same on every run and platform.
void SortGroups(LmMesh& mesh, std::vector<LmGroup>& groups)
{
    std::vector<int32_t> order(groups.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&groups](int32_t i, int32_t j) {
        const LmGroup& a = groups[size_t(i)];
        const LmGroup& b = groups[size_t(j)];
        int32_t sideA = std::max(a.gridWidth, a.gridHeight), sideB = std::max(b.gridWidth, b.gridHeight);
        if (sideA != sideB)
            return sideA > sideB;
        int64_t areaA = int64_t(a.gridWidth) * a.gridHeight, areaB = int64_t(b.gridWidth) * b.gridHeight;
        if (areaA != areaB)
            return areaA > areaB;
        return a.gridWidth > b.gridWidth;
    });
    std::vector<LmGroup> sorted;
    sorted.reserve(groups.size());
    for (int32_t g : order)
        sorted.push_back(std::move(groups[size_t(g)]));
    groups.swap(sorted);
    RenumberTriangleGroups(mesh, groups);
}

void MarkBorderEdges(LmMesh& mesh, const std::vector<LmGroup>& groups)
{
    for (LmTriangle& t : mesh.triangles)
        t.flags &= ~uint32_t(TriangleBorderEdges);
    for (int32_t g = 0; g < int32_t(groups.size()); g++) {
        for (int32_t i : groups[size_t(g)].triangles) {
            LmTriangle& t = mesh.triangles[size_t(i)];
            for (int32_t e = 0; e < 3; e++) {
                int32_t n = t.neighbour[e];
                if (n < 0 || mesh.triangles[size_t(n)].group != g)
                    t.flags |= BorderEdgeBit(e);
            }
        }
    }
}

}  // namespace

float EffectiveTexelSize(const LightmapperSettings& settings, uint32_t flags)
{
    float size = settings.texelSize * texelSizeMultipliers[(flags >> TriangleTexelScaleShift) & TriangleTexelScaleMask];
    return (flags & TriangleCoarse) ? size * 8.0f : size;
}

Geom::Box2 TriangleTexelBox(const LmMesh& mesh, const LightmapperSettings& settings, int32_t i)
{
    Geom::Box2 box;
    if (settings.flags & KeepLargeGroups)
        return box;
    const LmTriangle& t = mesh.triangles[size_t(i)];
    const int32_t axis = int32_t(t.projKey & 3);
    const float size = EffectiveTexelSize(settings, t.flags);
    for (int32_t k = 0; k < 3; k++) {
        Geom::Vec2 p = ProjectToPlane(mesh.Corner(t, k), axis);
        box.Add(Geom::Vec2{p.x / size, p.y / size});
    }
    return box;
}

EdgeLines EdgeLines2D(const LmMesh& mesh, int32_t i, int32_t axis)
{
    EdgeLines lines;
    const LmTriangle& t = mesh.triangles[size_t(i)];
    for (int32_t k = 0; k < 3; k++)
        lines.corner[k] = ProjectToPlane(mesh.Corner(t, k), axis);
    for (int32_t k = 0; k < 3; k++) {
        Geom::Vec2 from = lines.corner[k], d = lines.corner[(k + 1) % 3] - from;
        float length = Geom::Length(d);
        if (length == 0)
            length = 1;
        float a = -d.y / length, b = d.x / length;
        Geom::Vec3 line{a, b, -(a * from.x + b * from.y)};
        // The corner farthest from the line is the opposite one; it must be on the negative side.
        float farthest = 0;
        float value = 0;
        for (int32_t c = 0; c < 3; c++) {
            float v = line.x * lines.corner[c].x + line.y * lines.corner[c].y + line.z;
            if (std::fabs(v) > farthest) {
                farthest = std::fabs(v);
                value = v;
            }
        }
        lines.line[k] = value > 0 ? -line : line;
    }
    return lines;
}

bool ProjectionsOverlap(const EdgeLines& a, const EdgeLines& b)
{
    auto separates = [](const Geom::Vec3& line, const Geom::Vec2 corners[3]) {
        for (int32_t c = 0; c < 3; c++) {
            if (line.x * corners[c].x + line.y * corners[c].y + line.z < -overlapTolerance)
                return false;
        }
        return true;
    };
    for (int32_t k = 0; k < 3; k++) {
        if (separates(a.line[k], b.corner) || separates(b.line[k], a.corner))
            return false;
    }
    return true;
}

bool ChartJoiner::CanJoin(int32_t i, int32_t g)
{
    const LmTriangle& t = mesh.triangles[size_t(i)];
    const LmGroup& group = groups[size_t(g)];
    if (t.projKey != group.projKey)
        return false;
    if (EffectiveTexelSize(settings, t.flags) != group.requestedTexelSize)
        return false;
    Geom::Box2 united = United(group.texelBox, TriangleTexelBox(mesh, settings, i));
    if (!(united == group.texelBox) && (united.max.x - united.min.x - 2 >= maxChartTexels ||
                                        united.max.y - united.min.y - 2 >= maxChartTexels))
        return false;

    // Everything above or below the triangle along the projection axis.
    const int32_t axis = group.ProjectionAxis();
    Geom::Box3 column = TriangleBounds(mesh, t);
    column.min[axis] = -std::numeric_limits<float>::infinity();
    column.max[axis] = std::numeric_limits<float>::infinity();
    // Only the group's triangles matter, and they all lie within its bounds (kept while
    // grouping, never shrunk): the rest of the column only costs tree nodes.
    if (!group.bounds.IsEmpty()) {
        column.min[axis] = group.bounds.min[axis];
        column.max[axis] = group.bounds.max[axis];
    }
    candidates.clear();
    tree.QueryBox(0, column, candidates);
    EdgeLines own;
    bool ownComputed = false;
    for (int32_t c : candidates) {
        if (c == i || groupOf[size_t(c)] != g)
            continue;
        if (!ownComputed) {
            own = EdgeLines2D(mesh, i, axis);
            ownComputed = true;
        }
        if (ProjectionsOverlap(own, EdgeLines2D(mesh, c, axis)))
            return false;
    }
    return true;
}

bool ChartJoiner::MergeGroups(int32_t a, int32_t b)
{
    // The smaller group moves; on a tie, b (the neighbour's) does.
    bool bIsSource = groups[size_t(b)].triangles.size() <= groups[size_t(a)].triangles.size();
    int32_t source = bIsSource ? b : a, target = bIsSource ? a : b;
    LmGroup& from = groups[size_t(source)];
    LmGroup& to = groups[size_t(target)];
    for (int32_t t : from.triangles) {
        if (!CanJoin(t, target))
            return false;
    }
    for (int32_t t : from.triangles)
        Assign(t, target);
    to.triangles.insert(to.triangles.end(), from.triangles.begin(), from.triangles.end());
    to.texelBox.Add(from.texelBox);
    to.bounds.Add(from.bounds);
    from.triangles.clear();
    return true;
}

std::vector<LmGroup> SeedGroups(LmMesh& mesh, const LightmapperSettings& settings)
{
    std::vector<LmGroup> groups;
    // At most one group per triangle; reserved so that growing never holds two copies at once.
    groups.reserve(mesh.triangles.size());
    Core::HashMap<int32_t, int32_t> faceGroups;
    for (int32_t i = 0; i < mesh.TriangleCount(); i++) {
        LmTriangle& t = mesh.triangles[size_t(i)];
        bool added = false;
        int32_t entry = faceGroups.FindOrAdd(t.faceId, int32_t(groups.size()), added);
        int32_t g = faceGroups[entry].value;
        if (added) {
            LmGroup& group = groups.emplace_back();
            group.requestedTexelSize = EffectiveTexelSize(settings, t.flags);
            group.groupFlags = (t.flags & TriangleCoarse) ? GroupCoarse : 0;
            group.projKey = t.projKey;
            group.texelBox = TriangleTexelBox(mesh, settings, i);
            group.bounds = TriangleBounds(mesh, t);
            group.triangles.push_back(i);
        } else {
            LmGroup& group = groups[size_t(g)];
            group.triangles.push_back(i);
            group.texelBox.Add(TriangleTexelBox(mesh, settings, i));
            group.bounds.Add(TriangleBounds(mesh, t));
        }
        t.group = g;
    }
    return groups;
}

void MergeAcrossNeighbours(ChartJoiner& joiner)
{
    const std::vector<LmTriangle>& triangles = joiner.mesh.triangles;
    for (bool merged = true; merged;) {
        merged = false;
        for (size_t i = 0; i < triangles.size(); i++) {
            for (int32_t e = 0; e < 3; e++) {
                int32_t n = triangles[i].neighbour[e];
                if (n < 0 || triangles[size_t(n)].group == triangles[i].group)
                    continue;
                if (joiner.MergeGroups(triangles[i].group, triangles[size_t(n)].group))
                    merged = true;
            }
        }
    }
}

int32_t MoveIsolatedTriangles(ChartJoiner& joiner)
{
    LmMesh& mesh = joiner.mesh;
    const int32_t triangleCount = mesh.TriangleCount();
    Core::HashMap<int32_t, int32_t> faceUse;
    for (const LmTriangle& t : mesh.triangles)
        faceUse[faceUse.FindOrAdd(t.faceId, 0)].value++;
    // Neighbours across edges whatever their projection key. Moves change keys and groups but
    // not the edges, so they are looked up once for all passes.
    std::vector<int32_t> isolated;
    std::vector<int32_t> neighbours;
    for (int32_t i = 0; i < triangleCount; i++) {
        const LmTriangle& t = mesh.triangles[size_t(i)];
        if (faceUse[faceUse.Find(t.faceId)].value != 1)
            continue;
        isolated.push_back(i);
        for (int32_t e = 0; e < 3; e++)
            neighbours.push_back(FindNeighbour(mesh, t.modelId, t.pos[e], t.pos[(e + 1) % 3], i));
    }
    IsolatedPasses passes(isolated, neighbours, triangleCount, int32_t(joiner.groups.size()));
    const float minCosine = std::cos(0.82030475f);  // 47 degrees
    int32_t moved = 0;
    for (bool movedAny = true; movedAny;) {
        movedAny = false;
        for (int32_t k = passes.NextDue(-1); k >= 0; k = passes.NextDue(k)) {
            const int32_t i = isolated[size_t(k)];
            const int32_t* around = &neighbours[size_t(k) * 3];
            LmTriangle& t = mesh.triangles[size_t(i)];
            int32_t g = SurroundingGroup(mesh, i, around);
            if (g < 0)
                continue;
            const Geom::Vec3 normal = mesh.normals[size_t(t.faceNormal)];
            bool bendsTooMuch = false;
            for (int32_t e = 0; e < 3; e++) {
                const int32_t n = around[e];
                if (n >= 0 && mesh.triangles[size_t(n)].group == g &&
                    Geom::Dot(mesh.normals[size_t(mesh.triangles[size_t(n)].faceNormal)], normal) < minCosine)
                    bendsTooMuch = true;
            }
            if (bendsTooMuch)
                continue;
            const uint32_t ownKey = t.projKey;
            t.projKey = joiner.groups[size_t(g)].projKey;
            if (!joiner.CanJoin(i, g)) {
                t.projKey = ownKey;
                passes.RefusedBy(k, g);
                continue;
            }
            LmGroup& target = joiner.groups[size_t(g)];
            target.triangles.push_back(i);
            target.texelBox.Add(TriangleTexelBox(mesh, joiner.settings, i));
            target.bounds.Add(TriangleBounds(mesh, t));
            const int32_t from = t.group;
            std::vector<int32_t>& old = joiner.groups[size_t(from)].triangles;
            auto at = std::find(old.begin(), old.end(), i);
            *at = old.back();
            old.pop_back();
            joiner.Assign(i, g);
            passes.Moved(k, i, from, g);
            moved++;
            movedAny = true;
        }
    }
    return moved;
}

std::vector<LmGroup> GroupTriangles(LmMesh& mesh, const LightmapperSettings& settings, const TriangleKdTree& tree,
                                    std::vector<int32_t>& candidates, const BuildProgress& progress)
{
    for (LmTriangle& t : mesh.triangles)
        t.group = -1;

    progress.Report(0, 0, "Grouping (assign)");
    std::vector<LmGroup> groups = SeedGroups(mesh, settings);
    progress.Report(0, 0, "Grouping (merge)");
    ChartJoiner joiner(mesh, settings, tree, candidates, groups);
    MergeAcrossNeighbours(joiner);
    int32_t moved = MoveIsolatedTriangles(joiner);
    if (moved > 0) {
        Core::LogFormat("%d isolated group tris moved", moved);
        // Moved triangles took their new group's projection key: their links follow it.
        BuildConnectivity(mesh);
    }

    progress.Report(0, 0, "Grouping (compress)");
    DropEmptyGroups(mesh, groups);
    return groups;
}

void SortGroupsAndMarkBorders(LmMesh& mesh, std::vector<LmGroup>& groups, const BuildProgress& progress)
{
    Core::Log("LM: allocated, sorting...");
    progress.Report(0, 0, "Sorting groups");
    SortGroups(mesh, groups);
    MarkBorderEdges(mesh, groups);
}

}  // namespace Engine
