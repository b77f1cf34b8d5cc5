#include "engine/lightmapper/staged_build.h"

#include "engine/lightmapper/ambient_occlusion.h"
#include "engine/lightmapper/atlas_build.h"
#include "engine/lightmapper/chart_layout.h"
#include "engine/lightmapper/connectivity.h"
#include "engine/lightmapper/direct_light.h"
#include "engine/lightmapper/final_gather.h"
#include "engine/lightmapper/grouping.h"
#include "engine/lightmapper/lighting.h"
#include "engine/lightmapper/lightmapper.h"
#include "engine/lightmapper/post_process.h"
#include "engine/lightmapper/texels.h"
#include "engine/lightmapper/tree_stage.h"

namespace Engine {

StagedBuild::StagedBuild(LmMesh& mesh, const LightmapperSettings& settings, Core::ParallelFor& pool,
                         BuildProgress progress)
    : mesh(mesh), settings(settings), context(pool, progress)
{
}

StagedBuild::StagedBuild(Lightmapper& lightmapper)
    : StagedBuild(lightmapper.Mesh(), lightmapper.Settings(), lightmapper.Pool(), lightmapper.Progress())
{
}

void StagedBuild::MarkEmitters() { MarkEmissiveTriangles(mesh); }

void StagedBuild::Connectivity() { BuildConnectivity(mesh); }

void StagedBuild::Trees() { BuildTriangleTrees(mesh, context.slotCount, context.pool, context.trees); }

void StagedBuild::GroupTriangles()
{
    // Grouping's joins run on this thread alone: slot 0's scratch.
    charts.groups = Engine::GroupTriangles(mesh, settings, context.trees.kdTree, context.candidates[0], context.progress);
}

void StagedBuild::LayoutGroups() { Engine::LayoutGroups(mesh, settings, context.pool, context.progress, charts.groups); }

void StagedBuild::PackTexels() { Engine::PackTexels(mesh, settings, context, charts.groups); }

void StagedBuild::SortGroups() { SortGroupsAndMarkBorders(mesh, charts.groups, context.progress); }

void StagedBuild::Tasks() { charts.tasks = BuildGroupTasks(charts.groups); }

void StagedBuild::CornerTexelCoords()
{
    for (const LmGroup& group : charts.groups)
        ComputeCornerTexelCoords(mesh, group);
}

void StagedBuild::AmbientOcclusion() { RunAmbientOcclusion(mesh, settings, context, charts); }

void StagedBuild::PreRaytracing()
{
    PrepareLightingBuffers(charts.groups);
    RunDirectLight(mesh, settings, context, charts, true);
}

void StagedBuild::FinalGather(int32_t bounces) { RunFinalGather(mesh, settings, context, charts, bounces); }

void StagedBuild::Raytracing() { RunDirectLight(mesh, settings, context, charts, false); }

void StagedBuild::FinalizeBases()
{
    std::vector<LmGroup>& groups = charts.groups;
    context.pool.Run([&](int32_t g, int32_t) { FinalizeGroupBases(settings, groups[size_t(g)]); },
                     int32_t(groups.size()), 1);
}

void StagedBuild::Atlas(Engine::Atlas* atlases)
{
    OptimizeAtlas(mesh, settings, context.pool, context.progress, charts.groups, atlases);
}

void StagedBuild::Groups()
{
    GroupTriangles();
    LayoutGroups();
    PackTexels();
    SortGroups();
}

}  // namespace Engine
