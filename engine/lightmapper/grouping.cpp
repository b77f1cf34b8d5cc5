#include "engine/lightmapper/grouping.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>

#include "core/hash_map.h"
#include "core/log.h"
#include "engine/lightmapper/chart_layout.h"
#include "engine/lightmapper/lightmapper.h"

namespace Engine {
namespace {

// Multipliers picked by bits 16-19 of an object's flag word.
constexpr float texelSizeMultipliers[16] = {1.0f, 0.75f, 0.5f, 0.375f, 0.25f, 0.1875f, 0.125f, 0.09375f,
                                            16.0f, 12.0f, 8.0f, 6.0f, 4.0f, 3.0f, 2.0f, 1.5f};
constexpr uint32_t coarseObjectFlag = 0x08;
constexpr uint32_t borderEdgeBits = 0x700;
// A chart may span this many texels (plus its two border texels) a side, whatever the atlas
// size: larger charts are split instead of coarsened, unless -l keeps them whole.
constexpr float maxChartTexels = 2048.0f;
// Projections touching within this many world units do not overlap.
constexpr float overlapTolerance = 0.01f;

LmGroup& GroupAt(Lightmapper& lm, int32_t g) { return *lm.groups[size_t(g)]; }

Geom::Box2 United(Geom::Box2 a, const Geom::Box2& b)
{
    a.Add(b);
    return a;
}

Geom::Box3 TriangleBounds(const Lightmapper& lm, const LmTriangle& t)
{
    Geom::Box3 box;
    for (int32_t corner : t.pos)
        box.Add(lm.positions[size_t(corner)]);
    return box;
}

// Every triangle starts as a group of its own, or of its input face.
void SeedGroups(Lightmapper& lm)
{
    Core::HashMap<int32_t, int32_t> faceGroups;
    for (int32_t i = 0; i < int32_t(lm.triangles.size()); i++) {
        LmTriangle& t = lm.triangles[size_t(i)];
        bool added = false;
        int32_t entry = faceGroups.FindOrAdd(t.faceId, int32_t(lm.groups.size()), added);
        int32_t g = faceGroups[entry].value;
        if (added) {
            auto group = std::make_shared<LmGroup>();
            float size = EffectiveTexelSize(lm, t.flags);
            group->texelSize[0] = group->texelSize[1] = size;
            group->groupFlags = (t.flags & coarseObjectFlag) ? GroupCoarse : 0;
            group->projKey = t.projKey;
            group->texelBox = TriangleTexelBox(lm, i);
            group->bounds = TriangleBounds(lm, t);
            group->triangles.push_back(i);
            lm.groups.push_back(group);
        } else {
            LmGroup& group = GroupAt(lm, g);
            group.triangles.push_back(i);
            group.texelBox.Add(TriangleTexelBox(lm, i));
            group.bounds.Add(TriangleBounds(lm, t));
        }
        t.group = g;
    }
}

void MergeAcrossNeighbours(Lightmapper& lm)
{
    for (bool merged = true; merged;) {
        merged = false;
        for (int32_t i = 0; i < int32_t(lm.triangles.size()); i++) {
            for (int32_t e = 0; e < 3; e++) {
                int32_t n = lm.triangles[size_t(i)].neighbour[e];
                if (n < 0 || lm.triangles[size_t(n)].group == lm.triangles[size_t(i)].group)
                    continue;
                if (MergeGroups(lm, lm.triangles[size_t(i)].group, lm.triangles[size_t(n)].group))
                    merged = true;
            }
        }
    }
}

// The group that two of the triangle's edge neighbours share, or -1.
int32_t SurroundingGroup(const Lightmapper& lm, int32_t i, const int32_t neighbours[3])
{
    const LmTriangle& t = lm.triangles[size_t(i)];
    int32_t groupOf[3];
    for (int32_t e = 0; e < 3; e++)
        groupOf[e] = neighbours[e] >= 0 ? lm.triangles[size_t(neighbours[e])].group : -1;
    int32_t g = -1;
    if (groupOf[0] >= 0 && (groupOf[0] == groupOf[1] || groupOf[0] == groupOf[2]))
        g = groupOf[0];
    else if (groupOf[1] >= 0 && groupOf[1] == groupOf[2])
        g = groupOf[1];
    return g == t.group ? -1 : g;
}

// Moves a triangle that is a face of its own into the group around it when two of its
// neighbours are there, their faces bend by less than 47 degrees and it fits. Returns the
// number of triangles moved.
int32_t MoveIsolatedTriangles(Lightmapper& lm)
{
    const int32_t triangleCount = int32_t(lm.triangles.size());
    Core::HashMap<int32_t, int32_t> faceUse;
    for (const LmTriangle& t : lm.triangles)
        faceUse[faceUse.FindOrAdd(t.faceId, 0)].value++;
    // Neighbours across edges whatever their projection key. Moves change keys and groups but
    // not the edges, so they are looked up once for all passes.
    std::vector<int32_t> isolated;
    std::vector<int32_t> neighbours;
    for (int32_t i = 0; i < triangleCount; i++) {
        const LmTriangle& t = lm.triangles[size_t(i)];
        if (faceUse[faceUse.Find(t.faceId)].value != 1)
            continue;
        isolated.push_back(i);
        for (int32_t e = 0; e < 3; e++)
            neighbours.push_back(lm.FindNeighbour(t.modelId, t.pos[e], t.pos[(e + 1) % 3], i));
    }
    const float minCosine = std::cos(0.82030475f);  // 47 degrees
    int32_t moved = 0;
    for (bool movedAny = true; movedAny;) {
        movedAny = false;
        for (size_t k = 0; k < isolated.size(); k++) {
            const int32_t i = isolated[k];
            const int32_t* around = &neighbours[k * 3];
            LmTriangle& t = lm.triangles[size_t(i)];
            int32_t g = SurroundingGroup(lm, i, around);
            if (g < 0)
                continue;
            const Geom::Vec3 normal = lm.normals[size_t(t.faceNormal)];
            bool bendsTooMuch = false;
            for (int32_t e = 0; e < 3; e++) {
                const int32_t n = around[e];
                if (n >= 0 && lm.triangles[size_t(n)].group == g &&
                    Geom::Dot(lm.normals[size_t(lm.triangles[size_t(n)].faceNormal)], normal) < minCosine)
                    bendsTooMuch = true;
            }
            if (bendsTooMuch)
                continue;
            const uint32_t ownKey = t.projKey;
            t.projKey = GroupAt(lm, g).projKey;
            if (!CanJoin(lm, i, g)) {
                t.projKey = ownKey;
                continue;
            }
            LmGroup& target = GroupAt(lm, g);
            target.triangles.push_back(i);
            target.texelBox.Add(TriangleTexelBox(lm, i));
            target.bounds.Add(TriangleBounds(lm, t));
            std::vector<int32_t>& old = GroupAt(lm, t.group).triangles;
            auto at = std::find(old.begin(), old.end(), i);
            *at = old.back();
            old.pop_back();
            t.group = g;
            moved++;
            movedAny = true;
        }
    }
    return moved;
}

void DropEmptyGroups(Lightmapper& lm)
{
    std::vector<std::shared_ptr<LmGroup>> kept;
    for (auto& group : lm.groups) {
        if (!group->triangles.empty())
            kept.push_back(group);
    }
    lm.groups.swap(kept);
    for (int32_t g = 0; g < int32_t(lm.groups.size()); g++) {
        for (int32_t t : lm.groups[size_t(g)]->triangles)
            lm.triangles[size_t(t)].group = g;
    }
}

// Largest first: longest side, then area, then width. Equal grids keep their order, so the
// result is the same on every run and platform.
void SortGroups(Lightmapper& lm)
{
    std::stable_sort(lm.groups.begin(), lm.groups.end(), [](const auto& a, const auto& b) {
        int32_t sideA = std::max(a->gridWidth, a->gridHeight), sideB = std::max(b->gridWidth, b->gridHeight);
        if (sideA != sideB)
            return sideA > sideB;
        int64_t areaA = int64_t(a->gridWidth) * a->gridHeight, areaB = int64_t(b->gridWidth) * b->gridHeight;
        if (areaA != areaB)
            return areaA > areaB;
        return a->gridWidth > b->gridWidth;
    });
    for (int32_t g = 0; g < int32_t(lm.groups.size()); g++) {
        for (int32_t t : lm.groups[size_t(g)]->triangles)
            lm.triangles[size_t(t)].group = g;
    }
}

void MarkBorderEdges(Lightmapper& lm)
{
    for (LmTriangle& t : lm.triangles)
        t.flags &= ~borderEdgeBits;
    for (int32_t g = 0; g < int32_t(lm.groups.size()); g++) {
        for (int32_t i : lm.groups[size_t(g)]->triangles) {
            LmTriangle& t = lm.triangles[size_t(i)];
            for (int32_t e = 0; e < 3; e++) {
                int32_t n = t.neighbour[e];
                if (n < 0 || lm.triangles[size_t(n)].group != g)
                    t.flags |= 0x100u << e;
            }
        }
    }
}

}  // namespace

float EffectiveTexelSize(const Lightmapper& lm, uint32_t flags)
{
    float size = lm.texelSize * texelSizeMultipliers[(flags >> 16) & 15];
    return (flags & coarseObjectFlag) ? size * 8.0f : size;
}

Geom::Box2 TriangleTexelBox(const Lightmapper& lm, int32_t i)
{
    Geom::Box2 box;
    if (lm.flags & KeepLargeGroups)
        return box;
    const LmTriangle& t = lm.triangles[size_t(i)];
    const int32_t axis = int32_t(t.projKey & 3);
    const float size = EffectiveTexelSize(lm, t.flags);
    for (int32_t corner : t.pos) {
        Geom::Vec2 p = ProjectToPlane(lm.positions[size_t(corner)], axis);
        box.Add(Geom::Vec2{p.x / size, p.y / size});
    }
    return box;
}

EdgeLines EdgeLines2D(const Lightmapper& lm, int32_t i, int32_t axis)
{
    EdgeLines lines;
    const LmTriangle& t = lm.triangles[size_t(i)];
    for (int32_t k = 0; k < 3; k++)
        lines.corner[k] = ProjectToPlane(lm.positions[size_t(t.pos[k])], axis);
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

bool CanJoin(Lightmapper& lm, int32_t i, int32_t g)
{
    const LmTriangle& t = lm.triangles[size_t(i)];
    const LmGroup& group = GroupAt(lm, g);
    if (t.projKey != group.projKey)
        return false;
    const float size = EffectiveTexelSize(lm, t.flags);
    if (size != group.texelSize[0] || size != group.texelSize[1])
        return false;
    Geom::Box2 united = United(group.texelBox, TriangleTexelBox(lm, i));
    if (!(united == group.texelBox) && (united.max.x - united.min.x - 2 >= maxChartTexels ||
                                        united.max.y - united.min.y - 2 >= maxChartTexels))
        return false;

    // Everything above or below the triangle along the projection axis.
    const int32_t axis = group.ProjectionAxis();
    Geom::Box3 column;
    for (int32_t corner : t.pos)
        column.Add(lm.positions[size_t(corner)]);
    column.min[axis] = -std::numeric_limits<float>::infinity();
    column.max[axis] = std::numeric_limits<float>::infinity();
    // Only the group's triangles matter, and they all lie within its bounds (kept while
    // grouping, never shrunk): the rest of the column only costs tree nodes.
    if (!group.bounds.IsEmpty()) {
        column.min[axis] = group.bounds.min[axis];
        column.max[axis] = group.bounds.max[axis];
    }
    std::vector<int32_t>& candidates = lm.threadCandidates[0];
    candidates.clear();
    lm.kdTree.QueryBox(0, column, candidates);
    EdgeLines own;
    bool ownComputed = false;
    for (int32_t c : candidates) {
        if (c == i || lm.triangles[size_t(c)].group != g)
            continue;
        if (!ownComputed) {
            own = EdgeLines2D(lm, i, axis);
            ownComputed = true;
        }
        if (ProjectionsOverlap(own, EdgeLines2D(lm, c, axis)))
            return false;
    }
    return true;
}

bool MergeGroups(Lightmapper& lm, int32_t a, int32_t b)
{
    // The smaller group moves; on a tie, b (the neighbour's) does.
    bool bIsSource = GroupAt(lm, b).triangles.size() <= GroupAt(lm, a).triangles.size();
    int32_t source = bIsSource ? b : a, target = bIsSource ? a : b;
    LmGroup& from = GroupAt(lm, source);
    LmGroup& to = GroupAt(lm, target);
    for (int32_t t : from.triangles) {
        if (!CanJoin(lm, t, target))
            return false;
    }
    for (int32_t t : from.triangles)
        lm.triangles[size_t(t)].group = target;
    to.triangles.insert(to.triangles.end(), from.triangles.begin(), from.triangles.end());
    to.texelBox.Add(from.texelBox);
    to.bounds.Add(from.bounds);
    from.triangles.clear();
    return true;
}

void GroupTriangles(Lightmapper& lm)
{
    lm.groups.clear();
    for (LmTriangle& t : lm.triangles)
        t.group = -1;

    SeedGroups(lm);
    lm.Report(0, 0, "Grouping (assign)");
    lm.Report(0, 0, "Grouping (merge)");
    MergeAcrossNeighbours(lm);
    int32_t moved = MoveIsolatedTriangles(lm);
    if (moved > 0) {
        Core::LogFormat("%d isolated group tris moved", moved);
        lm.BuildConnectivity();
    }

    lm.Report(0, 0, "Grouping (compress)");
    DropEmptyGroups(lm);
}

void LayoutGroups(Lightmapper& lm)
{
    // Ambient occlusion bakes a single basis; the layouts size their buffers by it. Set here
    // once rather than by every parallel layout.
    if (lm.aoDistance > 0)
        lm.basisCount = 1;
    lm.Report(0, 0, "Grouping (allocate)");
    lm.pool.Run([&lm](int32_t g, int32_t thread) { LayoutGroup(lm, g, thread); }, int32_t(lm.groups.size()), 1);
}

void SortGroupsAndMarkBorders(Lightmapper& lm)
{
    Core::Log("LM: allocated, sorting...");
    lm.Report(0, 0, "Sorting groups");
    SortGroups(lm);
    MarkBorderEdges(lm);
}

void BuildGroups(Lightmapper& lm)
{
    GroupTriangles(lm);
    LayoutGroups(lm);
    SortGroupsAndMarkBorders(lm);
}

}  // namespace Engine
