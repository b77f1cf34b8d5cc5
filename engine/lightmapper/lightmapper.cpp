#include "engine/lightmapper/lightmapper.h"

#include <algorithm>

#include "core/cpu_info.h"
#include "core/log.h"
#include "core/timer.h"
#include "engine/lightmapper/ambient_occlusion.h"
#include "engine/lightmapper/atlas_build.h"
#include "engine/lightmapper/grouping.h"
#include "engine/lightmapper/texels.h"

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
constexpr StageText atlasStage = {"LM: atlas", "Building atlas"};

}  // namespace

Lightmapper::Lightmapper(const LightmapperSettings& settings)
    : flags(settings.flags),
      texelSize(settings.texelSize),
      noSamples(settings.sampleCount < 1),
      atlasSize(settings.atlasSize),
      sampleCount(settings.sampleCount),
      samplesPerTexel(settings.superSampling ? 25 : 1),
      epsilon(settings.epsilon),
      basisCount(std::clamp(settings.basisCount, 1, maxBases)),
      gamma(settings.gamma),
      aoDistance(settings.aoDistance),
      aoPower(settings.aoPower),
      blurKernel(settings.blurKernel),
      planeBins(size_t(planeBinMask) + 1)
{
    for (int32_t b = 0; b < std::min(basisCount, maxBases); b++)
        atlases[b] = Atlas(atlasSize, atlasSize, 0x00FF0000u);
}

Lightmapper::~Lightmapper() = default;

void Lightmapper::Cancel()
{
    cancelled.store(1);
    pool.SkipRemainingChunks();
}

void Lightmapper::Report(float percent, float value, const std::string& title)
{
    if (progress)
        progress(percent, value, title);
}

void Lightmapper::PrepareThreadScratch()
{
    // Every thread index the pool can hand a body gets its own scratch.
    int32_t threadCount = std::max({Core::GetLogicalCoreCount(), pool.GetThreadCount(), 1});
    threadCandidates.resize(size_t(threadCount));
    for (std::vector<int32_t>& candidates : threadCandidates)
        candidates.clear();
    // The kd-tree's per-thread mailboxes are sized and reset here as well, once the tree exists.
}

// Emissive objects light the scene themselves: they are lit from the start (0x80) and, with
// 0x20, neither link to other objects nor block the rays that look for light.
void Lightmapper::MarkEmissiveTriangles()
{
    for (LmTriangle& t : triangles) {
        if (t.object < 0)
            continue;
        Geom::Vec3 colour = objects[size_t(t.object)].colour;
        if (colour.x != 0 || colour.y != 0 || colour.z != 0)
            t.flags |= LmEmissive;
    }
}

void Lightmapper::ReleaseGroups()
{
    groups.clear();
}

bool Lightmapper::Build(bool aoOnly, bool skipFinalGather)
{
    cancelled.exchange(0);
    // The lighting passes that would read these are not part of this tool; with an
    // ambient-occlusion distance of 0 or less the texels keep 0.
    [[maybe_unused]] const bool noFinalGather = skipFinalGather || noSamples || sampleCount < 1;
    [[maybe_unused]] const bool aoMode = aoOnly || aoDistance > 0;

    Core::Timer buildTimer;
    buildTimer.Start();
    PrepareThreadScratch();
    MarkEmissiveTriangles();

    if (IsCancelled())
        return false;
    Core::Log(connectivityStage.logLine);
    Report(0, 0, connectivityStage.title);
    BuildConnectivity();

    if (IsCancelled())
        return false;
    Core::Log(treeStage.logLine);
    Report(0, 0, treeStage.title);
    BuildKdTree();

    if (IsCancelled())
        return false;
    Core::Log(groupingStage.logLine);
    Report(0, 0, groupingStage.title);
    Core::Timer groupingTimer;
    groupingTimer.Start();
    BuildGroups(*this);

    if (IsCancelled())
        return false;
    Core::LogFormat("took %d msec", int(groupingTimer.Stop()));
    BuildGroupTasks(*this);

    if (aoDistance > 0) {
        Core::Log(aoStage.logLine);
        Report(0, 0, aoStage.title);
        RunAmbientOcclusion(*this);
    }

    Core::Log(atlasStage.logLine);
    Report(0, 100, atlasStage.title);
    OptimizeAtlas(*this);
    if (IsCancelled())
        return false;

    Core::Log("LM: done");
    ReleaseGroups();
    Core::LogFormat("LM: full rebuild took %d msec", int(buildTimer.Stop()));
    Report(-1, -1, std::string());
    return !IsCancelled();
}

}  // namespace Engine
