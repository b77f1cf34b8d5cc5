#include "engine/lightmapper/lightmapper.h"

#include "core/log.h"
#include "core/timer.h"
#include "engine/lightmapper/connectivity.h"
#include "engine/lightmapper/staged_build.h"

namespace Engine {

namespace {

// Log lines and progress titles of the stages, in build order. Each stage announces itself with
// its pair before it runs.
struct StageText {
    const char* logLine;
    const char* title;
};
constexpr StageText connectivityStage = {"LM: building connectivity", "Building connectivity"};
constexpr StageText treeStage = {"LM: building tree", "Building KdTree"};
constexpr StageText groupingStage = {"LM: grouping", "Grouping"};
constexpr StageText aoStage = {"LM: Ambient occlusion", "Ambient occlusion"};
constexpr StageText preRaytracingStage = {"LM: pre-raytracing", "Pre-raytracing"};
constexpr StageText raytracingStage = {"LM: raytracing", "Raytracing"};
constexpr StageText atlasStage = {"LM: atlas", "Building atlas"};

// Bounces of the final gather; each costs a quarter of the rays of the one before.
constexpr int32_t finalGatherBounces = 4;

void Announce(const StageText& stage, const BuildProgress& progress, float value = 0)
{
    Core::Log(stage.logLine);
    progress.Report(0, value, stage.title);
}

}  // namespace

Lightmapper::Lightmapper(const LightmapperSettings& settings)
    : settings(settings), planeBins(size_t(planeBinMask) + 1)
{
    for (int32_t b = 0; b < BasesUsed(settings); b++)
        atlases[b] = Atlas(settings.atlasSize, settings.atlasSize, uncoveredTexelColour);
}

Lightmapper::~Lightmapper() = default;

void Lightmapper::Cancel()
{
    cancelled.store(1);
    pool.SkipRemainingChunks();
}

int32_t Lightmapper::RegisterEdge(int32_t modelId, int32_t a, int32_t b, int32_t triangleIndex)
{
    return Engine::RegisterEdge(mesh, modelId, a, b, triangleIndex);
}

int32_t Lightmapper::FindNeighbour(int32_t modelId, int32_t a, int32_t b, int32_t triangleIndex) const
{
    return Engine::FindNeighbour(mesh, modelId, a, b, triangleIndex);
}

void Lightmapper::BuildConnectivity()
{
    Engine::BuildConnectivity(mesh);
}

bool Lightmapper::Build(bool aoOnly, bool skipFinalGather, LmCharts* keptCharts)
{
    cancelled.exchange(0);
    const bool noFinalGather = skipFinalGather || settings.sampleCount < 1;
    // With aoOnly and no positive distance neither mode runs: the texels keep 0.
    const bool lightingMode = !aoOnly && !AmbientOcclusionMode(settings);
    Core::Timer buildTimer;
    buildTimer.Start();
    StagedBuild build(*this);
    const BuildProgress& progress = build.context.progress;
    build.MarkEmitters();

    if (progress.IsCancelled())
        return false;
    Announce(connectivityStage, progress);
    build.Connectivity();

    if (progress.IsCancelled())
        return false;
    Announce(treeStage, progress);
    build.Trees();

    if (progress.IsCancelled())
        return false;
    Announce(groupingStage, progress);
    Core::Timer groupingTimer;
    groupingTimer.Start();
    build.GroupTriangles();
    build.LayoutGroups();
    build.PackTexels();
    build.SortGroups();
    if (progress.IsCancelled())
        return false;
    Core::LogFormat("took %d msec", int(groupingTimer.Stop()));
    build.Tasks();

    // Tracing reads texel coordinates where the atlas stage later writes page coordinates.
    build.CornerTexelCoords();
    if (AmbientOcclusionMode(settings)) {
        Announce(aoStage, progress);
        build.AmbientOcclusion();
    }
    if (lightingMode) {
        Announce(preRaytracingStage, progress);
        build.PreRaytracing();
        if (progress.IsCancelled())
            return false;
        if (!noFinalGather) {
            Core::Log("LM: final gather");
            build.FinalGather(finalGatherBounces);
        }
        Announce(raytracingStage, progress);
        build.Raytracing();
        if (progress.IsCancelled())
            return false;
        build.FinalizeBases();
    }

    Announce(atlasStage, progress, 100);
    build.Atlas(atlases);
    if (progress.IsCancelled())
        return false;

    Core::Log("LM: done");
    if (keptCharts)
        *keptCharts = std::move(build.charts);
    build.charts = LmCharts();
    Core::LogFormat("LM: full rebuild took %d msec", int(buildTimer.Stop()));
    progress.Report(-1, -1, std::string());
    return !progress.IsCancelled();
}

}  // namespace Engine
