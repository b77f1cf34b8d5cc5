#pragma once

#include <cstdint>
#include <vector>

#include "engine/lightmapper/build_context.h"
#include "engine/lightmapper/group.h"
#include "engine/lightmapper/lightmapper_settings.h"
#include "engine/lightmapper/mesh.h"
#include "geom/box.h"
#include "geom/vec.h"

namespace Engine {

// The grouping stage: every triangle starts in the group of its input face; groups merge across
// neighbour links while every triangle of the smaller one can join the larger; isolated
// triangles move into the group around them; empty groups go. Writes each triangle's group, the
// projection key of the triangles it moves (and then relinks the neighbours), and reports the
// sub-step titles. Returns the groups, their grids not yet laid out. `candidates` is scratch for
// the tree's box queries.
std::vector<LmGroup> GroupTriangles(LmMesh& mesh, const LightmapperSettings& settings, const TriangleKdTree& tree,
                                    std::vector<int32_t>& candidates, const BuildProgress& progress);

// Sorts laid-out groups largest first, renumbers the triangles' groups to match, and marks every
// triangle edge without a neighbour in its group (TriangleBorderEdges).
void SortGroupsAndMarkBorders(LmMesh& mesh, std::vector<LmGroup>& groups, const BuildProgress& progress);

// The rules by which triangles and groups join, over one grouping's groups.
class ChartJoiner {
public:
    ChartJoiner(LmMesh& mesh, const LightmapperSettings& settings, const TriangleKdTree& tree,
                std::vector<int32_t>& candidates, std::vector<LmGroup>& groups)
        : mesh(mesh), settings(settings), tree(tree), candidates(candidates), groups(groups)
    {
        groupOf.reserve(mesh.triangles.size());
        for (const LmTriangle& t : mesh.triangles)
            groupOf.push_back(t.group);
    }

    // Whether triangle t may join group g: same projection key and texel size, the chart stays
    // within 2048 texels a side, and t's projection overlaps none of g's triangles above or below
    // it. Reads only, but its box query uses the scratch list.
    bool CanJoin(int32_t triangle, int32_t group);
    // Moves the smaller group's triangles into the larger one when every one of them can join
    // it; the emptied group stays in the list.
    bool MergeGroups(int32_t a, int32_t b);
    // Puts a triangle in a group (its list is the caller's business). While a joiner works, the
    // triangles' groups change only through it.
    void Assign(int32_t triangle, int32_t group)
    {
        mesh.triangles[size_t(triangle)].group = group;
        groupOf[size_t(triangle)] = group;
    }

    LmMesh& mesh;
    const LightmapperSettings& settings;
    const TriangleKdTree& tree;
    std::vector<int32_t>& candidates;
    std::vector<LmGroup>& groups;

private:
    // Every triangle's group, packed: the overlap test sifts a column of the tree for the
    // group's triangles, and reading the group out of each whole triangle record cost a cache
    // line per candidate.
    std::vector<int32_t> groupOf;
};

// The steps of GroupTriangles, in order. Seeding: every triangle in the group of its input face.
std::vector<LmGroup> SeedGroups(LmMesh& mesh, const LightmapperSettings& settings);
// Merge passes across neighbour links until one merges nothing.
void MergeAcrossNeighbours(ChartJoiner& joiner);
// Passes that move a triangle which is a face of its own into the group two of its neighbours
// share, if its face bends by less than 47 degrees from theirs and it fits, until one moves
// nothing. Returns the number of triangles moved.
int32_t MoveIsolatedTriangles(ChartJoiner& joiner);

// World units per texel of a triangle: the texel size times its object's multiplier.
float EffectiveTexelSize(const LightmapperSettings& settings, uint32_t flags);

// Bounding box of the triangle's projected corners in texel units (empty with -l).
Geom::Box2 TriangleTexelBox(const LmMesh& mesh, const LightmapperSettings& settings, int32_t triangle);

// A triangle's projected corners and its edge lines, positive outside and negative inside.
struct EdgeLines {
    Geom::Vec2 corner[3];
    Geom::Vec3 line[3];  // (a, b, c): a x + b y + c
};
EdgeLines EdgeLines2D(const LmMesh& mesh, int32_t triangle, int32_t axis);

// True when the projections overlap by more than 0.01 world units.
bool ProjectionsOverlap(const EdgeLines& a, const EdgeLines& b);

}  // namespace Engine
