#include "engine/lightmapper/tree_stage.h"

namespace Engine {

namespace {

// The triangle tests read a compact copy of what they need; the records themselves are large and
// keep changing in later stages.
void CopyTriangleCorners(const LmMesh& mesh, TriangleTrees& trees)
{
    trees.corners.resize(mesh.triangles.size());
    for (size_t i = 0; i < mesh.triangles.size(); i++) {
        const LmTriangle& source = mesh.triangles[i];
        TriangleCorners& corners = trees.corners[i];
        for (int k = 0; k < 3; k++) {
            corners.pos[k] = source.pos[k];
            corners.uv[k] = source.uv[k];
        }
        corners.flags = source.flags;
        corners.object = source.object;
    }
    trees.alphaMaps.resize(mesh.objects.size());
    for (size_t i = 0; i < mesh.objects.size(); i++)
        trees.alphaMaps[i] = &mesh.objects[i].alphaMap;
}

}  // namespace

void BuildTriangleTrees(const LmMesh& mesh, int32_t slotCount, TriangleTrees& trees)
{
    CopyTriangleCorners(mesh, trees);
    const TriangleMeshView view = MakeTriangleMeshView(mesh.positions, mesh.uvs, trees.corners, trees.alphaMaps);
    trees.elements.SetView(view);
    TriangleKdTree& kdTree = trees.kdTree;
    kdTree.Bind(&trees.elements);
    AddAllTriangles(view, kdTree);
    kdTree.SetSlotCount(slotCount);
    kdTree.Build(1, false);
}

}  // namespace Engine
