#include "engine/lightmapper/tree_stage.h"

#include "core/log.h"
#include "core/timer.h"

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

void BuildTriangleTrees(const LmMesh& mesh, int32_t slotCount, Core::ParallelFor& pool, TriangleTrees& trees)
{
    CopyTriangleCorners(mesh, trees);
    const TriangleMeshView view = MakeTriangleMeshView(mesh.positions, mesh.uvs, trees.corners, trees.alphaMaps);
    trees.elements.SetView(view);
    TriangleKdTree& kdTree = trees.kdTree;
    kdTree.Bind(&trees.elements);
    AddAllTriangles(view, kdTree);
    kdTree.SetSlotCount(slotCount);
    trees.tracer.SetSlotCount(slotCount);
    // The two builds share nothing but the view they read: with two threads the BVH's build hides
    // behind the kd-tree's, which takes several times as long.
    const TracerKind kind = RayTracer::KindFromEnvironment();
    int32_t bvhMilliseconds = 0;
    pool.Run(
        [&](int32_t job, int32_t) {
            if (job == 0) {
                kdTree.Build(1, false);
                return;
            }
            Core::Timer timer;
            timer.Start();
            trees.tracer.Build(view, kdTree, kind);
            bvhMilliseconds = int32_t(timer.Stop());
        },
        2, 1);
    const WideBvh::Stats& stats = trees.tracer.Bvh().GetStats();
    if (kind == TracerKind::kdTree)
        Core::Log("rays traced by the kd-tree");
    else
        Core::LogFormat("bvh stats: %d nodes, %d leafs, %d elems, %.1f MB, built in %d msec", stats.nodeCount,
                        stats.leafCount, stats.triangleCount + stats.looseCount, double(stats.bytes) / (1024.0 * 1024.0),
                        bvhMilliseconds);
}

}  // namespace Engine
