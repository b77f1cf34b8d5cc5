#pragma once

#include <cstdint>

#include "core/parallel_for.h"
#include "engine/lightmapper/atlas.h"
#include "engine/lightmapper/build_context.h"
#include "engine/lightmapper/group.h"
#include "engine/lightmapper/lightmapper_settings.h"
#include "engine/lightmapper/mesh.h"

namespace Engine {

class Lightmapper;

// One build's data with each stage as a call of its own, in the order Lightmapper::Build makes
// them: Build runs its stages through here, and so do callers that look at or time what lies
// between two stages (tests, benchmarks). Each call hands the stage exactly the parts it reads
// and writes; the stages themselves are in the files named beside each call.
class StagedBuild {
public:
    StagedBuild(LmMesh& mesh, const LightmapperSettings& settings, Core::ParallelFor& pool, BuildProgress progress);
    // On the lightmapper's mesh, settings and pool, as Build would run; the pool is started by
    // the caller or, lazily, by the first stage that runs on it.
    explicit StagedBuild(Lightmapper& lightmapper);
    StagedBuild(const StagedBuild&) = delete;
    StagedBuild& operator=(const StagedBuild&) = delete;

    void MarkEmitters();              // lighting.cpp
    void Connectivity();              // connectivity.cpp
    void Trees();                     // tree_stage.cpp
    void GroupTriangles();            // grouping.cpp
    void LayoutGroups();              // chart_layout.cpp
    void PackTexels();                // texels.cpp
    void SortGroups();                // grouping.cpp
    void Tasks();                     // texels.cpp
    void CornerTexelCoords();         // texels.cpp
    void AmbientOcclusion();          // ambient_occlusion.cpp, post_process.cpp
    // The lighting mode, in its order: the first direct-light pass (after giving every chart
    // the buffers the passes use), the bounces, the second direct-light pass, the bases'
    // encoding.
    void PreRaytracing();             // lighting.cpp, direct_light.cpp
    void FinalGather(int32_t bounces);  // final_gather.cpp
    void Raytracing();                // direct_light.cpp
    void FinalizeBases();             // post_process.cpp
    void Atlas(Engine::Atlas* atlases);  // atlas_optimize.cpp, atlas_build.cpp, seams.cpp

    // Grouping as Build runs it: grow, lay out, pack texels, sort.
    void Groups();

    LmMesh& mesh;
    const LightmapperSettings& settings;
    LmBuildContext context;
    LmCharts charts;
};

}  // namespace Engine
