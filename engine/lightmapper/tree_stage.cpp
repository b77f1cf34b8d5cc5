#include <algorithm>
#include <thread>

#include "engine/lightmapper/lightmapper.h"

namespace Engine {

void Lightmapper::BuildKdTree()
{
    // The triangle tests read a compact copy of what they need; the records themselves are
    // large and keep changing in later stages.
    treeTriangles.resize(triangles.size());
    for (size_t i = 0; i < triangles.size(); i++) {
        const LmTriangle& source = triangles[i];
        TriangleCorners& corners = treeTriangles[i];
        for (int k = 0; k < 3; k++) {
            corners.pos[k] = source.pos[k];
            corners.uv[k] = source.uv[k];
        }
        corners.flags = source.flags;
        corners.object = source.object;
    }
    treeAlphaMaps.resize(objects.size());
    for (size_t i = 0; i < objects.size(); i++)
        treeAlphaMaps[i] = &objects[i].alphaMap;

    TriangleMeshView view;
    view.positions = positions.data();
    view.uvs = uvs.data();
    view.uvCount = int32_t(uvs.size());
    view.triangles = treeTriangles.data();
    view.triangleCount = int32_t(treeTriangles.size());
    view.alphaMaps = treeAlphaMaps.data();
    view.objectCount = int32_t(treeAlphaMaps.size());
    treeElements.SetView(view);
    kdTree.Bind(&treeElements);

    const int32_t triangleCount = int32_t(triangles.size());
    kdTree.elementIds.resize(size_t(triangleCount));
    kdTree.elementBoxes.resize(size_t(triangleCount));
    for (int32_t i = 0; i < triangleCount; i++) {
        Geom::Box3 box;
        for (int k = 0; k < 3; k++)
            box.Add(positions[size_t(triangles[size_t(i)].pos[k])]);
        kdTree.elementIds[size_t(i)] = i;
        kdTree.elementBoxes[size_t(i)] = box;
    }

    // Every thread that may trace gets its own mailbox slot.
    int32_t slotCount = int32_t(std::thread::hardware_concurrency());
    slotCount = std::max({slotCount, int32_t(threadCandidates.size()), pool.GetThreadCount(), 1});
    kdTree.SetSlotCount(slotCount);
    // Logs "tree stats: ..." itself.
    kdTree.Build(1, false);
}

}  // namespace Engine
